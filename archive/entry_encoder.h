// encodeEntry: turns one collected file into the bytes of one archive entry, written to a
// temporary file, and says which coding they have. Names ending in "bmp" are bitmaps:
// palette bitmaps are LZSS-coded whole, true-colour pictures SPB-coded when SPB holds them
// exactly; every other file, and every bitmap SPB cannot hold, is stored unchanged.
#pragma once

#include <string>

#include "archive/pack_events.h"
#include "codec/entry_type.h"
#include "common/status.h"

namespace kupack {

class WorkerThread;

struct EntrySource {
  std::string name;        // the normalized archive name (code page 932); chooses the coding
  std::string nativePath;  // the path that opens the file
};

struct EncodedEntry {
  Status status = Status::ok();  // a failure names the file; the archive is not written then
  EntryType type = ENTRY_STORED;
};

// Creates (or truncates) `destinationPath`, leaves exactly the entry's bytes in it and
// closes it before returning. Reports the coding chosen, once the files are open, and the
// progress of the coding or copy to `listener`. A file that cannot be opened, created, read
// or written is a failure naming it, except that a failed write of the LZSS coder is
// Status::outputError(). `worker`, when given, is the second thread the LZSS coder may use.
EncodedEntry encodeEntry(const EntrySource& source, const std::string& destinationPath,
                         PackListener& listener, WorkerThread* worker = nullptr);

}  // namespace kupack
