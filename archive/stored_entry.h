// The stored coding: an entry whose bytes are the file's bytes unchanged, copied straight
// into the archive at the entry's turn.
#pragma once

#include <cstdint>
#include <string>

#include "archive/pack_events.h"
#include "common/status.h"
#include "platform/file.h"

namespace kupack {

// Appends the open file `source` to `destination` with copyStream, which reports its
// progress to `listener`, and sets `copied` to the number of bytes appended. A file that
// cannot be read, that has changed since it was opened, or a destination that cannot be
// written, is a failure naming it.
Status storeEntry(const platform::ReadableFile& source, platform::WritableFile& destination,
                  PackListener& listener, std::uint64_t& copied);

}  // namespace kupack
