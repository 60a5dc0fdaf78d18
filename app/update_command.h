// Updating an archive in place of a repack: `kupack -u ARCHIVE FOLDER` puts every file below
// FOLDER into ARCHIVE (replacing the entry of the same recorded name, or adding it), and
// `kupack --delete ARCHIVE NAME...` removes entries; every other entry's stored bytes are
// copied as they are. The new archive replaces the old one only once it is complete. With
// a dry run, what would be added, replaced, deleted and kept is listed and nothing written.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/read_commands.h"

namespace kupack {

struct UpdateArguments {
  std::string programName;               // argument 0
  std::string archive;                   // as given
  std::optional<std::string> folder;     // -u: the folder whose files go in
  std::vector<std::string> deleteNames;  // --delete: names and patterns as -x takes them
  unsigned jobs = 0;                     // entries coded at once (-j); 0: one per processor core
  bool dryRun = false;
  ListFormat format = ListFormat::Table;  // of the dry run's list
  // Where the archive and the files are read and the new archive written (the system's
  // files for nullptr).
  platform::FileSystem* files = nullptr;
};

// Runs the update and returns the exit status: 0 when the archive was updated (or needed
// no change, or the dry run listed it), 1 for every failure, after which the old archive is
// as it was.
int updateArchiveCommand(const UpdateArguments& arguments);

}  // namespace kupack
