#include "archive/copy_stream.h"

#include <algorithm>

namespace kupack {

Status copyStream(platform::WritableFile& destination, const platform::ReadableFile& source,
                  PackListener& listener, std::uint64_t* copied) {
  const std::uint64_t total = source.size();
  std::uint64_t done = 0;
  for (;;) {
    listener.onEvent({PackEvent::Kind::CopyProgress, {}, total - done, total});
    const auto got = static_cast<std::size_t>(std::min<std::uint64_t>(COPY_CHUNK_SIZE, total - done));
    if (Status moved = destination.appendFrom(source, done, got); !moved) return moved;
    done += got;
    if (got < COPY_CHUNK_SIZE) break;
  }
  // A file written to while it was copied is no longer what was copied.
  if (Status unchanged = source.checkUnchanged(); !unchanged) return unchanged;
  if (copied != nullptr) *copied = done;
  listener.onEvent({PackEvent::Kind::CopyDone, {}});
  return Status::ok();
}

// A read of a whole chunk leaves the stream short of its end, so a size that is a multiple
// of the chunk (0 too) shows one more step, at 0 bytes remaining.
void reportCopy(std::uint64_t size, PackListener& listener) {
  for (std::uint64_t remaining = size;; remaining -= COPY_CHUNK_SIZE) {
    listener.onEvent({PackEvent::Kind::CopyProgress, {}, remaining, size});
    if (remaining < COPY_CHUNK_SIZE) break;
  }
  listener.onEvent({PackEvent::Kind::CopyDone, {}});
}

}  // namespace kupack
