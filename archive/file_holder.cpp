#include "archive/file_holder.h"

#include <algorithm>
#include <cerrno>

#include "common/byte_order.h"
#include "platform/platform.h"

namespace kupack {

FileHolder::~FileHolder() { close(); }

bool FileHolder::open(const std::string& nativePath, const char* mode) {
  close();
  path_ = nativePath;
  consumed_ = 0;
  readFailed_ = changed_ = false;
  if (mode[0] == 'w') {
    stream_ = std::fopen(nativePath.c_str(), mode);
  } else {
    std::uint64_t length = 0;
    stream_ = platform::openForReading(nativePath, length);
    if (stream_ != nullptr) size_ = length;
  }
  return stream_ != nullptr;
}

bool FileHolder::createUnique(const std::string& stem, const std::string& suffix,
                              platform::RemovedOnEarlyEnd* removal) {
  close();
  consumed_ = 0;
  readFailed_ = changed_ = false;
  path_.clear();
  stream_ = platform::createUniqueFile(stem, suffix, path_, removal);
  return stream_ != nullptr;
}

std::size_t FileHolder::read(void* data, std::size_t count) {
  const std::uint64_t left = size_ - consumed_;
  const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(count, left));
  errno = 0;
  const std::size_t got = wanted == 0 ? 0 : std::fread(data, 1, wanted, stream_);
  consumed_ += got;
  if (got < wanted) {
    if (std::ferror(stream_)) {
      readFailed_ = true;
      if (errno == 0) errno = EIO;
    } else {
      changed_ = true;  // the file ended before its recorded length
    }
  } else if (consumed_ == size_) {
    checkNothingMore();
  }
  return got;
}

void FileHolder::checkNothingMore() {
  if (changed_ || readFailed_) return;
  if (std::fgetc(stream_) != EOF) {
    changed_ = true;  // the file has grown past its recorded length
  } else if (std::ferror(stream_)) {
    readFailed_ = true;
  }
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
