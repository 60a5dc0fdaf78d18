// An archive's entries as a tree of folders and files, each entry under the native path
// `-x` gives it. Built once from the directory; looking up a name in a folder costs one
// hash probe or a few, whatever the folder's size. Entries whose names `-x` refuses, and
// later entries whose path another entry already takes, are left out and reported.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive_reader.h"

namespace kupack {

class EntryTree {
 public:
  // Node numbers: 0 is no node, ROOT the top folder, every other node above it.
  static constexpr std::uint32_t NO_NODE = 0;
  static constexpr std::uint32_t ROOT = 1;

  // Receives console text (code page 932): each name left out, and the note on names
  // that lower-casing may have changed, once.
  using Reporter = std::function<void(const Status&)>;

  // Replaces the tree by the tree of `entries` (whose indices the nodes keep).
  void build(const std::vector<ArchiveEntry>& entries, const Reporter& report);

  bool contains(std::uint64_t node) const { return node >= ROOT && node < nodes_.size(); }
  // For nodes the tree contains: the entry's index, or -1 for a folder.
  std::int32_t entryOf(std::uint32_t node) const { return nodes_[node].entry; }
  bool isFolder(std::uint32_t node) const { return nodes_[node].entry < 0; }
  std::string_view nameOf(std::uint32_t node) const;
  // The child of `folder` whose native name is `name`; NO_NODE when there is none.
  std::uint32_t childOf(std::uint32_t folder, std::string_view name) const;
  // A folder's children, in the order their entries stand in the archive.
  std::span<const std::uint32_t> childrenOf(std::uint32_t folder) const;

 private:
  struct Node {
    std::uint32_t nameStart = 0;  // the native name of this level, in names_
    std::uint32_t nameLength = 0;
    std::uint32_t parent = 0;
    std::int32_t entry = -1;       // index into the archive's entries; -1 for a folder
    std::uint32_t firstChild = 0;  // a folder's children: children_[firstChild, + count)
    std::uint32_t childCount = 0;
  };

  bool addEntry(std::string_view name, std::size_t index, Status& refusal);
  bool insertEntry(std::string_view name, std::size_t index,
                   const std::vector<std::string>& levels);
  bool addLeaf(std::uint32_t folder, std::string_view name, std::size_t index,
               Status& refusal);
  std::uint32_t addNode(std::uint32_t parent, std::string_view name, std::int32_t entry);
  void placeInTable(std::uint32_t node);
  void growChildTable();
  void listChildren();

  std::vector<Node> nodes_;  // [0] unused, [1] the root
  std::string names_;        // every node's native name, one after the other
  // Open addressing over (parent, name): a tag per slot (0: free) and the node number.
  std::vector<std::uint8_t> childTags_;
  std::vector<std::uint32_t> childNodes_;
  std::vector<std::uint32_t> children_;  // each folder's children, folder after folder
  // The folder of the entry before, by the bytes of its recorded folder part.
  std::string lastFolderPart_;
  std::uint32_t lastFolder_ = NO_NODE;
};

}  // namespace kupack
