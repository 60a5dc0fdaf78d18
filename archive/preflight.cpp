#include "archive/preflight.h"

#include <unordered_map>

#include "archive/archive_format.h"
#include "common/console.h"
#include "common/messages.h"
#include "platform/platform.h"

namespace kupack {
namespace {

std::string shown(const std::string& native) { return platform::nativeToConsoleText(native); }

}  // namespace

std::vector<std::string> preflightCheck(const Collection& collection,
                                        const std::string& rootFolder) {
  std::vector<std::string> problems;
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
    const auto size = platform::fileSize(platform::joinPath(rootFolder, file.nativePath));
    if (size && *size > MAX_ENTRY_SIZE) {
      problems.push_back(formatText(MSG_FILE_TOO_LARGE, shown(file.nativePath).c_str()));
    }
    const auto [it, added] = recorded.emplace(normalizeName(file.name), &file);
    if (!added) {
      problems.push_back(formatText(MSG_NAME_COLLISION, shown(it->second->nativePath).c_str(),
                                    shown(file.nativePath).c_str()));
    }
  }
  return problems;
}

}  // namespace kupack
