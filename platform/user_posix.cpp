// What POSIX systems offer for asking the user: no dialogs of their own (the program asks at
// the console); a folder the user names taken with its links resolved.
#if !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64  // 64-bit file sizes on 32-bit systems as well
#endif

#include <optional>
#include <string>
#include <utility>

#include "platform/folders.h"
#include "platform/internal_posix.h"
#include "platform/paths.h"
#include "platform/user.h"

namespace kupack::platform {

namespace {

FolderChoice folderAnswer(const std::string& answer, const std::string& startFolder) {
  FolderChoice choice;
  choice.path = absolutePath(answer, startFolder);
  if (!isFolder(choice.path)) {
    choice.result = FolderChoiceResult::NoFileSystemPath;
    return choice;
  }
  if (auto resolved = resolvedPath(choice.path)) choice.path = std::move(*resolved);
  choice.result = FolderChoiceResult::Chosen;
  return choice;
}

}  // namespace

FolderChoice folderFromArgument(const std::string& argument, const std::string& startFolder) {
  if (argument.empty()) return {FolderChoiceResult::NoFileSystemPath, {}};
  return folderAnswer(argument, startFolder);
}

// No dialogs of the system's own: the program asks at the console.
bool hasSystemDialogs() { return false; }

FolderChoice showFolderChooser(const char* /*titleCp932*/) { return {}; }

std::optional<std::string> showSaveDialog(const char* /*titleCp932*/,
                                          const char* /*filterNameCp932*/,
                                          const std::string& /*preset*/) {
  return std::nullopt;
}

void systemKeyWait() {}

bool startsInProgramFolder() { return false; }

// A terminal window stays open when the program ends.
void keepConsoleOpenAtExit() {}

}  // namespace kupack::platform
