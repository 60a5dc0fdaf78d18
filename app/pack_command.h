// The archiving run with the user: record the start folder, ask for the folder and the
// archive name (dialogs, their console stand-ins, or the command line), refuse the start
// folder in the interactive run, collect, check, write the archive, and end with the
// closing text and key wait. Failures go to standard error, the run's lines to standard output.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "archive/entry_selection.h"
#include "platform/file.h"

namespace kupack {

struct ArchiveRunRequest {
  std::string programName;  // argument 0
  // Given on the command line: the folder, and optionally the archive name. Without a
  // folder the run asks through the folder chooser and the save dialog instead.
  std::optional<std::string> folderArgument;
  // Without it, the archive is FOLDER.kup beside the folder.
  std::optional<std::string> archiveArgument;
  unsigned jobs = 0;      // entries coded at once (-j); 0: one per processor core
  ExcludeRules excludes;  // files and folders left out (--exclude, --exclude-from)
  // Where the files are read and the archive written (the system's files for nullptr).
  platform::FileSystem* files = nullptr;
};

// The rules of --exclude=PATTERN (`patterns`) and --exclude-from=FILE (`files`: one pattern
// a line; empty lines skipped, a line's trailing CR dropped), read through `fileSystem` (the
// system's files for nullptr; a pipe is read to its end). nullopt with `problem` (console
// text) when a file cannot be read or a pattern has no code page 932 form.
std::optional<ExcludeRules> readExcludeRules(const std::vector<std::string>& patterns,
                                             const std::vector<std::string>& files,
                                             std::string& problem,
                                             platform::FileSystem* fileSystem = nullptr);

// Runs one archiving job and returns the exit status: 0 for a written archive and for a
// cancel in the folder chooser, 1 for every other ending.
int runArchiveJob(const ArchiveRunRequest& request);

}  // namespace kupack
