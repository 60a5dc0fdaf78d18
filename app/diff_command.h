// `kupack --diff OLD NEW`: what changed between two archives, entry by entry, as diff and cmp
// report it in their exit status. Memory stays bounded whatever the archives' sizes.
#pragma once

#include <string>

namespace kupack {

// Names, on standard output, each entry added (only in `newArchive`), removed (only in
// `oldArchive`), changed (its decoded bytes, as -x writes them, differ) and recoded (the same
// bytes, coded otherwise); with `json` the same as one JSON object {"added": [names],
// "removed": [...], "changed": [...], "recoded": [{"name", "old_type", "new_type"}]}.
// Entries pair up by name (letter case aside); of a name recorded twice the first counts.
// 0 when the archives hold the same files, 1 when they differ, 2 when an archive cannot be
// read, breaks the format or holds an entry that does not decode.
int diffArchivesCommand(const std::string& oldArchive, const std::string& newArchive, bool json);

}  // namespace kupack
