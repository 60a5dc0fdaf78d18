#include "archive/file_holder.h"

#include <cerrno>

#include "common/byte_order.h"
#include "platform/platform.h"

namespace kupack {

FileHolder::~FileHolder() { close(); }

bool FileHolder::open(const std::string& nativePath, const char* mode) {
  close();
  path_ = nativePath;
  if (mode[0] != 'w') {
    const auto length = platform::fileSize(nativePath);
    if (!length) return false;
    size_ = *length;
  }
  stream_ = std::fopen(nativePath.c_str(), mode);
  return stream_ != nullptr;
}

bool FileHolder::close() {
  if (stream_ == nullptr) return true;
  std::FILE* stream = stream_;
  stream_ = nullptr;
  return std::fclose(stream) == 0;
}

bool FileHolder::writeBE16(std::uint32_t value) {
  std::uint8_t bytes[2];
  storeBE16(bytes, value);
  return writeBytes(bytes, sizeof bytes);
}

bool FileHolder::writeBE32(std::uint32_t value) {
  std::uint8_t bytes[4];
  storeBE32(bytes, value);
  return writeBytes(bytes, sizeof bytes);
}

bool FileHolder::writeBytes(const void* data, std::size_t count) {
  if (count == 0) return true;
  if (std::fwrite(data, 1, count, stream_) == count) return true;
  if (errno == 0) errno = EIO;
  return false;
}

}  // namespace kupack
