#include "archive/stored_entry.h"

#include <cerrno>

#include "archive/copy_stream.h"

namespace kupack {

Status storeEntry(const std::string& sourcePath, FileHolder& destination, PackListener& listener,
                  std::uint64_t& copied) {
  FileHolder source;
  if (!source.open(sourcePath, "rb"))
    return Status::file(Status::Code::CannotOpen, sourcePath, errno);
  return copyStream(destination, source, listener, &copied);
}

}  // namespace kupack
