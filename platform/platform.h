// Everything kupack takes from the operating system, behind one small interface, one header
// per concern: paths.h, text.h, console.h, folders.h, memory.h, early_end.h and user.h (each
// implemented in <concern>_posix.cpp and <concern>_win32.cpp), and below, files. No other
// folder tests the platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console.h"
#include "platform/early_end.h"
#include "platform/folders.h"
#include "platform/memory.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/user.h"

namespace kupack::platform {

// ---- Files --------------------------------------------------------------------------

// Replaces `to` with `from` in one step; false (errno set) on failure.
bool replaceFile(const std::string& from, const std::string& to);

// Gives the open `file`, written to replace the file at `replacedPath`, that file's
// permissions and, as far as this process may set them, its owner and group (the set-user
// and set-group bits only with both kept), so that the replacement keeps them as editors
// do. True, doing nothing, when nothing is at `replacedPath` (a new file keeps the mode the
// umask gave it), and on Windows, where the new file keeps the access its folder gives.
// False (errno set) only when the permissions could not be set and `file` would let more
// users in than the old file did.
bool keepReplacedFileAttributes(std::FILE* file, const std::string& replacedPath);

// Where an archive named `path` is to be written: `path` itself when nothing is there or a
// regular file is; the file a symbolic link there leads to when that is a regular file (the
// archive replaces the file, the link stays). nullopt (errno set: EINVAL for something that
// is no regular file, ENOENT for a dangling link) when the name cannot take an archive.
// A name that cannot be looked at is given back as it is, for the writer to report.
std::optional<std::string> archiveTarget(const std::string& path);

// Starts writing bytes `from` to `to` of `file` (written so far) out to its disk without
// waiting for them. For an archive that will replace another: the rename over the old one
// makes the file system write out whatever is still unwritten before the rename returns, so
// bytes sent on their way while the run goes on shorten that wait. Does nothing where the
// system offers no such call.
void startWriteback(std::FILE* file, std::uint64_t from, std::uint64_t to);

// Creates a new, empty file for binary writing named `stem` + "." + random characters +
// `suffix`, exclusively (a name that exists, a link included, is never opened: another name
// is tried) and readable by others as a new file normally is. Sets `createdPath` to its name
// and, with `removal`, registers it there in the same step, so that an early end never
// leaves it behind. nullptr (errno set) when no file could be made.
std::FILE* createUniqueFile(const std::string& stem, const std::string& suffix,
                            std::string& createdPath, RemovedOnEarlyEnd* removal = nullptr);

// Deletes a file; false (errno set) on failure. A missing file counts as failure.
bool removeFile(const std::string& path);

// Makes the new, empty folder `path` (its parent must exist); false (errno set: EEXIST when
// anything, a link included, has the name already) otherwise. Never takes an existing one.
bool makeNewFolder(const std::string& path);

}  // namespace kupack::platform

// ---- Extracting below a target folder (used by the archive reader) -------------------
// The reader writes entries only below the folder the user named and never follows a
// link there: each folder level is entered without following links, and the file itself
// is opened without following one. Win32: reparse points count as links.

namespace kupack::platform {

// Makes the folder `path` and any missing parents (links in `path` itself are the
// user's and are followed). False (errno set) when it cannot be made.
bool makeFolders(const std::string& path);

// Staged files below a target folder are made through the file layer
// (FileSystem::createStaged in platform/file.h).

}  // namespace kupack::platform

// ---- Files held open while they are served (used by the archive mount) ---------------
// A read-only mount keeps its archive open for as long as it lives, reads it from several
// threads at once, and notices when the file under the archive's name is no longer the
// one it opened. Decoded entries too large for memory go to files without a name.

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

}  // namespace kupack::platform
