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
    const std::size_t got = std::fread(buffer, 1, COPY_CHUNK_SIZE, source.stream());
    if (std::ferror(source.stream()))
      return Status::file(Status::Code::CannotRead, source.path(), errno ? errno : EIO);
    remaining = got > remaining ? 0 : remaining - got;
    if (!destination.writeBytes(buffer, got))
      return Status::file(Status::Code::CannotWrite, destination.path(), errno);
    if (std::feof(source.stream())) break;
  }
  listener.onEvent({PackEvent::Kind::CopyDone, {}});
  return Status::ok();
}

}  // namespace kupack
