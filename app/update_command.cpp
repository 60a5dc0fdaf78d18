#include "app/update_command.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "app/catalogue.h"
#include "app/pack_console.h"
#include "app/read_commands.h"
#include "app/status_text.h"
#include "archive/archive_update.h"
#include "archive/archive_writer.h"
#include "archive/collector.h"
#include "archive/preflight.h"
#include "archive/read_jobs.h"
#include "common/console.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace kupack {
namespace {

using ull = unsigned long long;

std::string shown(const std::string& native) { return platform::nativeToConsoleText(native); }

std::string errorText(int errorNumber) { return shown(std::strerror(errorNumber)); }

const char* actionName(UpdateAction action) {
  switch (action) {
    case UpdateAction::Added:
      return "added";
    case UpdateAction::Replaced:
      return "replaced";
    case UpdateAction::Deleted:
      return "deleted";
    case UpdateAction::Kept:
      break;
  }
  return "kept";
}

// The source size a new file has now (0 when it cannot be learned: the run would say why).
ull newFileSize(const UpdateChange& change, const std::string& rootFolder) {
  return platform::regularFileLength(platform::joinPath(rootFolder, change.file->nativePath))
      .value_or(0);
}

// The dry run's list: -l's columns after the action; a file still to be coded has no
// stored size or type yet.
void printPlanTable(const UpdatePlan& plan, const std::string& rootFolder) {
  consolePrint("%-8s %12s %12s %6s  %-6s  %s\n", "Action", "Stored", "Source", "Ratio", "Type",
               "Name");
  for (const UpdateChange& change : plan.changes) {
    const std::string name = entryNameForConsole(change.name);
    if (change.file != nullptr) {
      consolePrint("%-8s %12s %12llu %6s  %-6s  %s\n", actionName(change.action), "-",
                   newFileSize(change, rootFolder), "-", "-", name.c_str());
      continue;
    }
    const ArchiveEntry& entry = *change.entry;
    const ull ratio =
        entry.sourceSize == 0
            ? 0
            : static_cast<ull>(static_cast<double>(entry.storedSize) * 100.0 / entry.sourceSize);
    consolePrint("%-8s %12llu %12llu %5llu%%  %-6s  %s\n", actionName(change.action),
                 static_cast<ull>(entry.storedSize), static_cast<ull>(entry.sourceSize), ratio,
                 typeName(entry.type), name.c_str());
  }
  consolePrint(tr("%llu added, %llu replaced, %llu deleted, %llu kept\n"),
               static_cast<ull>(plan.count(UpdateAction::Added)),
               static_cast<ull>(plan.count(UpdateAction::Replaced)),
               static_cast<ull>(plan.count(UpdateAction::Deleted)),
               static_cast<ull>(plan.count(UpdateAction::Kept)));
}

void printPlanJson(const UpdatePlan& plan, const std::string& rootFolder) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const UpdateChange& change : plan.changes) {
    nlohmann::ordered_json item = {{"action", actionName(change.action)},
                                   {"name", platform::cp932ToUtf8Text(change.name)}};
    if (change.file != nullptr) {
      item["type"] = nullptr;
      item["stored_size"] = nullptr;
      item["source_size"] = newFileSize(change, rootFolder);
    } else {
      item["type"] = jsonTypeName(change.entry->type);
      item["stored_size"] = change.entry->storedSize;
      item["source_size"] = change.entry->sourceSize;
    }
    list.push_back(std::move(item));
  }
  consoleOutputBytes(list.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
                     "\n");
}

class Update {
 public:
  explicit Update(const UpdateArguments& arguments)
      : arguments_(arguments), reader_(arguments.files) {}

  int run() {
    started_ = std::chrono::steady_clock::now();
    platform::installEarlyEndCleanup();
    platform::keepFreedBuffers();
    const auto startFolder = platform::currentDirectory();
    if (!startFolder) {
      consoleErrorPrint(tr("Cannot read the folder %s (%s).\n"), ".", errorText(errno).c_str());
      return 1;
    }
    const std::string namedArchive = platform::absolutePath(arguments_.archive, *startFolder);
    // The file a link there leads to is updated; the link stays.
    const auto target = platform::archiveTarget(namedArchive);
    if (!target) {
      consoleErrorPrint(tr("%s is not a regular file, so the archive cannot be saved there.\n"),
                        shown(namedArchive).c_str());
      return 1;
    }
    if (Status opened = reader_.open(*target); !opened) {
      consoleError(statusText(opened));
      return 1;
    }
    rootFolder_ = *startFolder;
    if (arguments_.folder && !collect(*startFolder, namedArchive, *target)) return fail();

    std::vector<const ArchiveEntry*> deleted;
    if (!arguments_.deleteNames.empty()) {
      std::vector<std::string> unknown;
      deleted = selectEntries(reader_, arguments_.deleteNames, unknown);
      for (const auto& name : unknown)
        consoleErrorPrint(tr("%s: no entry %s\n"), reader_.shownPath().c_str(),
                          shown(name).c_str());
      if (!unknown.empty()) return 1;
    }

    std::vector<Status> problems;
    const UpdatePlan plan = planUpdate(reader_, collection_.files, deleted, problems);
    if (!problems.empty()) {
      for (const auto& problem : problems) consoleError(statusText(problem));
      return fail();
    }
    if (arguments_.dryRun) {
      if (arguments_.format == ListFormat::Json) {
        printPlanJson(plan, rootFolder_);
      } else {
        printPlanTable(plan, rootFolder_);
      }
      return 0;
    }
    return write(plan, *target);
  }

 private:
  // Collects the files below the folder, leaving out the archive itself as packing does.
  bool collect(const std::string& startFolder, const std::string& namedArchive,
               const std::string& target) {
    const platform::FolderChoice choice =
        platform::folderFromArgument(*arguments_.folder, startFolder);
    if (choice.result != platform::FolderChoiceResult::Chosen) {
      consoleErrorPrint(tr("Cannot read the folder %s (%s).\n"), shown(choice.path).c_str(),
                        errorText(ENOTDIR).c_str());
      return false;
    }
    rootFolder_ = choice.path;
    if (!arguments_.dryRun) {
      consolePrint(tr("Packing the files in the folder %s and its subfolders. Please wait.\n"),
                   shown(rootFolder_).c_str());
    }
    CollectRequest request{
        rootFolder_, arguments_.programName, {namedArchive, target, partialArchivePath(target)}};
    ConsolePackListener console;
    SilentPackListener silent;
    PackListener& listener = arguments_.dryRun ? static_cast<PackListener&>(silent) : console;
    if (!collectFiles(request, collection_, listener)) {
      consoleErrorPrint(tr("Cannot read the folder %s (%s).\n"), shown(rootFolder_).c_str(),
                        errorText(errno).c_str());
      return false;
    }
    const std::vector<Status> problems = preflightCheck(collection_, rootFolder_);
    for (const auto& problem : problems) consoleError(statusText(problem));
    return problems.empty();
  }

  int write(const UpdatePlan& plan, const std::string& target) {
    for (const UpdateChange& change : plan.changes) {
      if (change.action == UpdateAction::Deleted)
        consolePrint(tr("Deleting the file %s.\n"), entryNameForConsole(change.name).c_str());
    }
    if (plan.changesNothing()) {
      consoleWrite(tr("No file changes, so the archive stays as it is.\n"));
      consoleWrite(tr("Finished.\n"));
      return 0;
    }
    consoleWrite(tr("Making the archive.\n"));
    std::uint64_t keptBytes = 0;
    for (const KeptEntry& entry : plan.kept.entries) keptBytes += entry.storedSize;
    consolePrint(tr("Files copied as they are: %lu (%lu bytes)\n"),
                 static_cast<unsigned long>(plan.kept.entries.size()),
                 static_cast<unsigned long>(keptBytes));
    ConsolePackListener console;
    ArchiveJob job{target, rootFolder_, arguments_.jobs};
    job.files = arguments_.files;
    // KUPACK_PHASE_TIMES in the environment: where the run's time went, on standard error
    // (for the benchmarks): reading the archive, collecting and planning, then the writer's.
    PackPhaseTimes phases;
    const bool showPhases = std::getenv("KUPACK_PHASE_TIMES") != nullptr;
    if (showPhases) job.phaseTimes = &phases;
    const double planned =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const Status built = buildMergedArchive(job, plan.files, plan.kept, plan.slots, console);
    if (showPhases) {
      consoleErrorPrint(
          "phases: reading, collecting and planning %.3f s, start %.3f s, entries %.3f s "
          "(writing %.3f s), finish %.3f s\n",
          planned, phases.start, phases.entries, phases.writing, phases.finish);
    }
    if (built.kind() == Status::Kind::OutputError) {
      consoleError(statusText(built));
      return 1;
    }
    if (!built) {
      consoleError(statusText(built));
      return fail();
    }
    consoleWrite(tr("Finished.\n"));
    return 0;
  }

  static int fail() {
    consoleError(tr("The archive could not be made.\n"));
    return 1;
  }

  const UpdateArguments& arguments_;
  std::chrono::steady_clock::time_point started_;
  ArchiveReader reader_;
  Collection collection_;
  std::string rootFolder_;
};

}  // namespace

int updateArchiveCommand(const UpdateArguments& arguments) { return Update(arguments).run(); }

}  // namespace kupack
