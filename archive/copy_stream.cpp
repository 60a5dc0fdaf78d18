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

Status copyStream(FileHolder& destination, FileHolder& source, PackListener& listener) {
  const std::uint64_t total = source.size();
  std::uint64_t remaining = total;
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
    if (got < COPY_CHUNK_SIZE) break;
  }
  listener.onEvent({PackEvent::Kind::CopyDone, {}});
  return Status::ok();
}

}  // namespace kupack
