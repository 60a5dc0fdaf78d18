// Reading .kup archives: parses the header and directory, checks every invariant of the
// format and reads entries' bytes from the data area. Never prints; never reads outside
// the file; every allocation is bounded by the archive's real length, not by its fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "codec/entry_type.h"
#include "common/status.h"
#include "platform/file.h"

namespace kupack {

struct ArchiveEntry {
  std::string name;  // code page 932 bytes as recorded: normalized, '\' between levels
  EntryType type = ENTRY_STORED;
  std::uint32_t offset = 0;  // from the start of the data area
  std::uint32_t storedSize = 0;
  std::uint32_t sourceSize = 0;
  // A later entry of a name an earlier entry has. An archive should hold none; where one
  // does, every reader takes the first entry of the name and leaves the later ones out,
  // naming them (Status::Reason::DuplicateEntry says why).
  bool duplicate = false;
};

struct ArchiveDirectory {
  std::uint32_t dataOffset = 0;
  std::uint64_t archiveSize = 0;
  std::vector<ArchiveEntry> entries;
};

// An entry's name (code page 932) as safe console text (UTF-8; bytes that are no code page
// 932 character kept for the console to escape): control bytes (a hostile name may carry
// terminal escapes) become '?'.
std::string entryNameForConsole(std::string_view name);

// Parses and checks the header and directory. `bytes` is the start of an archive that is
// `archiveSize` bytes long; it holds the whole archive or at least its header and
// directory. A failure is a Corrupt status in the file `archivePath` (native) naming the
// entry concerned. Checks: the header fits; `dataOffset` agrees with the entry
// count and lies inside the file; each name is terminated, non-empty, normalized and at
// most 255 bytes; each type is 0, 1 or 2; each offset is the sum of the stored sizes
// before it; stored entries have equal sizes; the directory ends exactly at `dataOffset`;
// and the file is exactly as long as the data area says. Marks each later entry of a name
// as a duplicate.
Status parseArchiveDirectory(std::span<const std::uint8_t> bytes, std::uint64_t archiveSize,
                             const std::string& archivePath, ArchiveDirectory& directory);

// An open, checked archive file, read through a FileSystem (the system's files unless one is
// given; tests give one that injects faults). Entries may be read from several threads at once.
class ArchiveReader {
 public:
  explicit ArchiveReader(platform::FileSystem* files = nullptr)
      : files_(platform::fileSystemOr(files)) {}

  // Opens the archive at `nativePath` and checks its header and directory. Reads only the
  // header and the directory; the data area is read on demand.
  Status open(const std::string& nativePath);

  // Where the archive was opened: the files that go with it (the folder -t compares it
  // with, scratch files) are opened there too.
  platform::FileSystem& files() const { return files_; }

  const ArchiveDirectory& directory() const { return directory_; }
  const std::vector<ArchiveEntry>& entries() const { return directory_.entries; }
  const std::string& nativePath() const { return nativePath_; }
  // The archive's path as console text, for messages.
  const std::string& shownPath() const { return shownPath_; }
  // The open archive file (only after a successful open()), for copying entries' stored
  // bytes as they are and for noticing a change. An update closes it through openFile()
  // before its new archive takes the name; nothing can be read after that.
  const platform::ReadableFile& file() const { return *file_; }
  std::unique_ptr<platform::ReadableFile>& openFile() { return file_; }

  // Reads `buffer.size()` bytes of `entry`'s stored bytes, starting `position` bytes into
  // them. The range must lie inside the entry, and the entry inside the data area.
  Status readEntryBytes(const ArchiveEntry& entry, std::uint64_t position,
                        std::span<std::uint8_t> buffer);

  // Reads all of `entry`'s stored bytes into memory (decodeEntry() reads in bounded pieces).
  // Too little memory is a failure naming the entry.
  Status readEntry(const ArchiveEntry& entry, std::vector<std::uint8_t>& bytes);

 private:
  Status readAt(std::uint64_t position, std::span<std::uint8_t> buffer);

  platform::FileSystem& files_;
  std::unique_ptr<platform::ReadableFile> file_;
  std::string nativePath_;
  std::string shownPath_;
  ArchiveDirectory directory_;
};

}  // namespace kupack
