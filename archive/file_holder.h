// FileHolder: owns at most one buffered byte stream, opened by name and mode, and the
// length of the file it was opened on. The stream is closed exactly once: by close(),
// whose result tells whether everything written reached the file, or by destruction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kupack {

class FileHolder {
 public:
  FileHolder() = default;
  ~FileHolder();
  FileHolder(const FileHolder&) = delete;
  FileHolder& operator=(const FileHolder&) = delete;

  // Opens `nativePath` with a stdio mode ("rb", "wb"). A mode starting with 'w' opens the
  // stream at once and leaves size() alone; any other mode first learns the file's length
  // through a read-only descriptor, then opens the stream. False (errno set) when either
  // step fails; the holder then has no stream. Must not be called while a stream is open.
  bool open(const std::string& nativePath, const char* mode);

  // Closes the stream if there is one. False (errno set) when buffered output could not
  // be written; the holder is empty afterwards either way.
  bool close();

  bool isOpen() const { return stream_ != nullptr; }
  std::FILE* stream() const { return stream_; }
  // The length learned by the last read-mode open.
  std::uint64_t size() const { return size_; }
  // The path given to the last open, for messages.
  const std::string& path() const { return path_; }

  // Unsigned big-endian writes; false (errno set) when the stream refused a byte.
  bool writeBE16(std::uint32_t value);
  bool writeBE32(std::uint32_t value);
  bool writeBytes(const void* data, std::size_t count);

 private:
  std::FILE* stream_ = nullptr;
  std::uint64_t size_ = 0;
  std::string path_;
};

}  // namespace kupack
