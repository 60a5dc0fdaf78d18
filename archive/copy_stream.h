// copyStream: appends the rest of one FileHolder's stream to another in 1 MiB chunks
// through one process-wide buffer, showing the share still to copy as "\r残り%3lu%%"
// before each chunk and "\r" at the end. Not reentrant (one buffer for the process).
#pragma once

#include "archive/file_holder.h"
#include "common/status.h"

namespace kupack {

inline constexpr std::size_t COPY_CHUNK_SIZE = 1048576;

// Copies `source` from its current position to its end onto `destination`. The source's
// size() is the number of bytes expected; it serves the progress figure. A read or write
// error is a failure naming the file concerned.
Status copyStream(FileHolder& destination, FileHolder& source);

}  // namespace kupack
