#include "archive/entry_tree.h"

#include <algorithm>

#include "archive/entry_path.h"

namespace kupack {
namespace {

Status pathTaken() { return Status::refused(Status::Reason::PathTaken); }

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

// A slot's tag: the hash's top byte, never 0 (a free slot). Tags are a small array that
// stays in the processor's cache, so that most probes never touch the node numbers.
std::uint8_t childTag(std::uint64_t hash) { return static_cast<std::uint8_t>((hash >> 56) | 1); }

}  // namespace

void EntryTree::build(const std::vector<ArchiveEntry>& entries, const Reporter& report) {
  nodes_.assign(2, Node{});
  nodes_.reserve(entries.size() + entries.size() / 16 + 2);
  names_.clear();
  names_.reserve(entries.size() * 16);
  std::size_t slots = 64;
  while (slots < 4 * entries.size()) slots *= 2;
  childTags_.assign(slots, 0);
  childNodes_.assign(slots, 0);
  children_.clear();
  lastFolderPart_.clear();
  lastFolder_ = NO_NODE;

  for (std::size_t index = 0; index < entries.size(); ++index) {
    const std::string_view name = entries[index].name;
    Status refusal;
    if (entries[index].duplicate) {
      refusal = Status::refused(Status::Reason::DuplicateEntry);
    } else if (addEntry(name, index, refusal)) {
      continue;
    }
    report(Status::fault(Status::Code::LeftOut, refusal.reason(), {refusal.number(0)})
               .withOtherPath(refusal.otherPath())
               .atEntry(std::string(name)));
  }
  const auto lowered = [](const ArchiveEntry& entry) {
    return mayHaveLoweredSecondByte(entry.name);
  };
  const auto changed = std::count_if(entries.begin(), entries.end(), lowered);
  if (changed > 0) {
    const auto first = std::find_if(entries.begin(), entries.end(), lowered);
    report(Status::fault(Status::Code::Note, Status::Reason::NamesMayBeLowered,
                         {static_cast<std::uint64_t>(changed)})
               .atEntry(first->name));
  }
  listChildren();
}

// False, with the reason in `refusal`, when the entry is left out.
bool EntryTree::addEntry(std::string_view name, std::size_t index, Status& refusal) {
  const std::size_t split = lastSeparator(name);
  // Entries of one folder usually follow each other: their folder is found once.
  if (split == std::string_view::npos ||
      (lastFolder_ != NO_NODE && name.substr(0, split) == lastFolderPart_)) {
    const std::uint32_t folder = split == std::string_view::npos ? ROOT : lastFolder_;
    const std::string_view leaf = split == std::string_view::npos ? name : name.substr(split + 1);
    if (isPlainLevel(leaf)) return addLeaf(folder, leaf, index, refusal);
    Status leafRefusal;
    const auto levels = entryPathLevels(leaf, leafRefusal);
    if (levels && levels->size() == 1) return addLeaf(folder, levels->front(), index, refusal);
  }
  const auto levels = entryPathLevels(name, refusal);
  if (!levels) return false;
  if (insertEntry(name, index, *levels)) return true;
  refusal = pathTaken();
  return false;
}

bool EntryTree::addLeaf(std::uint32_t folder, std::string_view name, std::size_t index,
                        Status& refusal) {
  if (childOf(folder, name) != NO_NODE) {
    refusal = pathTaken();
    return false;
  }
  addNode(folder, name, static_cast<std::int32_t>(index));
  return true;
}

bool EntryTree::insertEntry(std::string_view name, std::size_t index,
                            const std::vector<std::string>& levels) {
  std::uint32_t folder = ROOT;
  for (std::size_t level = 0; level + 1 < levels.size(); ++level) {
    std::uint32_t next = childOf(folder, levels[level]);
    if (next == NO_NODE) {
      next = addNode(folder, levels[level], -1);
    } else if (nodes_[next].entry >= 0) {
      return false;  // a file already stands where this entry needs a folder
    }
    folder = next;
  }
  if (levels.size() > 1) {
    lastFolderPart_.assign(name.substr(0, lastSeparator(name)));
    lastFolder_ = folder;
  }
  if (childOf(folder, levels.back()) != NO_NODE) return false;
  addNode(folder, levels.back(), static_cast<std::int32_t>(index));
  return true;
}

std::string_view EntryTree::nameOf(std::uint32_t node) const {
  return std::string_view(names_).substr(nodes_[node].nameStart, nodes_[node].nameLength);
}

std::uint32_t EntryTree::childOf(std::uint32_t folder, std::string_view name) const {
  if (childTags_.empty()) return NO_NODE;  // not built
  const std::uint64_t hash = childHash(folder, name);
  const std::uint8_t tag = childTag(hash);
  const std::size_t mask = childTags_.size() - 1;
  for (std::size_t slot = static_cast<std::size_t>(hash) & mask; childTags_[slot] != 0;
       slot = (slot + 1) & mask) {
    if (childTags_[slot] != tag) continue;
    const std::uint32_t node = childNodes_[slot];
    if (nodes_[node].parent == folder && nameOf(node) == name) return node;
  }
  return NO_NODE;
}

std::span<const std::uint32_t> EntryTree::childrenOf(std::uint32_t folder) const {
  return std::span(children_).subspan(nodes_[folder].firstChild, nodes_[folder].childCount);
}

std::uint32_t EntryTree::addNode(std::uint32_t parent, std::string_view name,
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

void EntryTree::placeInTable(std::uint32_t node) {
  const std::uint64_t hash = childHash(nodes_[node].parent, nameOf(node));
  const std::size_t mask = childTags_.size() - 1;
  std::size_t slot = static_cast<std::size_t>(hash) & mask;
  while (childTags_[slot] != 0) slot = (slot + 1) & mask;
  childTags_[slot] = childTag(hash);
  childNodes_[slot] = node;
}

void EntryTree::growChildTable() {
  childTags_.assign(childTags_.size() * 2, 0);
  childNodes_.assign(childTags_.size(), 0);
  for (std::uint32_t node = ROOT + 1; node < nodes_.size(); ++node) placeInTable(node);
}

// Each folder's children in one array, in the order their entries stand in the archive.
void EntryTree::listChildren() {
  for (std::uint32_t node = ROOT + 1; node < nodes_.size(); ++node)
    ++nodes_[nodes_[node].parent].childCount;
  std::uint32_t next = 0;
  for (Node& node : nodes_) {
    node.firstChild = next;
    next += node.childCount;
    node.childCount = 0;
  }
  children_.resize(next);
  for (std::uint32_t node = ROOT + 1; node < nodes_.size(); ++node) {
    Node& parent = nodes_[nodes_[node].parent];
    children_[parent.firstChild + parent.childCount++] = node;
  }
}

}  // namespace kupack
