// The words of every failure the layers below report as a Status: one table from each code
// and reason to its text in the user's language (app/catalogue.h), naming the file or entry
// concerned and the cause. Nothing below app/ words a failure for the console.
#pragma once

#include <cstdint>
#include <string>

#include "common/status.h"

namespace kupack {

// The whole console line of `status`, ending in a line break: where it happened (the archive
// or file, the entry), what went wrong and, where the system said, why. Empty for Ok.
std::string statusText(const Status& status);

// Only what went wrong and why, without where (the caller names the entry itself, as a
// refusal's line does). No line break.
std::string statusCause(const Status& status);

// The note that `count` names of an archive, the first of them `firstName` (recorded bytes),
// may have been changed at packing (archive/entry_path.h, mayHaveLoweredSecondByte).
Status loweredNamesNote(const std::string& firstName, std::uint64_t count);

}  // namespace kupack
