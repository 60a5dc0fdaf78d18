// copyStream: appends the rest of one FileHolder's stream to another in 1 MiB chunks
// through one process-wide buffer, reporting the bytes still to copy before each chunk and
// the copy's end. Not reentrant (one buffer for the process). reportCopy gives the events a
// copy of a known number of bytes shows, without copying anything.
#pragma once

#include <cstdint>

#include "archive/file_holder.h"
#include "archive/pack_events.h"
#include "common/status.h"

namespace kupack {

inline constexpr std::size_t COPY_CHUNK_SIZE = 1048576;

// Copies `source` from its current position to its end onto `destination`. The source's
// size() is the number of bytes expected; it serves the CopyProgress events. A read or
// write error is a failure naming the file concerned (and ends the copy without CopyDone).
// `copied`, when given, receives the number of bytes copied.
Status copyStream(FileHolder& destination, FileHolder& source, PackListener& listener,
                  std::uint64_t* copied = nullptr);

// The events copyStream reports for a source of `size` bytes that reads as that many.
void reportCopy(std::uint64_t size, PackListener& listener);

}  // namespace kupack
