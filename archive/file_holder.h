// FileHolder: owns at most one buffered byte stream, opened by name and mode, and the
// length of the file it was opened on. A file opened for reading is read for exactly that
// length, never past it, and a file that turns out shorter or longer is noticed. The stream
// is closed exactly once: by close(), whose result tells whether everything written reached
// the file, or by destruction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace kupack {

class FileHolder {
 public:
  FileHolder() = default;
  ~FileHolder();
  FileHolder(const FileHolder&) = delete;
  FileHolder& operator=(const FileHolder&) = delete;

  // Opens `nativePath` with a stdio mode ("rb", "wb"). A mode starting with 'w' opens the
  // stream at once and leaves size() alone; any other mode opens the regular file for
  // reading and learns its length from the open file. False (errno set) when that fails;
  // the holder then has no stream. Must not be called while a stream is open.
  bool open(const std::string& nativePath, const char* mode);

  // Creates a new file exclusively under a name of its own, `stem` + "." + random
  // characters + `suffix` (platform::createUniqueFile), open for writing; path() gives the
  // name. False (errno set) when none can be made.
  // With `removal`, the file is registered there for removal should the run end early.
  bool createUnique(const std::string& stem, const std::string& suffix,
                    platform::RemovedOnEarlyEnd* removal = nullptr);

  // Reads up to `count` bytes of a file opened for reading, never past size(); returns how
  // many were read. Fewer than asked means the end of the recorded length, a read error
  // (readFailed()), or a file that ended early (changed()). Once the recorded length has
  // been read, checks that the file holds nothing more (changed() otherwise).
  std::size_t read(void* data, std::size_t count);
  bool readFailed() const { return readFailed_; }
  // True when the file turned out shorter or longer than the length it had when opened.
  bool changed() const { return changed_; }

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
  void checkNothingMore();

  std::uint64_t size_ = 0;
  std::uint64_t consumed_ = 0;  // bytes read so far by read()
  bool readFailed_ = false;
  bool changed_ = false;
  std::string path_;
};

}  // namespace kupack
