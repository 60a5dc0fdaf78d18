#include "archive/archive_update.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>

#include "archive/archive_format.h"
#include "archive/entry_path.h"
#include "archive/walk_order.h"

namespace kupack {
namespace {

// A file and a folder that the merged directory would record alike, where at least one of
// them is new (an old archive's own clashes are kept as they are).
void findFileFolderClashes(const std::vector<UpdateChange>& changes,
                           std::vector<Status>& problems) {
  std::unordered_map<std::string, const UpdateChange*> folders;  // folder name -> a file in it
  for (const UpdateChange& change : changes) {
    if (change.action == UpdateAction::Deleted) continue;
    const std::vector<std::string> levels = splitEntryName(change.name);
    std::string folder;
    for (std::size_t i = 0; i + 1 < levels.size(); ++i) {
      folder += (i > 0 ? "\\" : "") + levels[i];
      auto [it, added] = folders.emplace(folder, &change);
      if (!added && it->second->file == nullptr) it->second = &change;  // prefer a new one
    }
  }
  for (const UpdateChange& change : changes) {
    if (change.action == UpdateAction::Deleted) continue;
    const auto found = folders.find(change.name);
    if (found == folders.end()) continue;
    if (change.file == nullptr && found->second->file == nullptr) continue;
    problems.push_back(Status::refused(Status::Reason::PackEntryFolderClash)
                           .atEntry(change.name)
                           .withOtherPath(found->first));
  }
}

}  // namespace

std::size_t UpdatePlan::count(UpdateAction action) const {
  return static_cast<std::size_t>(
      std::count_if(changes.begin(), changes.end(),
                    [action](const UpdateChange& c) { return c.action == action; }));
}

bool UpdatePlan::changesNothing() const {
  return std::all_of(changes.begin(), changes.end(),
                     [](const UpdateChange& c) { return c.action == UpdateAction::Kept; });
}

UpdatePlan planUpdate(ArchiveReader& reader, const std::vector<CollectedFile>& files,
                      const std::vector<const ArchiveEntry*>& deleted,
                      std::vector<Status>& problems) {
  const std::vector<ArchiveEntry>& old = reader.entries();
  std::unordered_set<std::size_t> deletedIndexes;
  for (const ArchiveEntry* entry : deleted)
    deletedIndexes.insert(static_cast<std::size_t>(entry - old.data()));

  // Which file replaces which entry; the rest are added.
  std::unordered_map<std::string, std::size_t> byName;  // a recorded name -> its first entry
  for (std::size_t i = 0; i < old.size(); ++i) {
    if (!deletedIndexes.contains(i)) byName.emplace(old[i].name, i);
  }
  std::vector<const CollectedFile*> replacement(old.size(), nullptr);
  std::vector<const CollectedFile*> added;
  for (const CollectedFile& file : files) {
    const auto found = byName.find(normalizeName(file.name));
    if (found != byName.end()) {
      replacement[found->second] = &file;
    } else {
      added.push_back(&file);
    }
  }
  // An added file is placed by the name it has on disk, as a walk of the merged tree sees it.
  std::vector<std::pair<WalkKey, const CollectedFile*>> addedKeys;
  addedKeys.reserve(added.size());
  for (const CollectedFile* file : added) addedKeys.emplace_back(WalkKey(file->name), file);
  std::stable_sort(addedKeys.begin(), addedKeys.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });

  UpdatePlan plan;
  plan.kept.archive = &reader.openFile();
  plan.kept.archivePath = reader.nativePath();
  plan.files.reserve(files.size());
  // Pointers into plan.files are set once it is complete.
  std::vector<std::size_t> fileOfChange;
  const auto addFile = [&](UpdateAction action, const ArchiveEntry* entry,
                           const CollectedFile& file) {
    plan.slots.push_back({false, plan.files.size()});
    fileOfChange.push_back(plan.files.size());
    plan.files.push_back(file);
    plan.changes.push_back({action, normalizeName(file.name), entry, nullptr});
  };
  std::size_t next = 0;  // the next added file
  for (std::size_t i = 0; i < old.size(); ++i) {
    if (next < addedKeys.size()) {
      const WalkKey oldKey(old[i].name);
      for (; next < addedKeys.size() && addedKeys[next].first < oldKey; ++next)
        addFile(UpdateAction::Added, nullptr, *addedKeys[next].second);
    }
    if (deletedIndexes.contains(i)) {
      plan.changes.push_back({UpdateAction::Deleted, old[i].name, &old[i], nullptr});
      fileOfChange.push_back(SIZE_MAX);
    } else if (replacement[i] != nullptr) {
      addFile(UpdateAction::Replaced, &old[i], *replacement[i]);
    } else {
      plan.slots.push_back({true, plan.kept.entries.size()});
      plan.kept.entries.push_back({old[i].name, old[i].type,
                                   std::uint64_t{reader.directory().dataOffset} + old[i].offset,
                                   old[i].storedSize, old[i].sourceSize});
      plan.changes.push_back({UpdateAction::Kept, old[i].name, &old[i], nullptr});
      fileOfChange.push_back(SIZE_MAX);
    }
  }
  for (; next < addedKeys.size(); ++next)
    addFile(UpdateAction::Added, nullptr, *addedKeys[next].second);
  for (std::size_t i = 0; i < plan.changes.size(); ++i) {
    if (fileOfChange[i] != SIZE_MAX) plan.changes[i].file = &plan.files[fileOfChange[i]];
  }

  if (plan.slots.size() > MAX_ENTRY_COUNT) {
    problems.push_back(Status::refused(Status::Reason::PackTooManyFiles, {plan.slots.size()}));
  }
  findFileFolderClashes(plan.changes, problems);
  return plan;
}

}  // namespace kupack
