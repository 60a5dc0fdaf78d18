// `kupack --mount ARCHIVE DIR [-f] [-o cache=SIZE]`: shows an archive read-only as a folder
// for as long as it stays mounted. Prints its failures on standard error.
#pragma once

#include <string>
#include <vector>

namespace kupack {

// `args` starts with the option itself. `usageError` reports a command-line mistake and
// gives the exit status for it. 0 once the archive has been mounted and later unmounted
// (or, without -f, once it is mounted and the serving process runs in the background);
// 1 when it cannot be mounted.
int mountCommand(const std::vector<std::string>& args,
                 int (*usageError)(const std::string& problem));

}  // namespace kupack
