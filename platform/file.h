// The file layer: every file the archive code reads or writes is reached through a FileSystem,
// as a ReadableFile (its size learned at open, read by position, able to say whether it is
// still the file that was opened), a WritableFile (a new file under a name of its own) or a
// StagedFile (a file written below a target folder, given its name once complete).
// Every open and every failure is a Status naming the file, with the system's error number
// mapped in one place. realFileSystem() is the system's own; tests put a wrapper in its place
// (tests/fault_file_system.h) to fail reads and writes or change files between reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/status.h"

namespace kupack::platform {

class RemovedOnEarlyEnd;

// A regular file open for reading. Safe to read from several threads at once.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;

  // The path it was opened by, for messages.
  virtual const std::string& path() const = 0;
  // Its length when it was opened: the number of bytes it is read for.
  virtual std::uint64_t size() const = 0;

  // Reads up to `buffer.size()` bytes at `position` into the front of `buffer` and sets `got`
  // to their number, which may be fewer than asked (0: nothing there any more). CannotRead
  // naming the file when the read fails.
  virtual Status readSome(std::uint64_t position, std::span<std::uint8_t> buffer,
                          std::size_t& got) const = 0;

  // A hint that the `length` bytes from `position` on will be read soon. Only a hint.
  virtual void willRead(std::uint64_t /*position*/, std::uint64_t /*length*/) const {}

  // True while the file is unchanged since it was opened (same size and modification time,
  // nothing to read past that size) and still has a name somewhere, judged by the open file
  // alone.
  virtual bool unchangedSinceOpen() const = 0;

  // True while `path` still names this file, unchanged since it was opened (the same file,
  // size and modification time): for a file held open while its name may be given to
  // another.
  virtual bool stillNamedBy(const std::string& path) const = 0;

  // Its modification time when it was opened, in seconds since 1970.
  virtual std::int64_t modifiedUnixSeconds() const = 0;

  // Fills all of `buffer` from `position` on, asking as often as the file gives fewer bytes
  // than asked. SourceChanged naming the file when it ends first (it has become shorter
  // since it was opened), CannotRead when a read fails.
  Status readAt(std::uint64_t position, std::span<std::uint8_t> buffer) const;

  // SourceChanged naming the file unless unchangedSinceOpen().
  Status checkUnchanged() const;
};

// A new file open for writing, written in order from its current position. The system's own
// kind writes it in large blocks that start and end on block boundaries of the file, which
// the system takes in far fewer, cheaper steps than small or unaligned writes.
class WritableFile {
 public:
  virtual ~WritableFile() = default;

  virtual const std::string& path() const = 0;
  // Writes all of `bytes` at the current position (buffered). CannotWrite naming the file.
  virtual Status append(std::span<const std::uint8_t> bytes) = 0;
  // Makes `position` the current position, after writing out what is buffered.
  virtual Status seek(std::uint64_t position) = 0;
  // Appends the `length` bytes of `source` from `position` on, read straight into the file's
  // own write buffer; where the range lines up with its new place by whole pages and
  // `source` is one of the system's files, the system copies those pages itself
  // (HeldFile::copyTo). SourceChanged naming `source` when it ends first, CannotRead naming
  // it when a read fails, CannotWrite naming this file.
  virtual Status appendFrom(const ReadableFile& source, std::uint64_t position,
                            std::uint64_t length) = 0;
  // The same for a long range copied as it is (an update's kept entries): between two of the
  // system's files all of it by the system (Linux: copy_file_range, whatever the alignment;
  // read through the buffer, a range whose pages do not line up cost twice the time and more
  // while the file's writeback was under way), otherwise as appendFrom() does it.
  virtual Status appendCopyOf(const ReadableFile& source, std::uint64_t position,
                              std::uint64_t length) = 0;
  // Gives the file the permissions of the file at `replacedPath` it is to replace
  // (platform::keepReplacedFileAttributes). CannotWrite naming this file.
  virtual Status keepAttributesOf(const std::string& replacedPath) = 0;
  // Starts writing bytes `from` to `to` out to the disk (platform::startWriteback). May be
  // called from one other thread while the file is written, until it is closed.
  virtual void startWriteback(std::uint64_t from, std::uint64_t to) = 0;
  // Writes out what is buffered and closes the file. CannotWrite naming it when anything
  // written did not reach it. Does nothing once closed.
  virtual Status close() = 0;
};

// A file without a name, for scratch bytes that do not fit in memory (POSIX: O_TMPFILE or a
// name removed at once; Windows: deleted when closed), in the system's temporary folder; it
// goes when it is dropped. Its failures name no file (it has no name): the caller says whose
// scratch file it was.
class ScratchFile {
 public:
  virtual ~ScratchFile() = default;
  // Writes all of `bytes` at `position`. CannotWrite with the system's reason.
  virtual Status writeAt(std::uint64_t position, std::span<const std::uint8_t> bytes) = 0;
  // Fills all of `buffer` from `position` on. CannotRead with the system's reason (EIO when
  // the file ends first). Safe to call from several threads at once.
  virtual Status readAt(std::uint64_t position, std::span<std::uint8_t> buffer) const = 0;
};

// What became of a request for a staged file below a folder (FileSystem::createStaged).
enum class CreateBelowResult {
  Created,      // the file is open for writing under a temporary name
  Exists,       // the file exists and replacing was not asked for; nothing was changed
  ThroughLink,  // a folder level (or, without replacing, the file itself) is a link
  NotAFolder,   // a folder level exists as something other than a folder
  Failed,       // anything else (the failure tells why), a folder on the file's place too
};

// A file being written in its target folder under a private temporary name (made
// exclusively, never through a link), given its own name by place() only once complete.
// One that is dropped or discarded unplaced is removed, so a failed write leaves whatever
// had the name before as it was. Used by one thread at a time.
class StagedFile {
 public:
  virtual ~StagedFile() = default;

  // The path it is to have once placed, for messages.
  virtual const std::string& path() const = 0;
  // Writes all of `bytes` at the end (buffered). CannotWrite naming path().
  virtual Status append(std::span<const std::uint8_t> bytes) = 0;
  // Writes out what is buffered and closes the file, still under its temporary name.
  // CannotWrite naming path() when anything written did not reach it. Does nothing once
  // closed.
  virtual Status close() = 0;
  // Closes the file and renames it to its name. With replacing, whatever has the name (a
  // file, a hard link, a symbolic link, not a folder) is replaced as a name and never
  // written through; without, a name that has appeared meanwhile is kept and the failure's
  // errorNumber is EEXIST. CannotWrite naming path() when what was written did not all
  // reach the file or the rename failed; the temporary file is removed then.
  virtual Status place() = 0;
  // Closes the file and removes it. Does nothing once placed or discarded.
  virtual void discard() = 0;
};

// A staged file or why there is none.
struct StagedCreation {
  CreateBelowResult result = CreateBelowResult::Failed;
  std::unique_ptr<StagedFile> file;  // only for Created
  Status failure;                    // only for Failed: CannotCreate naming the file
};

// Where files are opened. One instance serves every thread of a run.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens the regular file at `path` for reading and learns its size from the open file.
  // CannotOpen naming it otherwise: a folder is EISDIR, a pipe or a device EINVAL (a pipe
  // is never waited for).
  virtual Status openReadable(const std::string& path, std::unique_ptr<ReadableFile>& file) = 0;

  // Creates a new file for writing named `stem` + "." + random characters + `suffix`,
  // exclusively and never through a link (platform::createUniqueFile), registered in
  // `removal` when given. CannotCreate naming `stem` + `suffix` when none can be made.
  virtual Status createUnique(const std::string& stem, const std::string& suffix,
                              RemovedOnEarlyEnd* removal,
                              std::unique_ptr<WritableFile>& file) = 0;

  // Makes a new, empty scratch file. CannotCreate with the system's reason when none can
  // be made.
  virtual Status createScratch(std::unique_ptr<ScratchFile>& file) = 0;

  // Reads all of the file at `path`, a list the user named, into `bytes`: a regular file
  // as openReadable() opens it, or (POSIX) a pipe such as a shell's process substitution,
  // read to its end. CannotOpen or CannotRead naming it; FileTooLarge past `limit` bytes.
  virtual Status readList(const std::string& path, std::uint64_t limit,
                          std::vector<std::uint8_t>& bytes);

  // Starts the file reached from the existing folder `root` through `levels`: native folder
  // names, the file's name last. No level may be empty, "." or "..", or hold a separator
  // (the caller checks). Each folder level is entered without following a link (Windows:
  // a reparse point) and made when missing. With `replace`, an existing file, hard link or
  // symbolic link at the name will be replaced by place(); without it, the name must not be
  // taken yet. Nothing at the name is changed before place(). The temporary file is
  // registered for removal on an early end (platform/early_end.h).
  virtual StagedCreation createStaged(const std::string& root,
                                      const std::vector<std::string>& levels, bool replace) = 0;
};

// The system's files.
FileSystem& realFileSystem();

// `files` itself, or the system's files for nullptr.
inline FileSystem& fileSystemOr(FileSystem* files) {
  return files != nullptr ? *files : realFileSystem();
}

// The length of the regular file at `path`, looked up without reading it (POSIX: by name;
// Windows: through a handle with no access); nullopt when nothing is there or it is no
// regular file (a folder, pipe or device; a pipe is never waited for).
std::optional<std::uint64_t> regularFileLength(const std::string& path);

// The one mapping from the system's last error to a Status about `path`: errno on POSIX,
// GetLastError() turned into errno on Windows by the caller before this is called.
Status fileFailure(Status::Code code, const std::string& path, int errorNumber);

}  // namespace kupack::platform
