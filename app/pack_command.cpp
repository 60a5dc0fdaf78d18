#include "app/pack_command.h"

#include <cerrno>
#include <cstring>

#include "app/pack_console.h"
#include "archive/archive_writer.h"
#include "archive/collector.h"
#include "archive/preflight.h"
#include "common/console.h"
#include "common/messages.h"
#include "platform/platform.h"

namespace kupack {
namespace {

constexpr char DEFAULT_ARCHIVE_NAME[] = "arc.kup";

std::string shown(const std::string& native) { return platform::nativeToConsoleText(native); }

platform::FolderChoice chooseFolder(const ArchiveRunRequest& request,
                                    const std::string& startFolder) {
  if (request.folderArgument)
    return platform::folderFromArgument(*request.folderArgument, startFolder);
  return platform::chooseFolder(MSG_CHOOSER_TITLE, startFolder);
}

// The archive name as the save dialog leaves it: a full path after OK, the preset relative
// name after a cancel (which the writer then resolves in the chosen folder).
std::string chooseArchiveName(const ArchiveRunRequest& request, const std::string& startFolder) {
  if (request.folderArgument) {
    if (request.archiveArgument)
      return platform::absolutePath(*request.archiveArgument, startFolder);
    return DEFAULT_ARCHIVE_NAME;
  }
  return platform::chooseSaveName(MSG_SAVE_TITLE, MSG_SAVE_FILTER_NAME, DEFAULT_ARCHIVE_NAME,
                                  startFolder)
      .value_or(DEFAULT_ARCHIVE_NAME);
}

// Closing text, then the key wait of an interactive run; returns `exitCode`.
int finish(const ArchiveRunRequest& request, int exitCode) {
  consoleWrite(MSG_FINISHED);
  if (!request.folderArgument) platform::waitForKey();
  return exitCode;
}

}  // namespace

int runArchiveJob(const ArchiveRunRequest& request) {
  const auto startFolder = platform::currentDirectory();
  if (!startFolder) {
    consolePrint(MSG_FOLDER_UNREADABLE, ".", shown(std::strerror(errno)).c_str());
    return 1;
  }

  const platform::FolderChoice choice = chooseFolder(request, *startFolder);
  if (choice.result == platform::FolderChoiceResult::Cancelled) return 0;
  if (choice.result == platform::FolderChoiceResult::NoFileSystemPath) {
    consoleWrite(MSG_NO_FILE_SYSTEM_PATH);
    return 1;
  }
  consolePrint(MSG_FOLDER_CHOSEN, shown(choice.path).c_str());

  const std::string archiveName = chooseArchiveName(request, *startFolder);
  if (!platform::changeDirectory(choice.path)) {
    consolePrint(MSG_FOLDER_UNREADABLE, shown(choice.path).c_str(),
                 shown(std::strerror(errno)).c_str());
    return 1;
  }
  if (choice.path == *startFolder) {
    consoleWrite(MSG_START_FOLDER_REFUSED);
    return 1;
  }

  const std::string& rootFolder = choice.path;
  ArchiveJob job{platform::absolutePath(archiveName, rootFolder), rootFolder, request.jobs};
  CollectRequest collect{
      rootFolder, request.programName, {job.archivePath, partialArchivePath(job.archivePath)}};
  ConsolePackListener console;
  Collection collection;
  if (!collectFiles(collect, collection, console)) {
    consolePrint(MSG_FOLDER_UNREADABLE, shown(rootFolder).c_str(),
                 shown(std::strerror(errno)).c_str());
    return finish(request, 1);
  }

  const std::vector<std::string> problems = preflightCheck(collection, rootFolder);
  if (!problems.empty()) {
    for (const auto& problem : problems) consoleWrite(problem);
    consoleWrite(MSG_ARCHIVE_FAILED);
    return finish(request, 1);
  }

  consoleWrite(MSG_BUILDING);
  const Status built = buildArchive(job, collection.files, console);
  if (built.kind() == Status::Kind::OutputError) {
    consoleWrite(statusMessage(built));
    return 1;
  }
  if (!built) {
    consoleWrite(statusMessage(built));
    consoleWrite(MSG_ARCHIVE_FAILED);
    return finish(request, 1);
  }
  return finish(request, 0);
}

}  // namespace kupack
