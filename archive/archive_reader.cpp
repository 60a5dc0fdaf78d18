#include "archive/archive_reader.h"

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <new>
#include <unordered_set>

#include "common/byte_order.h"
#include "common/checked_size.h"
#include "common/console.h"
#include "platform/platform.h"

namespace kupack {
namespace {

bool isNormalizedNameByte(std::uint8_t byte) { return byte != '/' && (byte < 'A' || byte > 'Z'); }

// Builds the failures of one archive, each naming the archive and the entry concerned.
class Complaint {
 public:
  explicit Complaint(const std::string& archivePath) : archive_(archivePath) {}

  Status archive(Status::Reason reason, std::initializer_list<std::uint64_t> numbers = {}) const {
    return Status::corrupt(reason, numbers).inFile(archive_);
  }
  Status entry(std::size_t index, Status::Reason reason,
               std::initializer_list<std::uint64_t> numbers = {}) const {
    return archive(reason, numbers).atEntryIndex(index);
  }
  Status entry(std::size_t index, std::string_view name, Status::Reason reason,
               std::initializer_list<std::uint64_t> numbers = {}) const {
    return archive(reason, numbers).atEntry(index, std::string(name));
  }

 private:
  const std::string& archive_;
};

// Checks the fields that follow an entry's name against the entries before it.
Status checkEntryFields(const Complaint& complain, std::size_t index, const ArchiveEntry& entry,
                        std::uint8_t type, std::uint64_t expectedOffset) {
  using Reason = Status::Reason;
  if (type > ENTRY_LZSS) return complain.entry(index, entry.name, Reason::UnknownType, {type});
  if (entry.offset != expectedOffset) {
    return complain.entry(index, entry.name, Reason::OffsetMismatch,
                          {entry.offset, expectedOffset});
  }
  if (type == ENTRY_STORED && entry.storedSize != entry.sourceSize) {
    return complain.entry(index, entry.name, Reason::StoredSizeMismatch,
                          {entry.storedSize, entry.sourceSize});
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
                             const std::string& archivePath, ArchiveDirectory& directory) {
  directory = ArchiveDirectory{};
  directory.archiveSize = archiveSize;
  using Reason = Status::Reason;
  const Complaint complain(archivePath);
  if (archiveSize < ARCHIVE_HEADER_SIZE || bytes.size() < ARCHIVE_HEADER_SIZE) {
    return complain.archive(Reason::ArchiveTooShort,
                            {std::min<std::uint64_t>(archiveSize, bytes.size())});
  }
  const std::size_t count = loadBE16(bytes.data());
  const std::uint32_t dataOffset = loadBE32(bytes.data() + 2);
  directory.dataOffset = dataOffset;
  const std::uint64_t smallest = ARCHIVE_HEADER_SIZE + count * (DIRECTORY_RECORD_OVERHEAD + 1);
  const std::uint64_t largest =
      ARCHIVE_HEADER_SIZE + count * (DIRECTORY_RECORD_OVERHEAD + MAX_NAME_LENGTH);
  if (dataOffset < smallest || dataOffset > largest) {
    return complain.archive(Reason::DataOffsetOutOfRange, {dataOffset, count, smallest, largest});
  }
  if (dataOffset > archiveSize || dataOffset > bytes.size()) {
    return complain.archive(Reason::DirectoryPastEnd, {dataOffset, archiveSize});
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
      if (nameLimit > MAX_NAME_LENGTH) return complain.entry(index, Reason::NameNotTerminated);
      return complain.entry(index, Reason::NamePastDirectory, {dataOffset});
    }
    ArchiveEntry entry;
    entry.name.assign(reinterpret_cast<const char*>(table.data() + position), nameLength);
    if (nameLength == 0) return complain.entry(index, Reason::NameEmpty);
    if (!std::all_of(nameStart, terminator, isNormalizedNameByte)) {
      return complain.entry(index, entry.name, Reason::NameNotNormalized);
    }
    position += nameLength + 1;
    if (table.size() - position < DIRECTORY_RECORD_OVERHEAD - 1) {
      return complain.entry(index, entry.name, Reason::EntryPastDirectory, {dataOffset});
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
    return complain.archive(Reason::DirectoryEndMismatch, {position, dataOffset});
  }
  if (archiveSize != dataOffset + dataSize) {
    return complain.archive(Reason::ArchiveSizeMismatch, {archiveSize, dataOffset + dataSize});
  }
  markDuplicates(directory.entries);
  return Status::ok();
}

Status ArchiveReader::open(const std::string& nativePath) {
  nativePath_ = nativePath;
  shownPath_ = platform::nativeToConsoleText(nativePath);
  directory_ = ArchiveDirectory{};
  const Complaint complain(nativePath_);
  // Opened without waiting and then looked at, so that a pipe or device put under the name
  // is refused, never read (reading one could wait forever).
  file_.reset();
  if (Status opened = files_.openReadable(nativePath, file_); !opened) {
    const int error = opened.errorNumber();
    if (error == EISDIR || platform::isFolder(nativePath))
      return Status::refused(Status::Reason::ArchiveIsFolder).inFile(nativePath);
    if (error == EINVAL)
      return Status::refused(Status::Reason::ArchiveNotRegularFile).inFile(nativePath);
    return Status::fault(Status::Code::CannotOpen, Status::Reason::ArchiveUnopenable)
        .inFile(nativePath)
        .withErrorNumber(error);
  }
  const std::uint64_t archiveSize = file_->size();

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
  return parseArchiveDirectory(head, archiveSize, nativePath_, directory_);
}

Status ArchiveReader::readAt(std::uint64_t position, std::span<std::uint8_t> buffer) {
  if (buffer.empty() || (file_ != nullptr && file_->readAt(position, buffer).isOk()))
    return Status::ok();
  return Status::fault(Status::Code::CannotRead, Status::Reason::ArchiveReadFailed,
                       {buffer.size(), position})
      .inFile(nativePath_);
}

Status ArchiveReader::readEntryBytes(const ArchiveEntry& entry, std::uint64_t position,
                                     std::span<std::uint8_t> buffer) {
  const std::uint64_t start = std::uint64_t{directory_.dataOffset} + entry.offset;
  if (position > entry.storedSize || buffer.size() > entry.storedSize - position ||
      start + entry.storedSize > directory_.archiveSize) {
    return Status::corrupt(Status::Reason::ReadOutsideEntry)
        .inFile(nativePath_)
        .atEntry(entry.name);
  }
  return readAt(start + position, buffer);
}

Status ArchiveReader::readEntry(const ArchiveEntry& entry, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  const std::uint64_t start = std::uint64_t{directory_.dataOffset} + entry.offset;
  if (start + entry.storedSize > directory_.archiveSize) {
    return Status::corrupt(Status::Reason::EntryOutsideData)
        .inFile(nativePath_)
        .atEntry(entry.name);
  }
  const auto size = fitSize(entry.storedSize);
  try {
    if (!size) throw std::bad_alloc();
    bytes.resize(*size);
  } catch (const std::bad_alloc&) {
    return Status::fault(Status::Code::OutOfMemory, Status::Reason::NoMemoryToRead)
        .inFile(nativePath_)
        .atEntry(entry.name);
  }
  return readEntryBytes(entry, 0, bytes);
}

}  // namespace kupack
