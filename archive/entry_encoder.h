// encodeEntry: turns one collected file into the bytes of one archive entry, written to a
// ByteSink, and says which coding they have. Names ending in "bmp" are bitmaps:
// palette bitmaps are LZSS-coded whole, true-colour pictures SPB-coded when SPB holds them
// exactly; every other file, and every bitmap SPB cannot hold, is stored unchanged.
#pragma once

#include <string>

#include "archive/pack_events.h"
#include "codec/entry_type.h"
#include "common/status.h"
#include "platform/file.h"

namespace kupack {

class WorkerPool;

struct EntrySource {
  std::string name;        // the normalized archive name (code page 932); chooses the coding
  std::string nativePath;  // the path that opens the file
};

struct EncodedEntry {
  Status status = Status::ok();  // a failure names the file; the archive is not written then
  EntryType type = ENTRY_STORED;
};

// Puts exactly the bytes of the entry named `name` (its normalized archive name, which
// chooses the coding) coded from the open `file` into `destination`, except for a stored
// entry: that reports its coding and puts nothing, and the caller copies the file
// (storeEntry) when the entry's place in the archive comes. Reports the coding chosen and
// the progress of the coding to `listener`. A file that cannot be read, or that has changed
// by the end of its coding, is a failure naming it; a destination that refuses bytes is
// Status::outputError(). `pool`, when given, lends the LZSS coder an idle thread.
EncodedEntry encodeEntry(const std::string& name, const platform::ReadableFile& file,
                         ByteSink& destination, PackListener& listener, WorkerPool* pool = nullptr);

// The same for the file at `source.nativePath`, opened here for the coding alone (for tools
// and benchmarks; a run opens each file once and calls the one above). A file that cannot be
// opened is left stored, for the copy to report.
EncodedEntry encodeEntry(const EntrySource& source, ByteSink& destination, PackListener& listener,
                         WorkerPool* pool = nullptr);

}  // namespace kupack
