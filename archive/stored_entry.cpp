#include "archive/stored_entry.h"

#include <cerrno>

#include "archive/copy_stream.h"
#include "archive/file_holder.h"
#include "common/messages.h"

namespace kupack {

Status storeEntry(const std::string& sourcePath, const std::string& destinationPath,
                  PackListener& listener) {
  FileHolder source;
  if (!source.open(sourcePath, "rb")) return fileFailure(MSG_CANNOT_OPEN, sourcePath, errno);
  FileHolder destination;
  if (!destination.open(destinationPath, "wb"))
    return fileFailure(MSG_CANNOT_CREATE, destinationPath, errno);
  if (Status copied = copyStream(destination, source, listener); !copied) return copied;
  if (!destination.close()) return fileFailure(MSG_CANNOT_WRITE, destinationPath, errno);
  return Status::ok();
}

}  // namespace kupack
