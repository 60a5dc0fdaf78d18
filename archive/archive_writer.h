// The archive writer: encodes every collected file in table order and writes the .kup
// archive (header, directory, data area) in one forward pass. The archive is written under
// a temporary name beside the chosen one and renamed into place only when it is complete,
// so a failed run never leaves a half-written archive under the user's name.
#pragma once

#include <string>
#include <vector>

#include "archive/collector.h"
#include "archive/pack_events.h"
#include "common/status.h"

namespace kupack {

struct ArchiveJob {
  std::string archivePath;  // absolute native path of the archive to create or replace
  std::string rootFolder;   // the folder the collected names are relative to
  std::string startFolder;  // home of the temporary files "temp.dat" and "temp2.dat"
};

// The name the archive is written under until it is complete.
std::string partialArchivePath(const std::string& archivePath);
std::string entryTempPath(const std::string& startFolder);  // ".../temp.dat"
std::string dataTempPath(const std::string& startFolder);   // ".../temp2.dat"

// Writes the archive of `files` (checked by preflightCheck beforehand). On failure the
// partial archive is removed and the returned status names the file concerned; an entry
// coder's write failure comes back as Status::outputError(). Each entry's start, coding,
// progress and sizes, and the joining of the data, are reported to `listener` as they happen.
Status buildArchive(const ArchiveJob& job, const std::vector<CollectedFile>& files,
                    PackListener& listener);

}  // namespace kupack
