#include "codec/entry_encoder.h"

#include "archive/stored_entry.h"

namespace kupack {

EncodedEntry encodeEntry(const EntrySource& source, const std::string& destinationPath) {
  EncodedEntry entry;
  entry.type = ENTRY_STORED;
  entry.status = storeEntry(source.nativePath, destinationPath);
  return entry;
}

}  // namespace kupack
