// Planning an update of an archive in place of a repack: the files collected below a folder
// replace the entries of the same recorded name or are added, named entries are deleted, and
// every other entry is kept, its stored bytes to be copied as they are. The merged directory
// is in the order a walk of the merged tree gives; an archive whose own order is not that
// order keeps it, and each added file goes before the first entry a walk would meet after it.
#pragma once

#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/archive_writer.h"
#include "archive/collector.h"
#include "common/status.h"

namespace kupack {

enum class UpdateAction { Kept, Replaced, Added, Deleted };

// One line of what an update does, in the merged directory's order (a deleted entry where
// it stood).
struct UpdateChange {
  UpdateAction action = UpdateAction::Kept;
  std::string name;                     // as the directory records it
  const ArchiveEntry* entry = nullptr;  // the old entry (none for Added)
  const CollectedFile* file = nullptr;  // the new file (Replaced and Added), in `files`
};

struct UpdatePlan {
  std::vector<CollectedFile> files;  // the files to code, in directory order
  KeptEntries kept;                  // `archive` and `archivePath` are the reader's
  std::vector<MergedSlot> slots;     // the merged directory
  std::vector<UpdateChange> changes;
  std::size_t count(UpdateAction action) const;
  // True when the new archive would be the old one byte for byte: nothing to write.
  bool changesNothing() const;
};

// Plans the update of `reader`'s archive by `files` (collected below the update's folder
// and checked by preflightCheck; none for a deletion) and the removal of `deleted` (entries
// of `reader`). `problems` receives one failure (a Status) for each reason the
// merged archive cannot be written: too many entries, or a file and a folder, one of them
// new, that the directory would record alike. The plan refers to `reader` and `files`'
// copies; `reader` must stay open while it is written.
UpdatePlan planUpdate(ArchiveReader& reader, const std::vector<CollectedFile>& files,
                      const std::vector<const ArchiveEntry*>& deleted,
                      std::vector<Status>& problems);

}  // namespace kupack
