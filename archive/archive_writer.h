// The archive writer: codes every collected file on a pool of threads and writes the .kup
// archive in one pass: the data area straight into its place, entry after entry in table
// order, then the header and directory once every size is known. The archive is written
// under a temporary name beside the chosen one and renamed into place only when it is
// complete, so a failed run never leaves a half-written archive under the user's name.
// Nothing else is written anywhere. The bytes and the events are the same for any number
// of threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/collector.h"
#include "archive/pack_events.h"
#include "common/status.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace kupack {

// Where a run's time went, for the benchmarks (seconds of wall time): opening the part file
// and starting the coders; taking the entries in turn, `writing` of it spent handing coded
// bytes to the file and copying stored files (and an update's kept entries) into it; the
// directory, closing and renaming.
struct PackPhaseTimes {
  double start = 0;
  double entries = 0;
  double writing = 0;
  double finish = 0;
};

struct ArchiveJob {
  std::string archivePath;  // absolute native path of the archive to create or replace
  std::string rootFolder;   // the folder the collected names are relative to
  unsigned jobs = 0;        // entries coded at once; 0: one per processor core
  // Coded bytes of later entries held in memory at most while they wait for their turn.
  std::size_t heldBudget = std::size_t{256} << 20;
  // The coders' working memory in all (see PipelineLimits::workingBudget).
  std::size_t workingBudget = std::size_t{512} << 20;
  PackPhaseTimes* phaseTimes = nullptr;  // filled in when given
  // Where the sources are read and the archive written (the system's files for nullptr).
  platform::FileSystem* files = nullptr;
};

// The name the archive is written under until it is complete.
std::string partialArchivePath(const std::string& archivePath);

// Creates the file the archive is written into until it is complete: new, beside the archive,
// under a name no other run uses (`ARCHIVE.XXXXXXXX.part`), never through a link, and
// registered in `cleanup` for removal should the run end early. CannotCreate naming
// `ARCHIVE.part` when it cannot be made.
Status openPartFile(platform::FileSystem& files, const std::string& archivePath,
                    std::unique_ptr<platform::WritableFile>& part,
                    platform::RemovedOnEarlyEnd& cleanup);

// The number of coding threads `jobs` asks for (0: one per processor core, at least 1).
unsigned codingThreads(unsigned jobs);

// Writes the archive of `files` (checked by preflightCheck beforehand). On failure the
// partial archive is removed and the returned status names the file concerned. Each
// entry's start, coding, progress and sizes, and the joining of the data, are reported to
// `listener` in table order, on the calling thread, exactly as a run on one thread reports
// them: an entry's events come when its turn comes, the current entry's as they happen.
Status buildArchive(const ArchiveJob& job, const std::vector<CollectedFile>& files,
                    PackListener& listener);

// What an update keeps of the archive it replaces: each kept entry's record and where its
// stored bytes lie in that archive, which stays open, and unchanged, until the new one is
// complete; the writer closes it just before the new one takes its name (Windows cannot
// replace a file that is open).
struct KeptEntry {
  std::string name;  // as recorded
  EntryType type = ENTRY_STORED;
  std::uint64_t position = 0;  // of its stored bytes, from the start of the old archive
  std::uint32_t storedSize = 0;
  std::uint32_t sourceSize = 0;
};
struct KeptEntries {
  std::unique_ptr<platform::ReadableFile>* archive = nullptr;
  std::string archivePath;  // must still name `archive`, unchanged, when the new one replaces it
  std::vector<KeptEntry> entries;
};

// One place of a merged archive's directory: a collected file or a kept entry, by index.
struct MergedSlot {
  bool kept = false;
  std::size_t index = 0;
};

// Writes the archive whose directory is `slots`, in that order, exactly as buildArchive
// would write it had every kept entry been a file coded to the same bytes: the collected
// files are coded as buildArchive codes them (and report the same events; the entry
// numbers count the files only), the kept entries' stored bytes are copied from the old
// archive as they are and report nothing. `files` stand in `slots` in their own order.
// A kept archive that has changed since it was opened ends the run before the new archive
// takes its name.
Status buildMergedArchive(const ArchiveJob& job, const std::vector<CollectedFile>& files,
                          const KeptEntries& kept, const std::vector<MergedSlot>& slots,
                          PackListener& listener);

}  // namespace kupack
