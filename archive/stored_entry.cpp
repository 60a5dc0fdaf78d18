#include "archive/stored_entry.h"

#include "archive/copy_stream.h"

namespace kupack {

Status storeEntry(const platform::ReadableFile& source, platform::WritableFile& destination,
                  PackListener& listener, std::uint64_t& copied) {
  return copyStream(destination, source, listener, &copied);
}

}  // namespace kupack
