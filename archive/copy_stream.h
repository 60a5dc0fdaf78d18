// copyStream: appends an open file to a file being written in 1 MiB chunks, each read
// straight into the written file's own buffer (or copied by the system), reporting the bytes
// still to copy before each chunk and the copy's end. reportCopy gives the events a copy of a
// known number of bytes shows, without copying anything.
#pragma once

#include <cstdint>

#include "archive/pack_events.h"
#include "common/status.h"
#include "platform/file.h"

namespace kupack {

inline constexpr std::size_t COPY_CHUNK_SIZE = 1048576;

// Copies the size() bytes `source` had when it was opened onto the end of `destination`,
// reporting them in CopyProgress events. A file that has changed since it was opened, a read
// or a write error is a failure naming the file concerned (and ends the copy without CopyDone).
// `copied`, when given, receives the number of bytes copied.
Status copyStream(platform::WritableFile& destination, const platform::ReadableFile& source,
                  PackListener& listener, std::uint64_t* copied = nullptr);

// The events copyStream reports for a source of `size` bytes that reads as that many.
void reportCopy(std::uint64_t size, PackListener& listener);

}  // namespace kupack
