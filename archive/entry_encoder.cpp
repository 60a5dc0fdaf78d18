#include "archive/entry_encoder.h"

#include <cerrno>

#include "archive/bitmap_file.h"
#include "archive/file_holder.h"
#include "archive/file_streams.h"
#include "archive/stored_entry.h"
#include "codec/lzss.h"
#include "codec/spb.h"

namespace kupack {
namespace {

int errnoOr(int fallback) { return errno != 0 ? errno : fallback; }

// The last three bytes of the name, lower-cased, are "bmp"; no dot is needed.
bool hasBitmapSuffix(const std::string& name) {
  if (name.size() < 3) return false;
  std::string suffix = name.substr(name.size() - 3);
  for (char& c : suffix) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
  }
  return suffix == "bmp";
}

void reportCoding(PackListener& listener, EntryType type) {
  listener.onEvent({PackEvent::Kind::CodingChosen, {}, 0, 0, type});
}

EncodedEntry stored(const EntrySource& source, const std::string& destinationPath,
                    PackListener& listener) {
  reportCoding(listener, ENTRY_STORED);
  return {storeEntry(source.nativePath, destinationPath, listener), ENTRY_STORED};
}

Status codeLzss(const std::string& sourcePath, const std::string& destinationPath,
                PackListener& listener, WorkerThread* worker) {
  FileHolder source;
  errno = 0;
  if (!source.open(sourcePath, "rb"))
    return Status::file(Status::Code::CannotOpen, sourcePath, errnoOr(EIO));
  FileHolder destination;
  errno = 0;
  if (!destination.open(destinationPath, "wb"))
    return Status::file(Status::Code::CannotCreate, destinationPath, errnoOr(EIO));
  reportCoding(listener, ENTRY_LZSS);
  FileSource input(source);
  FileSink output(destination);
  CodingProgressEvents progress(listener);
  switch (lzssCompress(input, output, source.size(), &progress, worker)) {
    case CodingResult::SourceFailed:
      return input.failure();
    case CodingResult::SinkFailed:
      return Status::outputError();
    case CodingResult::Done:
      break;
  }
  source.close();
  if (!destination.close()) return Status::outputError();
  return Status::ok();
}

Status codeSpb(const SpbSource& picture, const std::string& destinationPath,
               PackListener& listener) {
  FileHolder destination;
  errno = 0;
  if (!destination.open(destinationPath, "wb"))
    return Status::file(Status::Code::CannotCreate, destinationPath, errno);
  reportCoding(listener, ENTRY_SPB);
  FileSink sink(destination);
  if (!encodeSpb(picture, sink))
    return Status::file(Status::Code::CannotWrite, destinationPath, sink.error());
  errno = 0;
  if (!destination.close())
    return Status::file(Status::Code::CannotWrite, destinationPath, errnoOr(EIO));
  return Status::ok();
}

// A bitmap without a colour table: SPB-coded when the picture can be held exactly,
// otherwise stored unchanged so that nothing is lost.
EncodedEntry encodeTrueColour(BitmapFile& bitmap, const EntrySource& source,
                              const std::string& destinationPath, PackListener& listener) {
  BitmapVerdict verdict = BitmapVerdict::StoreUnchanged;
  if (Status loaded = bitmap.load(source.nativePath, verdict); !loaded) return {loaded, ENTRY_SPB};
  if (verdict == BitmapVerdict::StoreUnchanged) return stored(source, destinationPath, listener);
  return {codeSpb(bitmap.image().picture(), destinationPath, listener), ENTRY_SPB};
}

}  // namespace

EncodedEntry encodeEntry(const EntrySource& source, const std::string& destinationPath,
                         PackListener& listener, WorkerThread* worker) {
  if (!hasBitmapSuffix(source.name)) return stored(source, destinationPath, listener);
  BitmapFile bitmap;  // released on every way out
  // Headers that cannot be read (a file too short to be a bitmap) leave the file stored;
  // a file that cannot be opened at all fails there with its name.
  if (!bitmap.readHeaders(source.nativePath)) return stored(source, destinationPath, listener);
  if (bitmap.image().paletteCount() != 0)
    return {codeLzss(source.nativePath, destinationPath, listener, worker), ENTRY_LZSS};
  return encodeTrueColour(bitmap, source, destinationPath, listener);
}

}  // namespace kupack
