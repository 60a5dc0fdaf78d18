#include "archive/mounted_archive.h"

#include <algorithm>
#include <cerrno>
#include <optional>

#include "archive/entry_decoding.h"
#include "archive/read_jobs.h"
#include "codec/bmp_writer.h"

namespace kupack {
namespace {

// An SPB entry's size when its header gives no BMP file (a stream shorter than the
// header, or a picture too large for a BMP file): it shows as empty and cannot be opened.
constexpr std::uint64_t BROKEN_PICTURE = ~std::uint64_t{0};

static_assert(EntryTree::ROOT == platform::ROOT_NODE);

// An entry's stored bytes, read through the reader as the decoder asks for them. Unlike
// extraction's ArchiveEntrySource it keeps no blocks of its own: the mount decodes on many
// threads at once, and its memory is counted in decoded bytes. Keeps the first failure.
class EntryBytes final : public PositionedSource {
 public:
  EntryBytes(ArchiveReader& reader, const ArchiveEntry& entry) : reader_(reader), entry_(entry) {}
  std::uint64_t size() const override { return entry_.storedSize; }
  bool read(std::uint64_t position, std::span<std::uint8_t> buffer) override {
    Status status = reader_.readEntryBytes(entry_, position, buffer);
    if (status.isOk()) return true;
    if (failure_.isOk()) failure_ = std::move(status);
    return false;
  }
  const Status& failure() const { return failure_; }

 private:
  ArchiveReader& reader_;
  const ArchiveEntry& entry_;
  Status failure_ = Status::ok();
};

}  // namespace

MountedArchive::MountedArchive(std::uint64_t cacheBudget, Reporter report,
                               platform::FileSystem* files)
    : report_(std::move(report)),
      reader_(files),
      cache_(
          cacheBudget, reader_.files(),
          [this](std::size_t entry, ByteSink& sink) { return decodeEntryInto(entry, sink); },
          [this](std::size_t entry, const Status& problem) { reportOnce(entry, problem); },
          readingThreads(0)) {}

MountedArchive::~MountedArchive() = default;

Status MountedArchive::open(const std::string& archivePath) {
  tree_ = EntryTree{};  // nothing to be found unless the archive opens
  if (Status status = reader_.open(archivePath); !status) return status;
  // Its name, made absolute now, tells later whether the file held open is still the
  // archive there (the mount's server moves to another folder).
  archivePath_ =
      platform::absolutePath(archivePath, platform::currentDirectory().value_or(std::string(".")));
  givenPath_ = archivePath;
  modificationTime_ = reader_.file().modifiedUnixSeconds();
  const std::size_t count = reader_.entries().size();
  pictureSizes_ = std::make_unique<std::atomic<std::uint64_t>[]>(count);
  reported_.assign(count, false);
  tree_.build(reader_.entries(), [this](const Status& problem) {
    Status named = problem;
    report_(std::move(named).inFile(givenPath_));
  });
  return Status::ok();
}

std::uint64_t MountedArchive::entrySize(std::size_t index) {
  const ArchiveEntry& entry = entryAt(index);
  if (entry.type != ENTRY_SPB) return entry.sourceSize;
  // Kept as size + 1, so that 0 means "not learned yet".
  const std::uint64_t known = pictureSizes_[index].load(std::memory_order_relaxed);
  if (known == BROKEN_PICTURE) return 0;
  if (known != 0) return known - 1;
  std::uint8_t header[4] = {};
  std::optional<std::uint32_t> size;
  if (entry.storedSize >= sizeof header) {
    if (!reader_.readEntryBytes(entry, 0, header)) return 0;
    const auto dimensions = spbDimensions(header);
    size = bmp24FileSize(dimensions->width, dimensions->height);
  }
  pictureSizes_[index].store(size ? *size + 1 : BROKEN_PICTURE, std::memory_order_relaxed);
  return size.value_or(0);
}

bool MountedArchive::isBrokenPicture(std::size_t index) {
  if (entryAt(index).type != ENTRY_SPB) return false;
  entrySize(index);
  return pictureSizes_[index].load(std::memory_order_relaxed) == BROKEN_PICTURE;
}

// Says why, as `-t` says it: the decode fails at the header.
void MountedArchive::reportBrokenPicture(std::size_t index) {
  {
    const std::lock_guard lock(reportedMutex_);
    if (reported_[index]) return;
  }
  class Discard final : public ByteSink {
   public:
    bool put(std::span<const std::uint8_t>) override { return true; }
  } discard;
  if (decodeEntryInto(index, discard)) {
    reportOnce(index, Status::refused(Status::Reason::PictureSizeNoBmp));
  }
}

platform::NodeAttributes MountedArchive::attributesOf(std::uint32_t node) {
  platform::NodeAttributes attributes;
  attributes.node = node;
  attributes.isFolder = tree_.isFolder(node);
  if (!attributes.isFolder) {
    attributes.size = entrySize(static_cast<std::size_t>(tree_.entryOf(node)));
  }
  return attributes;
}

int MountedArchive::lookup(std::uint64_t parent, std::string_view name,
                           platform::NodeAttributes& child) {
  if (!tree_.contains(parent)) return ENOENT;
  const auto folder = static_cast<std::uint32_t>(parent);
  if (!tree_.isFolder(folder)) return ENOTDIR;
  const std::uint32_t found = tree_.childOf(folder, name);
  if (found == EntryTree::NO_NODE) return ENOENT;
  child = attributesOf(found);
  return 0;
}

int MountedArchive::getattr(std::uint64_t node, platform::NodeAttributes& attributes) {
  if (!tree_.contains(node)) return ENOENT;
  attributes = attributesOf(static_cast<std::uint32_t>(node));
  return 0;
}

int MountedArchive::readdir(std::uint64_t folder, std::uint64_t start, const ChildSink& add) {
  if (!tree_.contains(folder)) return ENOENT;
  const auto listed = static_cast<std::uint32_t>(folder);
  if (!tree_.isFolder(listed)) return ENOTDIR;
  const std::span<const std::uint32_t> children = tree_.childrenOf(listed);
  for (std::uint64_t position = start; position < children.size(); ++position) {
    const std::uint32_t child = children[static_cast<std::size_t>(position)];
    if (!add(tree_.nameOf(child), attributesOf(child), position + 1)) break;
  }
  return 0;
}

int MountedArchive::open(std::uint64_t node, std::uint64_t& handle) {
  if (!tree_.contains(node)) return ENOENT;
  const std::int32_t file = tree_.entryOf(static_cast<std::uint32_t>(node));
  if (file < 0) return EISDIR;
  if (!archiveUnchanged()) return EIO;
  const auto entry = static_cast<std::size_t>(file);
  // Shown as empty (its size cannot be told), but never read as an empty file.
  if (isBrokenPicture(entry)) {
    reportBrokenPicture(entry);
    return EIO;
  }
  handle = node;
  if (entryAt(entry).type != ENTRY_STORED) cache_.opened(entry);
  return 0;
}

void MountedArchive::release(std::uint64_t handle) {
  if (!tree_.contains(handle)) return;
  const std::int32_t file = tree_.entryOf(static_cast<std::uint32_t>(handle));
  if (file < 0) return;
  const auto entry = static_cast<std::size_t>(file);
  if (entryAt(entry).type == ENTRY_STORED) return;
  cache_.closed(entry);
}

int MountedArchive::read(std::uint64_t handle, std::uint64_t offset, std::span<std::uint8_t> buffer,
                         std::size_t& got) {
  got = 0;
  if (!tree_.contains(handle)) return EBADF;
  const std::int32_t file = tree_.entryOf(static_cast<std::uint32_t>(handle));
  if (file < 0) return EISDIR;
  if (!archiveUnchanged()) return EIO;
  const auto index = static_cast<std::size_t>(file);
  const ArchiveEntry& entry = entryAt(index);
  if (isBrokenPicture(index)) return EIO;
  const std::uint64_t size = entrySize(index);
  if (offset >= size) return 0;
  const auto wanted =
      static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - offset));
  const std::span<std::uint8_t> piece = buffer.first(wanted);

  if (entry.type == ENTRY_STORED) {
    if (Status status = reader_.readEntryBytes(entry, offset, piece); !status) {
      reportOnce(index, std::move(status));
      return EIO;
    }
    got = wanted;
    return 0;
  }
  if (const int error = cache_.read(index, size, offset, piece); error != 0) return error;
  got = wanted;
  return 0;
}

bool MountedArchive::archiveUnchanged() {
  if (replaced_.load()) return false;
  const platform::ReadableFile& archive = reader_.file();
  if (watchOpenArchiveOnly_ ? archive.unchangedSinceOpen() : archive.stillNamedBy(archivePath_))
    return true;
  if (!replaced_.exchange(true)) {
    report_(Status::refused(Status::Reason::ArchiveReplaced).inFile(givenPath_));
  }
  return false;
}

bool MountedArchive::decodeEntryInto(std::size_t index, ByteSink& sink) {
  const ArchiveEntry& entry = entryAt(index);
  EntryBytes stream(reader_, entry);
  if (Status status = decodeEntry(entry, stream, sink); !status) {
    // A decode stopped because the mount ends is nothing wrong with the entry.
    if (status.reason() == Status::Reason::Stopped) return false;
    // A failed read of the archive is said in the reader's words.
    reportOnce(index, stream.failure() ? std::move(status) : stream.failure());
    return false;
  }
  return true;
}

void MountedArchive::reportOnce(std::size_t entry, Status problem) {
  {
    const std::lock_guard lock(reportedMutex_);
    if (reported_[entry]) return;
    reported_[entry] = true;
  }
  report_(std::move(problem).inFile(givenPath_).atEntry(entryAt(entry).name));
}

}  // namespace kupack
