// Checks made on the collected files before anything is written: everything the archive
// format cannot hold is found here, so a run either writes a whole archive or nothing.
#pragma once

#include <string>
#include <vector>

#include "archive/collector.h"
#include "common/status.h"

namespace kupack {

// Returns one failure per problem (Code::Refused, or FileTooLarge): more than 65535 files, a name
// over 255 bytes, a file of 4 GiB or more, two names that the directory would record
// alike, names without a code page 932 form or holding a backslash, names extraction could
// not give back (a level ending in a dot or a space, a ':'), links that cannot be followed
// and folders that cannot be read. Empty: all is well.
// File sizes are looked up below `rootFolder` by name; a file that cannot be looked at now
// is left to the writer, which reports it when it opens it.
std::vector<Status> preflightCheck(const Collection& collection, const std::string& rootFolder);

// One note (Code::Note, Reason::PackNameWindowsReserved) per collected file whose name Windows
// cannot create (isWindowsReservedName: "con", "aux.txt", a '?', ...): such a file packs and
// extracts elsewhere, but not on Windows, so the run goes on and only warns.
std::vector<Status> windowsNameWarnings(const Collection& collection);

}  // namespace kupack
