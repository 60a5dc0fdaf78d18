#include "archive/entry_encoder.h"

#include <memory>

#include "archive/bitmap_file.h"
#include "archive/file_streams.h"
#include "codec/lzss.h"
#include "codec/spb.h"

namespace kupack {
namespace {

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

// The file's bytes are copied by the caller in the entry's turn.
EncodedEntry stored(PackListener& listener) {
  reportCoding(listener, ENTRY_STORED);
  return {Status::ok(), ENTRY_STORED};
}

Status codeLzss(const platform::ReadableFile& file, ByteSink& destination,
                PackListener& listener, WorkerPool* pool) {
  reportCoding(listener, ENTRY_LZSS);
  FileSource input(file);
  CodingProgressEvents progress(listener);
  switch (lzssCompress(input, destination, file.size(), &progress, pool)) {
    case CodingResult::SourceFailed:
      return input.failure();
    case CodingResult::SinkFailed:
      return Status::outputError();
    case CodingResult::Done:
      break;
  }
  // Every byte came from the file opened; it must still be the file of that length.
  return file.checkUnchanged();
}

// A bitmap without a colour table: SPB-coded when the picture can be held exactly,
// otherwise stored unchanged so that nothing is lost. The picture is read a band at a time.
EncodedEntry encodeTrueColour(BitmapFile& bitmap, const platform::ReadableFile& file,
                              ByteSink& destination, PackListener& listener) {
  BitmapVerdict verdict = BitmapVerdict::StoreUnchanged;
  if (Status opened = bitmap.open(file, verdict); !opened) return {opened, ENTRY_SPB};
  if (verdict == BitmapVerdict::StoreUnchanged) return stored(listener);
  reportCoding(listener, ENTRY_SPB);
  switch (encodeSpb(bitmap.rows(), destination)) {
    case CodingResult::SourceFailed:
      return {bitmap.failure(), ENTRY_SPB};
    case CodingResult::SinkFailed:
      return {Status::outputError(), ENTRY_SPB};
    case CodingResult::Done:
      break;
  }
  return {file.checkUnchanged(), ENTRY_SPB};
}

}  // namespace

EncodedEntry encodeEntry(const std::string& name, const platform::ReadableFile& file,
                         ByteSink& destination, PackListener& listener, WorkerPool* pool) {
  if (!hasBitmapSuffix(name)) return stored(listener);
  BitmapFile bitmap;
  // A file too short to be a bitmap is stored; one that cannot be read fails, naming it.
  if (!bitmap.readHeaders(file)) {
    if (!bitmap.failure()) return {bitmap.failure(), ENTRY_STORED};
    return stored(listener);
  }
  if (bitmap.image().paletteCount() != 0)
    return {codeLzss(file, destination, listener, pool), ENTRY_LZSS};
  return encodeTrueColour(bitmap, file, destination, listener);
}

EncodedEntry encodeEntry(const EntrySource& source, ByteSink& destination, PackListener& listener,
                         WorkerPool* pool) {
  if (!hasBitmapSuffix(source.name)) return stored(listener);
  std::unique_ptr<platform::ReadableFile> file;
  if (!platform::realFileSystem().openReadable(source.nativePath, file)) return stored(listener);
  return encodeEntry(source.name, *file, destination, listener, pool);
}

}  // namespace kupack
