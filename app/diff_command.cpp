#include "app/diff_command.h"

#include <map>
#include <nlohmann/json.hpp>
#include <vector>

#include "app/catalogue.h"
#include "app/read_commands.h"
#include "app/status_text.h"
#include "archive/archive_format.h"
#include "archive/archive_reader.h"
#include "archive/entry_comparison.h"
#include "common/console.h"
#include "platform/platform.h"

namespace kupack {
namespace {

struct Recoded {
  const ArchiveEntry* before;
  const ArchiveEntry* after;
};

struct Differences {
  std::vector<const ArchiveEntry*> added;
  std::vector<const ArchiveEntry*> removed;
  std::vector<const ArchiveEntry*> changed;
  std::vector<Recoded> recoded;
  bool empty() const {
    return added.empty() && removed.empty() && changed.empty() && recoded.empty();
  }
};

// Each name's first entry, by its normalized name.
std::map<std::string, const ArchiveEntry*> entriesByName(const ArchiveReader& reader) {
  std::map<std::string, const ArchiveEntry*> byName;
  for (const auto& entry : reader.entries()) byName.emplace(normalizeName(entry.name), &entry);
  return byName;
}

// Walks both archives; false after reporting an entry that cannot be compared.
bool findDifferences(ArchiveReader& before, ArchiveReader& after, Differences& found) {
  const auto afterByName = entriesByName(after);
  const auto beforeByName = entriesByName(before);
  for (const auto& entry : before.entries()) {
    const std::string name = normalizeName(entry.name);
    if (beforeByName.at(name) != &entry) continue;  // a name recorded again
    const auto match = afterByName.find(name);
    if (match == afterByName.end()) {
      found.removed.push_back(&entry);
      continue;
    }
    bool same = false;
    if (Status status = compareEntryContents(before, entry, after, *match->second, same); !status) {
      consoleError(statusText(status));
      return false;
    }
    if (!same) {
      found.changed.push_back(match->second);
    } else if (entry.type != match->second->type) {
      found.recoded.push_back({&entry, match->second});
    }
  }
  for (const auto& entry : after.entries()) {
    const std::string name = normalizeName(entry.name);
    if (afterByName.at(name) == &entry && beforeByName.count(name) == 0)
      found.added.push_back(&entry);
  }
  return true;
}

std::string asJson(const Differences& found) {
  auto names = [](const std::vector<const ArchiveEntry*>& entries) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const ArchiveEntry* entry : entries)
      list.push_back(platform::cp932ToUtf8Text(entry->name));
    return list;
  };
  nlohmann::ordered_json recoded = nlohmann::ordered_json::array();
  for (const auto& [before, after] : found.recoded) {
    recoded.push_back({{"name", platform::cp932ToUtf8Text(after->name)},
                       {"old_type", jsonTypeName(before->type)},
                       {"new_type", jsonTypeName(after->type)}});
  }
  const nlohmann::ordered_json object = {{"added", names(found.added)},
                                         {"removed", names(found.removed)},
                                         {"changed", names(found.changed)},
                                         {"recoded", recoded}};
  return object.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

void printText(const Differences& found) {
  for (const ArchiveEntry* entry : found.removed)
    consolePrint(tr("removed  %s\n"), entryNameForConsole(entry->name).c_str());
  for (const ArchiveEntry* entry : found.added)
    consolePrint(tr("added    %s\n"), entryNameForConsole(entry->name).c_str());
  for (const ArchiveEntry* entry : found.changed)
    consolePrint(tr("changed  %s\n"), entryNameForConsole(entry->name).c_str());
  for (const auto& [before, after] : found.recoded) {
    consolePrint(tr("recoded  %s (%s -> %s, the same bytes)\n"),
                 entryNameForConsole(after->name).c_str(), jsonTypeName(before->type),
                 jsonTypeName(after->type));
  }
}

}  // namespace

int diffArchivesCommand(const std::string& oldArchive, const std::string& newArchive, bool json) {
  ArchiveReader before;
  ArchiveReader after;
  for (auto [reader, path] : {std::pair{&before, &oldArchive}, std::pair{&after, &newArchive}}) {
    if (Status status = reader->open(*path); !status) {
      consoleError(statusText(status));
      return 2;
    }
  }
  Differences found;
  if (!findDifferences(before, after, found)) return 2;
  if (json) {
    consoleOutputBytes(asJson(found));
  } else {
    printText(found);
  }
  return found.empty() ? 0 : 1;
}

}  // namespace kupack
