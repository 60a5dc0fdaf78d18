// The stored coding: an entry whose bytes are the file's bytes unchanged.
#pragma once

#include <string>

#include "common/status.h"

namespace kupack {

// Prints the stored type line and copies the file at `sourcePath` into a new file at
// `destinationPath` with copyStream. A file that cannot be opened, created, read or
// written is a failure naming it.
Status storeEntry(const std::string& sourcePath, const std::string& destinationPath);

}  // namespace kupack
