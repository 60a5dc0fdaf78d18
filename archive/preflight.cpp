#include "archive/preflight.h"

#include <cstring>
#include <unordered_map>

#include "archive/archive_format.h"
#include "archive/archive_reader.h"
#include "archive/entry_path.h"
#include "common/console.h"
#include "common/messages.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace kupack {
namespace {

// A native path as console text, control characters shown as '?'.
std::string shown(const std::string& native) {
  return withoutControlBytes(platform::nativeToConsoleText(native));
}

// True when a level of the code page 932 name `name` ends in a dot or a space: Windows
// drops those from a name, so extraction could never give the name back. (A trail byte is
// never 0x2E or 0x20, so the last byte of a level is enough.)
bool hasLevelEndingInDotOrSpace(const std::string& name) {
  for (const std::string& level : splitEntryName(name)) {
    if (!level.empty() && (level.back() == '.' || level.back() == ' ')) return true;
  }
  return false;
}

// True when the code page 932 name `name` holds a ':', which extraction takes for a drive
// letter or a stream name and refuses everywhere. (0x3A is never a second byte.)
bool holdsColon(const std::string& name) { return name.find(':') != std::string::npos; }

// The folders a collected file lies in, each as its normalized archive name and its native
// path ("a\\b\\c" gives "a" and "a\\b"). Name levels and native levels correspond one to one.
std::vector<std::pair<std::string, std::string>> enclosingFolders(const CollectedFile& file) {
  std::vector<std::pair<std::string, std::string>> folders;
  const std::vector<std::string> levels = splitEntryName(normalizeName(file.name));
  std::string name;
  std::size_t nativeEnd = 0;
  for (std::size_t i = 0; i + 1 < levels.size(); ++i) {
    name += (i > 0 ? "\\" : "") + levels[i];
    nativeEnd = file.nativePath.find(platform::nativeSeparator(), i > 0 ? nativeEnd + 1 : 0);
    if (nativeEnd == std::string::npos) break;
    folders.emplace_back(name, file.nativePath.substr(0, nativeEnd));
  }
  return folders;
}

// A file and a folder that the archive would record under the same name: extraction could
// make only one of them.
void findFileFolderClashes(const Collection& collection, std::vector<std::string>& problems) {
  std::unordered_map<std::string, std::string> folders;  // normalized name -> native path
  for (const auto& file : collection.files) {
    for (auto& [name, nativePath] : enclosingFolders(file))
      folders.emplace(std::move(name), std::move(nativePath));
  }
  for (const auto& file : collection.files) {
    const auto found = folders.find(normalizeName(file.name));
    if (found == folders.end()) continue;
    problems.push_back(formatText(MSG_FILE_FOLDER_CLASH, shown(file.nativePath).c_str(),
                                  shown(found->second).c_str()));
  }
}

}  // namespace

std::vector<std::string> preflightCheck(const Collection& collection,
                                        const std::string& rootFolder) {
  std::vector<std::string> problems;
  for (const auto& folder : collection.unreadableFolders) {
    problems.push_back(formatText(MSG_FOLDER_UNREADABLE, shown(folder.path).c_str(),
                                  shown(std::strerror(folder.errorNumber)).c_str()));
  }
  for (const auto& link : collection.unfollowableLinks) {
    problems.push_back(formatText(MSG_LINK_UNFOLLOWABLE, shown(link.path).c_str(),
                                  shown(std::strerror(link.errorNumber)).c_str()));
  }
  for (const auto& path : collection.namesWithBackslash) {
    problems.push_back(formatText(MSG_NAME_HAS_BACKSLASH, shown(path).c_str()));
  }
  for (const auto& path : collection.namesWithoutCp932) {
    problems.push_back(formatText(MSG_NAME_NOT_CP932, shown(path).c_str()));
  }
  if (collection.files.size() > MAX_ENTRY_COUNT) {
    problems.push_back(
        formatText(MSG_TOO_MANY_FILES, static_cast<unsigned long>(collection.files.size())));
  }
  std::unordered_map<std::string, const CollectedFile*> recorded;
  recorded.reserve(collection.files.size());
  for (const auto& file : collection.files) {
    if (file.name.size() > MAX_NAME_LENGTH) {
      problems.push_back(formatText(MSG_NAME_TOO_LONG, shown(file.nativePath).c_str(),
                                    static_cast<unsigned long>(file.name.size())));
    }
    if (hasLevelEndingInDotOrSpace(file.name)) {
      problems.push_back(formatText(MSG_NAME_ENDS_IN_DOT_OR_SPACE, shown(file.nativePath).c_str()));
    }
    if (holdsColon(file.name)) {
      problems.push_back(formatText(MSG_NAME_HAS_COLON, shown(file.nativePath).c_str()));
    }
    // Looked up by name, not opened: the run opens each file once, when it codes it.
    const auto size = platform::regularFileLength(platform::joinPath(rootFolder, file.nativePath));
    if (size && *size > MAX_ENTRY_SIZE) {
      problems.push_back(formatText(MSG_FILE_TOO_LARGE, shown(file.nativePath).c_str()));
    }
    const auto [it, added] = recorded.emplace(normalizeName(file.name), &file);
    if (!added) {
      problems.push_back(formatText(MSG_NAME_COLLISION, shown(it->second->nativePath).c_str(),
                                    shown(file.nativePath).c_str()));
    }
  }
  findFileFolderClashes(collection, problems);
  return problems;
}

std::vector<std::string> windowsNameWarnings(const Collection& collection) {
  std::vector<std::string> warnings;
  for (const auto& file : collection.files) {
    if (holdsColon(file.name)) continue;  // refused by preflightCheck
    for (const std::string& level : splitEntryName(file.name)) {
      if (!isWindowsReservedName(level)) continue;
      warnings.push_back(formatText(MSG_NAME_WINDOWS_RESERVED, shown(file.nativePath).c_str()));
      break;
    }
  }
  return warnings;
}

}  // namespace kupack
