#include "archive/preflight.h"

#include <unordered_map>

#include "archive/archive_format.h"
#include "archive/archive_reader.h"
#include "archive/entry_path.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace kupack {
namespace {

using Reason = Status::Reason;

Status refusal(Reason reason, const std::string& path,
               std::initializer_list<std::uint64_t> numbers = {}) {
  return Status::refused(reason, numbers).inFile(path);
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
void findFileFolderClashes(const Collection& collection, std::vector<Status>& problems) {
  std::unordered_map<std::string, std::string> folders;  // normalized name -> native path
  for (const auto& file : collection.files) {
    for (auto& [name, nativePath] : enclosingFolders(file))
      folders.emplace(std::move(name), std::move(nativePath));
  }
  for (const auto& file : collection.files) {
    const auto found = folders.find(normalizeName(file.name));
    if (found == folders.end()) continue;
    problems.push_back(
        refusal(Reason::PackFileFolderClash, file.nativePath).withOtherPath(found->second));
  }
}

}  // namespace

std::vector<Status> preflightCheck(const Collection& collection, const std::string& rootFolder) {
  std::vector<Status> problems;
  for (const auto& folder : collection.unreadableFolders) {
    problems.push_back(
        refusal(Reason::PackFolderUnreadable, folder.path).withErrorNumber(folder.errorNumber));
  }
  for (const auto& link : collection.unfollowableLinks) {
    problems.push_back(
        refusal(Reason::PackLinkUnfollowable, link.path).withErrorNumber(link.errorNumber));
  }
  for (const auto& path : collection.namesWithBackslash) {
    problems.push_back(refusal(Reason::PackNameHasBackslash, path));
  }
  for (const auto& path : collection.namesWithoutCp932) {
    problems.push_back(refusal(Reason::PackNameNotShiftJis, path));
  }
  if (collection.files.size() > MAX_ENTRY_COUNT) {
    problems.push_back(Status::refused(Reason::PackTooManyFiles, {collection.files.size()}));
  }
  std::unordered_map<std::string, const CollectedFile*> recorded;
  recorded.reserve(collection.files.size());
  for (const auto& file : collection.files) {
    if (file.name.size() > MAX_NAME_LENGTH) {
      problems.push_back(refusal(Reason::PackNameTooLong, file.nativePath, {file.name.size()}));
    }
    if (hasLevelEndingInDotOrSpace(file.name)) {
      problems.push_back(refusal(Reason::PackNameEndsInDotOrSpace, file.nativePath));
    }
    if (holdsColon(file.name)) {
      problems.push_back(refusal(Reason::PackNameHasColon, file.nativePath));
    }
    // Looked up by name, not opened: the run opens each file once, when it codes it.
    const auto size = platform::regularFileLength(platform::joinPath(rootFolder, file.nativePath));
    if (size && *size > MAX_ENTRY_SIZE) {
      problems.push_back(Status::file(Status::Code::FileTooLarge, file.nativePath));
    }
    const auto [it, added] = recorded.emplace(normalizeName(file.name), &file);
    if (!added) {
      problems.push_back(refusal(Reason::PackNameCollision, it->second->nativePath)
                             .withOtherPath(file.nativePath));
    }
  }
  findFileFolderClashes(collection, problems);
  return problems;
}

std::vector<Status> windowsNameWarnings(const Collection& collection) {
  std::vector<Status> warnings;
  for (const auto& file : collection.files) {
    if (holdsColon(file.name)) continue;  // refused by preflightCheck
    for (const std::string& level : splitEntryName(file.name)) {
      if (!isWindowsReservedName(level)) continue;
      warnings.push_back(Status::fault(Status::Code::Note, Reason::PackNameWindowsReserved)
                             .inFile(file.nativePath));
      break;
    }
  }
  return warnings;
}

}  // namespace kupack
