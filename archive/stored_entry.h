// The stored coding: an entry whose bytes are the file's bytes unchanged.
#pragma once

#include <string>

#include "archive/pack_events.h"
#include "common/status.h"

namespace kupack {

// Copies the file at `sourcePath` into a new file at `destinationPath` with copyStream,
// which reports its progress to `listener`. A file that cannot be opened, created, read or
// written is a failure naming it.
Status storeEntry(const std::string& sourcePath, const std::string& destinationPath,
                  PackListener& listener);

}  // namespace kupack
