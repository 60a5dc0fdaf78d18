// An archive dropped on the program (its one argument, a file whose name ends in ".kup"):
// extracted into a new folder beside it named after it, never into one that exists, so that
// nothing of the user's is replaced.
#pragma once

#include <optional>
#include <string>

namespace kupack {

// True when `argument` names an archive to extract rather than a folder to pack: it ends in
// ".kup" (any letter case) and names a regular file.
bool isDroppedArchive(const std::string& argument);

// The folder names tried for the archive at `archivePath` (absolute, native) in turn:
// "NAME" beside it for "NAME.kup", then "NAME (2)", "NAME (3)", ...; `attempt` counts from 1.
std::string droppedArchiveFolder(const std::string& archivePath, unsigned attempt);

// Makes the first of the folders above that does not exist yet and extracts every entry of
// the archive into it (as -x does, without replacing anything). The exit status of the
// extraction; 1 when the archive cannot be opened (no folder is made then) or no new folder
// can be made.
int extractDroppedArchive(const std::string& argument);

}  // namespace kupack
