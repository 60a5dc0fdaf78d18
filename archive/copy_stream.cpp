#include "archive/copy_stream.h"

#include <cerrno>
#include <memory>

namespace kupack {
namespace {

unsigned char* copyBuffer() {
  static const std::unique_ptr<unsigned char[]> buffer(new unsigned char[COPY_CHUNK_SIZE]);
  return buffer.get();
}

}  // namespace

Status copyStream(FileHolder& destination, FileHolder& source, PackListener& listener,
                  std::uint64_t* copied) {
  const std::uint64_t total = source.size();
  std::uint64_t remaining = total;
  std::uint64_t done = 0;
  unsigned char* buffer = copyBuffer();
  for (;;) {
    listener.onEvent({PackEvent::Kind::CopyProgress, {}, remaining, total});
    const std::size_t got = source.read(buffer, COPY_CHUNK_SIZE);
    if (source.readFailed())
      return Status::file(Status::Code::CannotRead, source.path(), errno ? errno : EIO);
    if (source.changed()) return Status::file(Status::Code::SourceChanged, source.path());
    remaining = got > remaining ? 0 : remaining - got;
    if (!destination.writeBytes(buffer, got))
      return Status::file(Status::Code::CannotWrite, destination.path(), errno);
    done += got;
    if (got < COPY_CHUNK_SIZE) break;
  }
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
