#include "archive/stored_entry.h"

#include <cerrno>

#include "archive/copy_stream.h"
#include "archive/file_holder.h"

namespace kupack {

Status storeEntry(const std::string& sourcePath, const std::string& destinationPath,
                  PackListener& listener) {
  FileHolder source;
  if (!source.open(sourcePath, "rb"))
    return Status::file(Status::Code::CannotOpen, sourcePath, errno);
  FileHolder destination;
  if (!destination.open(destinationPath, "wb"))
    return Status::file(Status::Code::CannotCreate, destinationPath, errno);
  if (Status copied = copyStream(destination, source, listener); !copied) return copied;
  if (!destination.close()) return Status::file(Status::Code::CannotWrite, destinationPath, errno);
  return Status::ok();
}

}  // namespace kupack
