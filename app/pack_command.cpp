#include "app/pack_command.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "app/pack_console.h"
#include "app/status_text.h"
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

// FOLDER.kup in the folder's parent ("mod" -> "mod.kup" beside it); a file system's root,
// which has no name, keeps arc.kup inside.
std::string archiveBesideFolder(const std::string& folder) {
  const char* separators = platform::nativeSeparator() == '/' ? "/" : "\\/";
  const std::size_t cut = folder.find_last_of(separators);
  const std::string name = cut == std::string::npos ? folder : folder.substr(cut + 1);
  if (name.empty() || name.back() == ':') return platform::joinPath(folder, DEFAULT_ARCHIVE_NAME);
  return platform::joinPath(platform::absolutePath("..", folder), name + ".kup");
}

// The archive name as the save dialog leaves it: a full path after OK, the preset relative
// name after a cancel (which the writer then resolves in the chosen folder).
std::string chooseArchiveName(const ArchiveRunRequest& request, const std::string& startFolder) {
  if (request.folderArgument) {
    if (request.archiveArgument)
      return platform::absolutePath(*request.archiveArgument, startFolder);
    // Beside the folder as named, not where a link to it leads.
    return archiveBesideFolder(platform::absolutePath(*request.folderArgument, startFolder));
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

// The collector's test for what --exclude leaves out; none without rules.
std::function<bool(std::string_view)> leaveOutRule(const ExcludeRules& rules) {
  if (rules.empty()) return nullptr;
  return [&rules](std::string_view name) { return rules.excludes(name); };
}

// Why `path`, given as the folder to pack, is none: the system's reason for a name that does
// not open, "Not a directory" for one that names a file.
Status folderNotPackable(const std::string& path) {
  int error = ENOENT;
  if (!path.empty()) {
    errno = 0;
    const bool isFile = platform::fileSize(path).has_value();
    error = isFile ? ENOTDIR : (errno != 0 ? errno : ENOENT);
  }
  return Status::refused(Status::Reason::FolderNotPackable).inFile(path).withErrorNumber(error);
}

}  // namespace

std::optional<ExcludeRules> readExcludeRules(const std::vector<std::string>& patterns,
                                             const std::vector<std::string>& files,
                                             std::string& problem) {
  ExcludeRules rules;
  auto add = [&](const std::string& pattern) {
    if (rules.add(pattern)) return true;
    problem = "--exclude: " + shown(pattern) + " is no pattern a name can match";
    return false;
  };
  for (const auto& pattern : patterns) {
    if (!add(pattern)) return std::nullopt;
  }
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      problem = "--exclude-from: cannot read " + shown(file) + " (" +
                shown(std::strerror(errno != 0 ? errno : ENOENT)) + ")";
      return std::nullopt;
    }
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty() && !add(line)) return std::nullopt;
    }
    if (in.bad()) {
      problem = "--exclude-from: cannot read " + shown(file);
      return std::nullopt;
    }
  }
  return rules;
}

int runArchiveJob(const ArchiveRunRequest& request) {
  // An interrupt or a closed console ends the run without leaving its files behind.
  platform::installEarlyEndCleanup();
  platform::keepFreedBuffers();
  const auto startFolder = platform::currentDirectory();
  if (!startFolder) {
    consoleErrorPrint(MSG_FOLDER_UNREADABLE, ".", shown(std::strerror(errno)).c_str());
    return 1;
  }

  const platform::FolderChoice choice = chooseFolder(request, *startFolder);
  if (choice.result == platform::FolderChoiceResult::Cancelled) return 0;
  if (choice.result == platform::FolderChoiceResult::NoFileSystemPath) {
    consoleError(MSG_NO_FILE_SYSTEM_PATH);
    consoleError(statusText(folderNotPackable(choice.path)));
    return 1;
  }
  consolePrint(MSG_FOLDER_CHOSEN, shown(choice.path).c_str());

  const std::string archiveName = chooseArchiveName(request, *startFolder);
  if (!platform::changeDirectory(choice.path)) {
    consoleErrorPrint(MSG_FOLDER_UNREADABLE, shown(choice.path).c_str(),
                      shown(std::strerror(errno)).c_str());
    return 1;
  }
  // The interactive run keeps its temporary files in the start folder and refuses to pack
  // it; the argument form packs it, leaving those files out.
  if (!request.folderArgument && choice.path == *startFolder) {
    consoleError(platform::startFolderRefusal());
    return 1;
  }

  const std::string& rootFolder = choice.path;
  const std::string namedArchive = platform::absolutePath(archiveName, rootFolder);
  // Only a regular file (or a link to one, which stays a link) is replaced by the archive.
  const auto archiveTarget = platform::archiveTarget(namedArchive);
  if (!archiveTarget) {
    consoleErrorPrint(MSG_ARCHIVE_NOT_A_FILE, shown(namedArchive).c_str());
    consoleError(MSG_ARCHIVE_FAILED);
    return finish(request, 1);
  }
  ArchiveJob job{*archiveTarget, rootFolder, request.jobs};
  CollectRequest collect{rootFolder,
                         request.programName,
                         {namedArchive, job.archivePath, partialArchivePath(job.archivePath)},
                         leaveOutRule(request.excludes)};
  ConsolePackListener console;
  Collection collection;
  if (!collectFiles(collect, collection, console)) {
    consoleErrorPrint(MSG_FOLDER_UNREADABLE, shown(rootFolder).c_str(),
                      shown(std::strerror(errno)).c_str());
    return finish(request, 1);
  }

  const std::vector<Status> problems = preflightCheck(collection, rootFolder);
  if (!problems.empty()) {
    for (const auto& problem : problems) consoleError(statusText(problem));
    consoleError(MSG_ARCHIVE_FAILED);
    return finish(request, 1);
  }

  for (const auto& warning : windowsNameWarnings(collection)) consoleError(statusText(warning));
  consoleWrite(MSG_BUILDING);
  const Status built = buildArchive(job, collection.files, console);
  if (built.kind() == Status::Kind::OutputError) {
    consoleError(statusText(built));
    return 1;
  }
  if (!built) {
    consoleError(statusText(built));
    consoleError(MSG_ARCHIVE_FAILED);
    return finish(request, 1);
  }
  return finish(request, 0);
}

}  // namespace kupack
