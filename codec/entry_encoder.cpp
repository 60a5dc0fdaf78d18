#include "codec/entry_encoder.h"

#include "archive/stored_entry.h"
#include "codec/bitmap.h"
#include "codec/lzss.h"

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

EncodedEntry stored(const EntrySource& source, const std::string& destinationPath) {
  return {storeEntry(source.nativePath, destinationPath), ENTRY_STORED};
}

// A bitmap without a colour table: SPB-coded when the picture can be held exactly,
// otherwise stored unchanged so that nothing is lost.
EncodedEntry encodeTrueColour(BitmapImage& image, const EntrySource& source,
                              const std::string& destinationPath) {
  BitmapVerdict verdict = BitmapVerdict::StoreUnchanged;
  if (Status loaded = image.loadBitmap(source.nativePath, verdict); !loaded)
    return {loaded, ENTRY_SPB};
  if (verdict == BitmapVerdict::StoreUnchanged) return stored(source, destinationPath);
  return {image.encodeSpb(destinationPath), ENTRY_SPB};
}

}  // namespace

EncodedEntry encodeEntry(const EntrySource& source, const std::string& destinationPath) {
  if (!hasBitmapSuffix(source.name)) return stored(source, destinationPath);
  BitmapImage image;  // released on every way out
  // Headers that cannot be read (a file too short to be a bitmap) leave the file stored;
  // a file that cannot be opened at all fails there with its name.
  if (!image.readBitmapHeaders(source.nativePath)) return stored(source, destinationPath);
  if (image.paletteCount() != 0)
    return {encodeLzss(source.nativePath, destinationPath), ENTRY_LZSS};
  return encodeTrueColour(image, source, destinationPath);
}

}  // namespace kupack
