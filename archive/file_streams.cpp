#include "archive/file_streams.h"

#include <cerrno>
#include <cstdio>

namespace kupack {

bool FileSource::read(std::span<std::uint8_t> buffer, std::size_t& count) {
  errno = 0;
  count = std::fread(buffer.data(), 1, buffer.size(), file_.stream());
  if (count < buffer.size() && std::ferror(file_.stream())) {
    count = 0;
    if (error_ == 0) error_ = errno != 0 ? errno : EIO;
    return false;
  }
  return true;
}

bool FileSink::put(std::span<const std::uint8_t> bytes) {
  if (file_.writeBytes(bytes.data(), bytes.size())) return true;
  if (error_ == 0) error_ = errno != 0 ? errno : EIO;
  return false;
}

}  // namespace kupack
