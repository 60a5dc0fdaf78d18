#include "archive/mounted_archive.h"

#include <algorithm>
#include <cerrno>
#include <optional>

#include "archive/archive_format.h"
#include "archive/entry_decoding.h"
#include "archive/entry_path.h"
#include "codec/bmp_writer.h"
#include "common/byte_order.h"

namespace kupack {
namespace {

std::uint64_t entryStart(const ArchiveDirectory& directory, const ArchiveEntry& entry) {
  return std::uint64_t{directory.dataOffset} + entry.offset;
}

Status entryReadFailure(int error) {
  return Status::fault(Status::Code::CannotRead, Status::Reason::EntryUnreadable)
      .withErrorNumber(error);
}

// An entry's stored bytes, read from the held archive.
class HeldEntrySource final : public PositionedSource {
 public:
  HeldEntrySource(const platform::HeldFile& archive, std::uint64_t start, std::uint64_t size)
      : archive_(archive), start_(start), size_(size) {}
  std::uint64_t size() const override { return size_; }
  bool read(std::uint64_t position, std::span<std::uint8_t> buffer) override {
    return archive_.readAt(start_ + position, buffer);
  }

 private:
  const platform::HeldFile& archive_;
  std::uint64_t start_;
  std::uint64_t size_;
};

}  // namespace

// An SPB entry's size when its header gives no BMP file (a stream shorter than the
// header, or a picture too large for a BMP file): it shows as empty and cannot be opened.
constexpr std::uint64_t BROKEN_PICTURE = ~std::uint64_t{0};

MountedArchive::MountedArchive(std::uint64_t cacheBudget, Reporter report)
    : report_(std::move(report)),
      cache_(
          cacheBudget,
          [this](std::size_t entry, ByteSink& sink) { return decodeEntryInto(entry, sink); },
          [this](std::size_t entry, const Status& problem) { reportOnce(entry, problem); }) {}

MountedArchive::~MountedArchive() = default;

// The header says how long the directory is; only that much is read (as the archive
// reader does), then checked as `-l` checks it.
Status MountedArchive::readDirectory() {
  const std::uint64_t archiveSize = archive_.size();
  std::vector<std::uint8_t> head(
      static_cast<std::size_t>(std::min<std::uint64_t>(archiveSize, ARCHIVE_HEADER_SIZE)));
  if (!archive_.readAt(0, head)) return readFailure();
  if (head.size() == ARCHIVE_HEADER_SIZE) {
    const std::uint64_t count = loadBE16(head.data());
    const std::uint64_t dataOffset = loadBE32(head.data() + 2);
    const std::uint64_t largest =
        ARCHIVE_HEADER_SIZE + count * (DIRECTORY_RECORD_OVERHEAD + MAX_NAME_LENGTH);
    if (dataOffset > ARCHIVE_HEADER_SIZE && dataOffset <= archiveSize && dataOffset <= largest) {
      head.resize(static_cast<std::size_t>(dataOffset));
      if (!archive_.readAt(0, head)) return readFailure();
    }
  }
  return parseArchiveDirectory(head, archiveSize, givenPath_, directory_);
}

Status MountedArchive::readFailure() const {
  return Status::fault(Status::Code::CannotRead, Status::Reason::ArchiveReadFailed)
      .inFile(givenPath_)
      .withErrorNumber(errno != 0 ? errno : EIO);
}

Status MountedArchive::open(const std::string& archivePath) {
  archivePath_ =
      platform::absolutePath(archivePath, platform::currentDirectory().value_or(std::string(".")));
  givenPath_ = archivePath;
  if (platform::isFolder(archivePath_)) {
    return Status::refused(Status::Reason::ArchiveIsFolder).inFile(archivePath);
  }
  if (!archive_.openForReading(archivePath_)) {
    return Status::fault(Status::Code::CannotOpen, Status::Reason::ArchiveUnopenable)
        .inFile(archivePath)
        .withErrorNumber(errno);
  }
  if (Status status = readDirectory(); !status) return status;
  modificationTime_ = archive_.modifiedUnixSeconds();

  buildTree();
  return Status::ok();
}

namespace {

// Where the last '\\' of a recorded name stands (a character of its own, not the second
// byte of a two-byte character), or npos.
std::size_t lastSeparator(std::string_view name) {
  std::size_t found = std::string_view::npos;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (isCp932LeadByte(static_cast<unsigned char>(name[i]))) {
      ++i;
    } else if (name[i] == '\\') {
      found = i;
    }
  }
  return found;
}

// A level of printable ASCII that entryPathLevels takes as it stands (not empty, no ':',
// not only dots and spaces); anything else goes through entryPathLevels itself.
bool isPlainLevel(std::string_view level) {
  bool onlyDotsAndSpaces = true;
  for (const char c : level) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F || c == ':' || c == '/' || c == '\\') return false;
    if (c != '.' && c != ' ') onlyDotsAndSpaces = false;
  }
  return !level.empty() && !onlyDotsAndSpaces;
}

std::uint64_t childHash(std::uint32_t parent, std::string_view name) {
  std::uint64_t hash = 0xcbf29ce484222325ULL ^ (std::uint64_t{parent} * 0x9E3779B97F4A7C15ULL);
  for (const char c : name) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  }
  // Every bit of the name reaches the low bits that pick the slot.
  hash = (hash ^ (hash >> 33)) * 0xff51afd7ed558ccdULL;
  hash = (hash ^ (hash >> 33)) * 0xc4ceb9fe1a85ec53ULL;
  return hash ^ (hash >> 33);
}

}  // namespace

void MountedArchive::buildTree() {
  const auto& entries = directory_.entries;
  nodes_.assign(2, Node{});
  nodes_.reserve(entries.size() + entries.size() / 16 + 2);
  names_.clear();
  names_.reserve(entries.size() * 16);
  std::size_t slots = 64;
  while (slots < 4 * entries.size()) slots *= 2;
  childTags_.assign(slots, 0);
  childNodes_.assign(slots, 0);
  pictureSizes_ = std::make_unique<std::atomic<std::uint64_t>[]>(entries.size());
  reported_.assign(entries.size(), false);
  lastFolderPart_.clear();
  lastFolder_ = 0;

  for (std::size_t index = 0; index < entries.size(); ++index) {
    const std::string_view name = entries[index].name;
    if (entries[index].duplicate) {
      reportLeftOut(name, Status::Reason::DuplicateEntry);
      continue;
    }
    const std::size_t split = lastSeparator(name);
    // Entries of one folder usually follow each other: their folder is found once.
    if (split == std::string_view::npos ||
        (lastFolder_ != 0 && name.substr(0, split) == lastFolderPart_)) {
      const std::uint32_t folder = split == std::string_view::npos
                                       ? static_cast<std::uint32_t>(platform::ROOT_NODE)
                                       : lastFolder_;
      const std::string_view leaf = split == std::string_view::npos ? name : name.substr(split + 1);
      if (isPlainLevel(leaf)) {
        if (childOf(folder, leaf) != 0) {
          reportLeftOut(name, Status::Reason::PathTaken);
        } else {
          addNode(folder, leaf, static_cast<std::int32_t>(index));
        }
        continue;
      }
      Status refusal;
      const auto levels = entryPathLevels(leaf, refusal);
      if (levels && levels->size() == 1) {
        if (childOf(folder, levels->front()) != 0) {
          reportLeftOut(name, Status::Reason::PathTaken);
        } else {
          addNode(folder, levels->front(), static_cast<std::int32_t>(index));
        }
        continue;
      }
    }
    Status refusal;
    const auto levels = entryPathLevels(name, refusal);
    if (!levels) {
      report_(Status::fault(Status::Code::LeftOut, refusal.reason(), {refusal.number(0)})
                  .withOtherPath(refusal.otherPath())
                  .inFile(givenPath_)
                  .atEntry(std::string(name)));
    } else if (!insertEntry(index, *levels)) {
      reportLeftOut(name, Status::Reason::PathTaken);
    }
  }
  const auto changed = std::count_if(entries.begin(), entries.end(), [](const auto& entry) {
    return mayHaveLoweredSecondByte(entry.name);
  });
  if (changed > 0) {
    const auto first = std::find_if(entries.begin(), entries.end(), [](const auto& entry) {
      return mayHaveLoweredSecondByte(entry.name);
    });
    report_(Status::fault(Status::Code::Note, Status::Reason::NamesMayBeLowered,
                          {static_cast<std::uint64_t>(changed)})
                .atEntry(first->name));
  }
  listChildren();
}

bool MountedArchive::insertEntry(std::size_t index, const std::vector<std::string>& levels) {
  std::uint32_t folder = static_cast<std::uint32_t>(platform::ROOT_NODE);
  for (std::size_t level = 0; level + 1 < levels.size(); ++level) {
    std::uint32_t next = childOf(folder, levels[level]);
    if (next == 0) {
      next = addNode(folder, levels[level], -1);
    } else if (nodes_[next].entry >= 0) {
      return false;  // a file already stands where this entry needs a folder
    }
    folder = next;
  }
  if (levels.size() > 1) {
    const std::string_view name = directory_.entries[index].name;
    lastFolderPart_.assign(name.substr(0, lastSeparator(name)));
    lastFolder_ = folder;
  }
  if (childOf(folder, levels.back()) != 0) return false;
  addNode(folder, levels.back(), static_cast<std::int32_t>(index));
  return true;
}

std::string_view MountedArchive::nameOf(const Node& node) const {
  return std::string_view(names_).substr(node.nameStart, node.nameLength);
}

namespace {

// A slot's tag: the hash's top byte, never 0 (a free slot). Tags are a small array that
// stays in the processor's cache, so that most probes never touch the node numbers.
std::uint8_t childTag(std::uint64_t hash) { return static_cast<std::uint8_t>((hash >> 56) | 1); }

}  // namespace

std::uint32_t MountedArchive::childOf(std::uint32_t parent, std::string_view name) const {
  const std::uint64_t hash = childHash(parent, name);
  const std::uint8_t tag = childTag(hash);
  const std::size_t mask = childTags_.size() - 1;
  for (std::size_t slot = static_cast<std::size_t>(hash) & mask; childTags_[slot] != 0;
       slot = (slot + 1) & mask) {
    if (childTags_[slot] != tag) continue;
    const std::uint32_t node = childNodes_[slot];
    if (nodes_[node].parent == parent && nameOf(nodes_[node]) == name) return node;
  }
  return 0;
}

std::uint32_t MountedArchive::addNode(std::uint32_t parent, std::string_view name,
                                      std::int32_t entry) {
  const auto node = static_cast<std::uint32_t>(nodes_.size());
  Node added;
  added.nameStart = static_cast<std::uint32_t>(names_.size());
  added.nameLength = static_cast<std::uint32_t>(name.size());
  added.parent = parent;
  added.entry = entry;
  names_.append(name);
  nodes_.push_back(added);
  if (2 * nodes_.size() > childTags_.size()) growChildTable();
  placeInTable(node);
  return node;
}

void MountedArchive::placeInTable(std::uint32_t node) {
  const std::uint64_t hash = childHash(nodes_[node].parent, nameOf(nodes_[node]));
  const std::size_t mask = childTags_.size() - 1;
  std::size_t slot = static_cast<std::size_t>(hash) & mask;
  while (childTags_[slot] != 0) slot = (slot + 1) & mask;
  childTags_[slot] = childTag(hash);
  childNodes_[slot] = node;
}

void MountedArchive::growChildTable() {
  childTags_.assign(childTags_.size() * 2, 0);
  childNodes_.assign(childTags_.size(), 0);
  for (std::uint32_t node = 2; node < nodes_.size(); ++node) placeInTable(node);
}

// Each folder's children in one array, in the order their entries stand in the archive.
void MountedArchive::listChildren() {
  for (std::uint32_t node = 2; node < nodes_.size(); ++node)
    ++nodes_[nodes_[node].parent].childCount;
  std::uint32_t next = 0;
  for (Node& node : nodes_) {
    node.firstChild = next;
    next += node.childCount;
    node.childCount = 0;
  }
  children_.resize(next);
  for (std::uint32_t node = 2; node < nodes_.size(); ++node) {
    Node& parent = nodes_[nodes_[node].parent];
    children_[parent.firstChild + parent.childCount++] = node;
  }
}

const MountedArchive::Node* MountedArchive::nodeAt(std::uint64_t node) const {
  if (node < platform::ROOT_NODE || node >= nodes_.size()) return nullptr;
  return &nodes_[static_cast<std::size_t>(node)];
}

std::uint64_t MountedArchive::entrySize(std::size_t index) const {
  const ArchiveEntry& entry = directory_.entries[index];
  if (entry.type != ENTRY_SPB) return entry.sourceSize;
  // Kept as size + 1, so that 0 means "not learned yet".
  const std::uint64_t known = pictureSizes_[index].load(std::memory_order_relaxed);
  if (known == BROKEN_PICTURE) return 0;
  if (known != 0) return known - 1;
  std::uint8_t header[4] = {};
  std::optional<std::uint32_t> size;
  if (entry.storedSize >= sizeof header) {
    if (!archive_.readAt(entryStart(directory_, entry), header)) return 0;
    const auto dimensions = spbDimensions(header);
    size = bmp24FileSize(dimensions->width, dimensions->height);
  }
  pictureSizes_[index].store(size ? *size + 1 : BROKEN_PICTURE, std::memory_order_relaxed);
  return size.value_or(0);
}

bool MountedArchive::isBrokenPicture(std::size_t index) const {
  if (directory_.entries[index].type != ENTRY_SPB) return false;
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

platform::NodeAttributes MountedArchive::attributesOf(std::uint32_t node) const {
  platform::NodeAttributes attributes;
  attributes.node = node;
  attributes.isFolder = nodes_[node].entry < 0;
  if (!attributes.isFolder)
    attributes.size = entrySize(static_cast<std::size_t>(nodes_[node].entry));
  return attributes;
}

int MountedArchive::lookup(std::uint64_t parent, std::string_view name,
                           platform::NodeAttributes& child) {
  const Node* folder = nodeAt(parent);
  if (folder == nullptr) return ENOENT;
  if (folder->entry >= 0) return ENOTDIR;
  const std::uint32_t found = childOf(static_cast<std::uint32_t>(parent), name);
  if (found == 0) return ENOENT;
  child = attributesOf(found);
  return 0;
}

int MountedArchive::getattr(std::uint64_t node, platform::NodeAttributes& attributes) {
  if (nodeAt(node) == nullptr) return ENOENT;
  attributes = attributesOf(static_cast<std::uint32_t>(node));
  return 0;
}

int MountedArchive::readdir(std::uint64_t folder, std::uint64_t start, const ChildSink& add) {
  const Node* listed = nodeAt(folder);
  if (listed == nullptr) return ENOENT;
  if (listed->entry >= 0) return ENOTDIR;
  for (std::uint64_t position = start; position < listed->childCount; ++position) {
    const std::uint32_t child = children_[listed->firstChild + static_cast<std::size_t>(position)];
    if (!add(nameOf(nodes_[child]), attributesOf(child), position + 1)) break;
  }
  return 0;
}

int MountedArchive::open(std::uint64_t node, std::uint64_t& handle) {
  const Node* file = nodeAt(node);
  if (file == nullptr) return ENOENT;
  if (file->entry < 0) return EISDIR;
  if (!archiveUnchanged()) return EIO;
  const auto entry = static_cast<std::size_t>(file->entry);
  // Shown as empty (its size cannot be told), but never read as an empty file.
  if (isBrokenPicture(entry)) {
    reportBrokenPicture(entry);
    return EIO;
  }
  handle = node;
  if (directory_.entries[entry].type != ENTRY_STORED) cache_.opened(entry);
  return 0;
}

void MountedArchive::release(std::uint64_t handle) {
  const Node* file = nodeAt(handle);
  if (file == nullptr || file->entry < 0) return;
  const auto entry = static_cast<std::size_t>(file->entry);
  if (directory_.entries[entry].type == ENTRY_STORED) return;
  cache_.closed(entry);
}

int MountedArchive::read(std::uint64_t handle, std::uint64_t offset, std::span<std::uint8_t> buffer,
                         std::size_t& got) {
  got = 0;
  const Node* file = nodeAt(handle);
  if (file == nullptr) return EBADF;
  if (file->entry < 0) return EISDIR;
  if (!archiveUnchanged()) return EIO;
  const auto index = static_cast<std::size_t>(file->entry);
  const ArchiveEntry& entry = directory_.entries[index];
  if (isBrokenPicture(index)) return EIO;
  const std::uint64_t size = entrySize(index);
  if (offset >= size) return 0;
  const auto wanted =
      static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - offset));
  const std::span<std::uint8_t> piece = buffer.first(wanted);

  if (entry.type == ENTRY_STORED) {
    if (!archive_.readAt(entryStart(directory_, entry) + offset, piece)) {
      reportOnce(index, entryReadFailure(errno));
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
  if (watchOpenArchiveOnly_ ? archive_.unchangedWhileHeld() : archive_.stillNamedBy(archivePath_))
    return true;
  if (!replaced_.exchange(true)) {
    report_(Status::refused(Status::Reason::ArchiveReplaced).inFile(givenPath_));
  }
  return false;
}

bool MountedArchive::decodeEntryInto(std::size_t index, ByteSink& sink) {
  const ArchiveEntry& entry = directory_.entries[index];
  HeldEntrySource stream(archive_, entryStart(directory_, entry), entry.storedSize);
  if (Status status = decodeEntry(entry, stream, sink); !status) {
    reportOnce(index, std::move(status));
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
  report_(std::move(problem).inFile(givenPath_).atEntry(directory_.entries[entry].name));
}

void MountedArchive::reportLeftOut(std::string_view name, Status::Reason why) {
  report_(Status::fault(Status::Code::LeftOut, why).inFile(givenPath_).atEntry(std::string(name)));
}

}  // namespace kupack
