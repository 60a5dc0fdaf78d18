#include "archive/archive_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <unordered_set>

#include "common/byte_order.h"
#include "common/checked_size.h"
#include "common/console.h"
#include "platform/platform.h"

namespace kupack {
namespace {

using ull = unsigned long long;

bool isNormalizedNameByte(std::uint8_t byte) { return byte != '/' && (byte < 'A' || byte > 'Z'); }

// Builds the failure messages of one archive, each naming the entry concerned.
class Complaint {
 public:
  explicit Complaint(const std::string& shownArchive) : archive_(shownArchive) {}

  Status archive(const std::string& problem) const {
    return Status::failed(archive_ + ": " + problem + "\n");
  }
  Status entry(std::size_t index, const std::string& problem) const {
    return archive(formatText("entry %llu: ", ull{index + 1}) + problem);
  }
  Status entry(std::size_t index, std::string_view name, const std::string& problem) const {
    return archive(formatText("entry %llu (", ull{index + 1}) + entryNameForConsole(name) +
                   "): " + problem);
  }

 private:
  const std::string& archive_;
};

// Checks the fields that follow an entry's name against the entries before it.
Status checkEntryFields(const Complaint& complain, std::size_t index, const ArchiveEntry& entry,
                        std::uint8_t type, std::uint64_t expectedOffset) {
  if (type > ENTRY_LZSS) {
    return complain.entry(
        index, entry.name,
        formatText("type %u is none of 0 (stored), 1 (SPB) and 2 (LZSS)", unsigned{type}));
  }
  if (entry.offset != expectedOffset) {
    return complain.entry(
        index, entry.name,
        formatText("offset %llu, but the entries before it take %llu bytes of data",
                   ull{entry.offset}, ull{expectedOffset}));
  }
  if (type == ENTRY_STORED && entry.storedSize != entry.sourceSize) {
    return complain.entry(index, entry.name,
                          formatText("stored entry whose stored size %llu differs from its "
                                     "source size %llu",
                                     ull{entry.storedSize}, ull{entry.sourceSize}));
  }
  return Status::ok();
}

// Marks every entry whose name an earlier entry has.
void markDuplicates(std::vector<ArchiveEntry>& entries) {
  std::unordered_set<std::string_view> seen;
  seen.reserve(entries.size());
  for (ArchiveEntry& entry : entries) entry.duplicate = !seen.insert(entry.name).second;
}

}  // namespace

std::string entryNameForConsole(std::string_view name) {
  return withoutControlBytes(platform::cp932ToUtf8Text(name));
}

Status parseArchiveDirectory(std::span<const std::uint8_t> bytes, std::uint64_t archiveSize,
                             const std::string& shownArchive, ArchiveDirectory& directory) {
  directory = ArchiveDirectory{};
  directory.archiveSize = archiveSize;
  const Complaint complain(shownArchive);
  if (archiveSize < ARCHIVE_HEADER_SIZE || bytes.size() < ARCHIVE_HEADER_SIZE) {
    return complain.archive(formatText("only %llu bytes long, too short for the 6-byte header",
                                       ull{std::min<std::uint64_t>(archiveSize, bytes.size())}));
  }
  const std::size_t count = loadBE16(bytes.data());
  const std::uint32_t dataOffset = loadBE32(bytes.data() + 2);
  directory.dataOffset = dataOffset;
  const std::uint64_t smallest = ARCHIVE_HEADER_SIZE + count * (DIRECTORY_RECORD_OVERHEAD + 1);
  const std::uint64_t largest =
      ARCHIVE_HEADER_SIZE + count * (DIRECTORY_RECORD_OVERHEAD + MAX_NAME_LENGTH);
  if (dataOffset < smallest || dataOffset > largest) {
    return complain.archive(formatText(
        "the header's data offset %llu cannot hold %llu directory entries (%llu to %llu bytes)",
        ull{dataOffset}, ull{count}, ull{smallest}, ull{largest}));
  }
  if (dataOffset > archiveSize || dataOffset > bytes.size()) {
    return complain.archive(
        formatText("the directory would end at byte %llu, past the end of the file (%llu bytes)",
                   ull{dataOffset}, ull{archiveSize}));
  }

  const std::span<const std::uint8_t> table = bytes.first(dataOffset);
  std::size_t position = ARCHIVE_HEADER_SIZE;
  std::uint64_t dataSize = 0;
  directory.entries.reserve(count);
  for (std::size_t index = 0; index < count; ++index) {
    const std::size_t nameLimit = std::min(table.size() - position, MAX_NAME_LENGTH + 1);
    const auto nameStart = table.begin() + static_cast<std::ptrdiff_t>(position);
    const auto terminator =
        std::find(nameStart, nameStart + static_cast<std::ptrdiff_t>(nameLimit), 0);
    const auto nameLength = static_cast<std::size_t>(terminator - nameStart);
    if (nameLength == nameLimit) {
      return complain.entry(
          index,
          nameLimit > MAX_NAME_LENGTH
              ? std::string("name is not terminated within 256 bytes")
              : formatText("name runs past the directory's end at byte %llu", ull{dataOffset}));
    }
    ArchiveEntry entry;
    entry.name.assign(reinterpret_cast<const char*>(table.data() + position), nameLength);
    if (nameLength == 0) return complain.entry(index, "the name is empty");
    if (!std::all_of(nameStart, terminator, isNormalizedNameByte)) {
      return complain.entry(index, entry.name,
                            "the name is not normalized (holds 'A' to 'Z' or '/')");
    }
    position += nameLength + 1;
    if (table.size() - position < DIRECTORY_RECORD_OVERHEAD - 1) {
      return complain.entry(
          index, entry.name,
          formatText("the entry runs past the directory's end at byte %llu", ull{dataOffset}));
    }
    const std::uint8_t* fields = table.data() + position;
    const std::uint8_t type = fields[0];
    entry.offset = loadBE32(fields + 1);
    entry.storedSize = loadBE32(fields + 5);
    entry.sourceSize = loadBE32(fields + 9);
    position += DIRECTORY_RECORD_OVERHEAD - 1;
    if (Status status = checkEntryFields(complain, index, entry, type, dataSize); !status) {
      return status;
    }
    entry.type = static_cast<EntryType>(type);
    dataSize += entry.storedSize;
    directory.entries.push_back(std::move(entry));
  }
  if (position != dataOffset) {
    return complain.archive(
        formatText("the directory ends at byte %llu, but the header's data offset is %llu",
                   ull{position}, ull{dataOffset}));
  }
  if (archiveSize != dataOffset + dataSize) {
    return complain.archive(
        formatText("the file is %llu bytes long, but its directory and data take %llu bytes",
                   ull{archiveSize}, ull{dataOffset + dataSize}));
  }
  markDuplicates(directory.entries);
  return Status::ok();
}

Status ArchiveReader::open(const std::string& nativePath) {
  nativePath_ = nativePath;
  shownPath_ = platform::nativeToConsoleText(nativePath);
  directory_ = ArchiveDirectory{};
  const Complaint complain(shownPath_);
  // Opened without waiting and then looked at, so that a pipe or device put under the name
  // is refused, never read (reading one could wait forever).
  errno = 0;
  if (!file_.openForReading(nativePath)) {
    const int error = errno != 0 ? errno : ENOENT;
    if (error == EISDIR || platform::isFolder(nativePath))
      return complain.archive("is a folder, not an archive");
    if (error == EINVAL) return complain.archive("is not a regular file, not an archive");
    return complain.archive("cannot open (" + platform::nativeToConsoleText(std::strerror(error)) +
                            ")");
  }
  const std::uint64_t archiveSize = file_.size();

  // The header says how long the directory is; only that much is read, and only after
  // the header's figures have been checked against the entry count and the file length.
  std::vector<std::uint8_t> head(
      static_cast<std::size_t>(std::min<std::uint64_t>(archiveSize, ARCHIVE_HEADER_SIZE)));
  if (Status status = readAt(0, head); !status) return status;
  if (head.size() == ARCHIVE_HEADER_SIZE) {
    const std::uint64_t dataOffset = loadBE32(head.data() + 2);
    const std::uint64_t count = loadBE16(head.data());
    const std::uint64_t largest =
        ARCHIVE_HEADER_SIZE + count * (DIRECTORY_RECORD_OVERHEAD + MAX_NAME_LENGTH);
    if (dataOffset > ARCHIVE_HEADER_SIZE && dataOffset <= archiveSize && dataOffset <= largest) {
      head.resize(static_cast<std::size_t>(dataOffset));
      if (Status status = readAt(0, head); !status) return status;
    }
  }
  return parseArchiveDirectory(head, archiveSize, shownPath_, directory_);
}

Status ArchiveReader::readAt(std::uint64_t position, std::span<std::uint8_t> buffer) {
  if (buffer.empty() || file_.readAt(position, buffer)) return Status::ok();
  return Status::failed(shownPath_ +
                        formatText(": cannot read %llu bytes at byte %llu (has the file "
                                   "changed?)\n",
                                   ull{buffer.size()}, ull{position}));
}

Status ArchiveReader::readEntryBytes(const ArchiveEntry& entry, std::uint64_t position,
                                     std::span<std::uint8_t> buffer) {
  const std::uint64_t start = std::uint64_t{directory_.dataOffset} + entry.offset;
  if (position > entry.storedSize || buffer.size() > entry.storedSize - position ||
      start + entry.storedSize > directory_.archiveSize) {
    return Status::failed(shownPath_ + ": " + entryNameForConsole(entry.name) +
                          ": read outside the entry's bytes\n");
  }
  return readAt(start + position, buffer);
}

Status ArchiveReader::readEntry(const ArchiveEntry& entry, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  const std::uint64_t start = std::uint64_t{directory_.dataOffset} + entry.offset;
  if (start + entry.storedSize > directory_.archiveSize) {
    return Status::failed(shownPath_ + ": " + entryNameForConsole(entry.name) +
                          ": the entry lies outside the data area\n");
  }
  const auto size = fitSize(entry.storedSize);
  try {
    if (!size) throw std::bad_alloc();
    bytes.resize(*size);
  } catch (const std::bad_alloc&) {
    return Status::failed(shownPath_ + ": " + entryNameForConsole(entry.name) +
                          ": not enough memory to read the entry whole\n");
  }
  return readEntryBytes(entry, 0, bytes);
}

}  // namespace kupack
