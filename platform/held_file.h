// The system's open file under the file layer: a handle held open, read and written at
// positions from several threads at once, and able to tell whether it is still the file that
// was opened. Only platform/*.cpp include it; everything else reaches files through
// platform/file.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "common/status.h"

namespace kupack::platform {

class HeldFile {
 public:
  HeldFile() = default;
  ~HeldFile();
  HeldFile(HeldFile&& other) noexcept;
  HeldFile& operator=(HeldFile&& other) noexcept;
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  // Opens the plain file at `path` for reading and notes what it is (device, file number,
  // size, modification time). False (errno set) when it cannot be opened or is no file.
  bool openForReading(const std::string& path);

  // Makes an empty file for reading and writing that has no name (POSIX: O_TMPFILE, or a
  // name removed at once; Windows: deleted when closed), in the system's temporary
  // folder. False (errno set) when none can be made.
  bool openUnnamedTemporary();

  bool isOpen() const;

  // Reads exactly `buffer.size()` bytes at `position`; false (errno set, EIO for a short
  // read) otherwise. Safe to call from several threads at once.
  bool readAt(std::uint64_t position, std::span<std::uint8_t> buffer) const;

  // Asks the system to start reading the `length` bytes from `position` on into its cache,
  // without waiting for them (POSIX: posix_fadvise; nothing on Windows). Only a hint.
  void willRead(std::uint64_t position, std::uint64_t length) const;

  // Writes all of `bytes` at `position`; false (errno set) otherwise.
  bool writeAt(std::uint64_t position, std::span<const std::uint8_t> bytes);

  // Appends the `length` bytes from `position` on to `destination` at its current position
  // (flushed first, and positioned after them on return), without passing them through the
  // process where the system can copy between files itself (Linux: copy_file_range, which
  // shares the blocks where the file system can); elsewhere in large positioned reads and
  // writes. Otherwise says which side failed (errno set; EIO for a file that ends early).
  enum class CopyResult { Copied, ReadFailed, WriteFailed };
  CopyResult copyTo(std::uint64_t position, std::uint64_t length, std::FILE* destination) const;

  // True while `path` still names the file opened here, unchanged since it was opened
  // (same device and file number, same size and modification time).
  bool stillNamedBy(const std::string& path) const;

  // True while the file opened here is unchanged (same size and modification time) and
  // still has a name somewhere, judged by the open file alone: for a file whose name can
  // no longer be looked at (a mount now covers its folder).
  bool unchangedWhileHeld() const;

  // The file's length when it was opened.
  std::uint64_t size() const { return size_; }

  // The file's modification time when it was opened, in seconds since 1970.
  std::int64_t modifiedUnixSeconds() const;

 private:
  void close();

  std::intptr_t handle_ = -1;  // a descriptor on POSIX, a HANDLE on Windows
  std::uint64_t device_ = 0;
  std::uint64_t fileNumber_ = 0;
  std::uint64_t size_ = 0;
  std::int64_t modified_ = 0;  // nanoseconds (POSIX) or 100-ns ticks (Windows)
};

// True when `path` names a pipe (looked up without opening it: opening a pipe's reading end
// lets a waiting writer go on). Always false on Windows.
bool namesPipe(const std::string& path);

// Reads the pipe named `path` to its end into `bytes` (waiting for a writer, as a reader of a
// pipe does): for a list the user gives as a pipe. CannotOpen naming it when it is no pipe
// (EINVAL) or cannot be opened, CannotRead when a read fails, FileTooLarge past `limit`
// bytes. Windows: always CannotOpen (EINVAL).
Status readPipeToEnd(const std::string& path, std::uint64_t limit,
                     std::vector<std::uint8_t>& bytes);

}  // namespace kupack::platform
