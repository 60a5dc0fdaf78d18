// The work of extracting and testing an open archive's entries (entry_selection.h chooses
// them). Nothing here prints: each entry's outcome goes to a ReadReport (reasons and failures
// as Status values naming the entry or file), which the program shows and counts.
#pragma once

#include <cerrno>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/entry_selection.h"  // selectEntries
#include "codec/byte_stream.h"
#include "common/status.h"
#include "platform/file.h"

namespace kupack {

// Where extraction and testing report what became of each entry.
class ReadReport {
 public:
  virtual ~ReadReport() = default;
  virtual void onExtracted(const ArchiveEntry& entry) = 0;
  // An entry not written, and why (a file in the way, a name that would leave the folder).
  virtual void onRefused(const ArchiveEntry& entry, const Status& reason) = 0;
  // A failed extraction or a test's finding, naming the entry or file.
  virtual void onFailed(const Status& failure) = 0;
  // A test's finding that the archive and the folder differ (an entry and its file, a file
  // or entry missing on one side), as opposed to a broken entry or an unreadable file.
  virtual void onDiffers(const Status& finding) { onFailed(finding); }
};

// Writes decoded pieces to an open stream it does not own; remembers why a write failed.
class OpenStreamSink final : public ByteSink {
 public:
  explicit OpenStreamSink(std::FILE* stream) : stream_(stream) {}
  bool put(std::span<const std::uint8_t> bytes) override {
    if (bytes.empty()) return true;
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), stream_) == bytes.size()) return true;
    error_ = errno != 0 ? errno : EIO;
    return false;
  }
  int error() const { return error_; }

 private:
  std::FILE* stream_;
  int error_ = 0;
};

// Writes each of `entries` below `root` (an existing folder): stored and LZSS entries as the
// original bytes, SPB entries as a 24-bit BMP of the picture, each under a temporary name
// placed only once complete. Names that are absolute, hold a drive letter or a ".." level,
// or would lead through a link are refused, and an existing file is kept unless `force`.
// Entries are decoded on `jobs` threads (one per core when 0) and written in any order;
// `report` hears of them in the order of `entries`. The files are written through `files`
// (the system's files for nullptr).
void extractEntries(ArchiveReader& reader, const std::vector<const ArchiveEntry*>& entries,
                    const std::string& root, bool force, ReadReport& report, unsigned jobs = 0,
                    platform::FileSystem* files = nullptr);

// Decodes every entry and checks its size; with `sourceFolder`, also compares each entry
// with the file it came from and reports files missing from either side (the files that
// `excludes` leave out, as packing with them would, are not looked at). Differences go to
// report.onDiffers, every other finding to report.onFailed. False (errno set) when the
// source folder cannot be read, and nothing is tested then. Entries are tested on `jobs`
// threads (one per core when 0); `report` hears of them in directory order.
bool testEntries(ArchiveReader& reader, const std::optional<std::string>& sourceFolder,
                 ReadReport& report, const ExcludeRules* excludes = nullptr, unsigned jobs = 0);

// How printing entries ended: ok, or the first failure and the entry it belongs to.
struct PrintOutcome {
  Status status = Status::ok();
  const ArchiveEntry* entry = nullptr;
};

// Hands `sink` the files that `entries` hold (as decodeEntry gives them), one after another
// in their order, the same bytes for every `jobs`. Entries of up to PRINT_BUFFERED_ENTRY
// bytes are decoded on `jobs` threads (one per core when 0) into memory, at most
// PRINT_AHEAD bytes of them ahead of the one being written, and written whole once decoded,
// so that a broken one writes nothing; larger ones are decoded straight into `sink` in
// their turn. Entries marked as duplicates are not decoded: `onDuplicate` hears of each in
// its turn. Stops at the first failure; every thread is joined before this returns.
inline constexpr std::uint64_t PRINT_BUFFERED_ENTRY = std::uint64_t{16} << 20;
inline constexpr std::uint64_t PRINT_AHEAD = std::uint64_t{64} << 20;
PrintOutcome printEntries(ArchiveReader& reader, const std::vector<const ArchiveEntry*>& entries,
                          ByteSink& sink, unsigned jobs,
                          const std::function<void(const ArchiveEntry&)>& onDuplicate);

// The threads extraction and testing use for `jobs` (-j): one per core when 0.
unsigned readingThreads(unsigned jobs);

}  // namespace kupack
