#include "app/pack_command.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "app/catalogue.h"
#include "app/pack_console.h"
#include "app/user_prompts.h"
#include "app/status_text.h"
#include "archive/archive_writer.h"
#include "archive/collector.h"
#include "archive/preflight.h"
#include "common/console.h"
#include "platform/platform.h"

namespace kupack {
namespace {

constexpr char DEFAULT_ARCHIVE_NAME[] = "arc.kup";
// An exclude list longer than this is no list of patterns.
constexpr std::uint64_t MOST_EXCLUDE_LIST_BYTES = std::uint64_t{64} << 20;

std::string shown(const std::string& native) { return platform::nativeToConsoleText(native); }

platform::FolderChoice chooseFolder(const ArchiveRunRequest& request,
                                    const std::string& startFolder) {
  if (request.folderArgument)
    return platform::folderFromArgument(*request.folderArgument, startFolder);
  return promptForFolder(
      tr("Choose the folder to pack\n\r(not the folder that holds this program)"), startFolder);
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
  return promptForArchiveName(tr("Enter the name of the KUP file to save"), tr("KUP file"),
                              DEFAULT_ARCHIVE_NAME, startFolder)
      .value_or(DEFAULT_ARCHIVE_NAME);
}

// Closing text, then the key wait of an interactive run; returns `exitCode`.
int finish(const ArchiveRunRequest& request, int exitCode) {
  consoleWrite(tr("Finished.\n"));
  if (!request.folderArgument) waitForKey();
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
    const bool exists = platform::pathExists(path);
    error = exists ? ENOTDIR : (errno != 0 ? errno : ENOENT);
  }
  return Status::refused(Status::Reason::FolderNotPackable).inFile(path).withErrorNumber(error);
}

}  // namespace

std::optional<ExcludeRules> readExcludeRules(const std::vector<std::string>& patterns,
                                             const std::vector<std::string>& files,
                                             std::string& problem,
                                             platform::FileSystem* fileSystem) {
  ExcludeRules rules;
  auto add = [&](const std::string& pattern) {
    if (rules.add(pattern)) return true;
    problem =
        formatText(tr("--exclude: %s is no pattern a name can match"), shown(pattern).c_str());
    return false;
  };
  for (const auto& pattern : patterns) {
    if (!add(pattern)) return std::nullopt;
  }
  for (const auto& file : files) {
    std::vector<std::uint8_t> bytes;
    if (Status read = platform::fileSystemOr(fileSystem).readList(file, MOST_EXCLUDE_LIST_BYTES, bytes);
        !read) {
      const int error = read.code() == Status::Code::FileTooLarge ? EFBIG : read.errorNumber();
      problem = error != 0 ? formatText(tr("--exclude-from: cannot read %s (%s)"), shown(file).c_str(),
                                        shown(std::strerror(error)).c_str())
                           : formatText(tr("--exclude-from: cannot read %s"), shown(file).c_str());
      return std::nullopt;
    }
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    for (std::size_t start = 0; start < text.size();) {
      const std::size_t end = std::min(text.find('\n', start), text.size());
      std::string line(text.substr(start, end - start));
      start = end + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty() && !add(line)) return std::nullopt;
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
    consoleErrorPrint(tr("Cannot read the folder %s (%s).\n"), ".",
                      shown(std::strerror(errno)).c_str());
    return 1;
  }

  const platform::FolderChoice choice = chooseFolder(request, *startFolder);
  if (choice.result == platform::FolderChoiceResult::Cancelled) return 0;
  if (choice.result == platform::FolderChoiceResult::NoFileSystemPath) {
    consoleError(tr("Error! Stopping.\n"));
    consoleError(statusText(folderNotPackable(choice.path)));
    return 1;
  }
  consolePrint(tr("Packing the files in the folder %s and its subfolders. Please wait.\n"),
               shown(choice.path).c_str());

  const std::string archiveName = chooseArchiveName(request, *startFolder);
  if (!platform::changeDirectory(choice.path)) {
    consoleErrorPrint(tr("Cannot read the folder %s (%s).\n"), shown(choice.path).c_str(),
                      shown(std::strerror(errno)).c_str());
    return 1;
  }
  // The interactive run refuses to pack the folder it was started in (on Windows the
  // program's own); the argument form packs it.
  if (!request.folderArgument && choice.path == *startFolder) {
    consoleError(startFolderRefusal());
    return 1;
  }

  const std::string& rootFolder = choice.path;
  const std::string namedArchive = platform::absolutePath(archiveName, rootFolder);
  // Only a regular file (or a link to one, which stays a link) is replaced by the archive.
  const auto archiveTarget = platform::archiveTarget(namedArchive);
  if (!archiveTarget) {
    consoleErrorPrint(tr("%s is not a regular file, so the archive cannot be saved there.\n"),
                      shown(namedArchive).c_str());
    consoleError(tr("The archive could not be made.\n"));
    return finish(request, 1);
  }
  ArchiveJob job{*archiveTarget, rootFolder, request.jobs};
  job.files = request.files;
  CollectRequest collect{rootFolder,
                         request.programName,
                         {namedArchive, job.archivePath, partialArchivePath(job.archivePath)},
                         leaveOutRule(request.excludes)};
  ConsolePackListener console;
  Collection collection;
  // KUPACK_PHASE_TIMES in the environment: where the run's time went, on standard error
  // (for the benchmarks).
  const bool showPhases = std::getenv("KUPACK_PHASE_TIMES") != nullptr;
  PackPhaseTimes phases;
  if (showPhases) job.phaseTimes = &phases;
  auto phaseStart = std::chrono::steady_clock::now();
  const auto secondsSince = [](std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  if (!collectFiles(collect, collection, console)) {
    consoleErrorPrint(tr("Cannot read the folder %s (%s).\n"), shown(rootFolder).c_str(),
                      shown(std::strerror(errno)).c_str());
    return finish(request, 1);
  }

  const double walkSeconds = secondsSince(phaseStart);
  phaseStart = std::chrono::steady_clock::now();
  const std::vector<Status> problems = preflightCheck(collection, rootFolder);
  const double preflightSeconds = secondsSince(phaseStart);
  if (!problems.empty()) {
    for (const auto& problem : problems) consoleError(statusText(problem));
    consoleError(tr("The archive could not be made.\n"));
    return finish(request, 1);
  }

  for (const auto& warning : windowsNameWarnings(collection)) consoleError(statusText(warning));
  consoleWrite(tr("Making the archive.\n"));
  const Status built = buildArchive(job, collection.files, console);
  if (showPhases) {
    consoleErrorPrint(
        "phases: walk %.3f s, pre-flight %.3f s, start %.3f s, entries %.3f s "
        "(writing %.3f s), finish %.3f s\n",
        walkSeconds, preflightSeconds, phases.start, phases.entries, phases.writing, phases.finish);
  }
  if (built.kind() == Status::Kind::OutputError) {
    consoleError(statusText(built));
    return 1;
  }
  if (!built) {
    consoleError(statusText(built));
    consoleError(tr("The archive could not be made.\n"));
    return finish(request, 1);
  }
  return finish(request, 0);
}

}  // namespace kupack
