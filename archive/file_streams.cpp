#include "archive/file_streams.h"

#include <cerrno>

namespace kupack {

bool FileSource::read(std::span<std::uint8_t> buffer, std::size_t& count) {
  count = file_.read(buffer.data(), buffer.size());
  if (file_.readFailed() || file_.changed()) {
    count = 0;
    if (error_ == 0) error_ = file_.readFailed() && errno != 0 ? errno : EIO;
    return false;
  }
  return true;
}

Status FileSource::failure() const {
  if (file_.changed()) return Status::file(Status::Code::SourceChanged, file_.path());
  return Status::file(Status::Code::CannotRead, file_.path(), error_ != 0 ? error_ : EIO);
}

bool FileSink::put(std::span<const std::uint8_t> bytes) {
  if (file_.writeBytes(bytes.data(), bytes.size())) return true;
  if (error_ == 0) error_ = errno != 0 ? errno : EIO;
  return false;
}

}  // namespace kupack
