// copyStream: appends the rest of one FileHolder's stream to another in 1 MiB chunks
// through one process-wide buffer, reporting the bytes still to copy before each chunk and
// the copy's end. Not reentrant (one buffer for the process).
#pragma once

#include "archive/file_holder.h"
#include "archive/pack_events.h"
#include "common/status.h"

namespace kupack {

inline constexpr std::size_t COPY_CHUNK_SIZE = 1048576;

// Copies `source` from its current position to its end onto `destination`. The source's
// size() is the number of bytes expected; it serves the CopyProgress events. A read or
// write error is a failure naming the file concerned (and ends the copy without CopyDone).
Status copyStream(FileHolder& destination, FileHolder& source, PackListener& listener);

}  // namespace kupack
