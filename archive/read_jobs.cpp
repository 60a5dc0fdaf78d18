#include "archive/read_jobs.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "archive/archive_format.h"
#include "archive/bitmap_file.h"
#include "archive/collector.h"
#include "archive/entry_decoding.h"
#include "archive/entry_path.h"
#include "archive/file_streams.h"
#include "codec/bitmap.h"
#include "codec/worker_pool.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace kupack {
namespace {

using Code = Status::Code;
using Reason = Status::Reason;

constexpr std::size_t CHUNK_SIZE = 1 << 20;

// A finding about `entry`.
Status atEntry(const ArchiveEntry& entry, Code code, Reason reason,
               std::initializer_list<std::uint64_t> numbers = {}) {
  return Status::fault(code, reason, numbers).atEntry(entry.name);
}

// Reads an open source file in order, in chunks, for comparisons.
class SourceFile {
 public:
  explicit SourceFile(const platform::ReadableFile& file) : file_(&file) {}

  // Compares the next `expected.size()` bytes of the file with `expected`.
  bool nextEquals(std::span<const std::uint8_t> expected) {
    if (expected.size() > file_->size() - position_) return false;
    buffer_.resize(expected.size());
    if (!file_->readAt(position_, buffer_)) return false;
    position_ += expected.size();
    return std::equal(buffer_.begin(), buffer_.end(), expected.begin());
  }
  // True when the file has no byte left: all of it compared, and nothing added since.
  bool atEnd() const { return position_ == file_->size() && file_->unchangedSinceOpen(); }

 private:
  const platform::ReadableFile* file_;
  std::uint64_t position_ = 0;
  std::vector<std::uint8_t> buffer_;
};

// Compares decoded pieces with the next bytes of a source file; stops at the first difference.
class ComparingSink final : public ByteSink {
 public:
  explicit ComparingSink(SourceFile& source) : source_(source) {}
  bool put(std::span<const std::uint8_t> bytes) override {
    if (differs_) return true;
    if (!source_.nextEquals(bytes)) differs_ = true;
    return true;
  }
  bool differs() const { return differs_; }

 private:
  SourceFile& source_;
  bool differs_ = false;
};

// Compares decoded rows, top first, with a picture's rows read from its file.
class PictureComparingSink final : public ByteSink {
 public:
  explicit PictureComparingSink(SpbRows& picture) : picture_(picture), rows_(picture) {}
  bool put(std::span<const std::uint8_t> row) override {
    if (differs_ || row.size() != std::size_t{picture_.width()} * 3) {
      differs_ = true;
      return true;
    }
    const std::uint8_t* sourceRow = rows_.next();
    if (sourceRow == nullptr || !std::equal(row.begin(), row.end(), sourceRow)) differs_ = true;
    return true;
  }
  bool differs() const { return differs_; }
  bool readFailed() const { return rows_.failed(); }

 private:
  SpbRows& picture_;
  SpbRowWalker rows_;
  bool differs_ = false;
};

// Hands decoded pieces on in blocks of WRITE_BLOCK bytes, so that a file is written in few
// large writes whatever the size of the pieces. flush() hands on what is left.
class BlockSink final : public ByteSink {
 public:
  static constexpr std::size_t WRITE_BLOCK = std::size_t{1} << 20;

  explicit BlockSink(ByteSink& inner) : inner_(inner) {}
  bool put(std::span<const std::uint8_t> bytes) override {
    if (block_.empty() && bytes.size() >= WRITE_BLOCK) return inner_.put(bytes);
    while (!bytes.empty()) {
      const std::size_t taken = std::min(bytes.size(), WRITE_BLOCK - block_.size());
      block_.insert(block_.end(), bytes.begin(),
                    bytes.begin() + static_cast<std::ptrdiff_t>(taken));
      bytes = bytes.subspan(taken);
      if (block_.size() == WRITE_BLOCK && !flush()) return false;
    }
    return true;
  }
  bool flush() {
    const bool written = inner_.put(block_);
    block_.clear();
    return written;
  }

 private:
  ByteSink& inner_;
  std::vector<std::uint8_t> block_;
};

// ---- Extracting -------------------------------------------------------------------------

class Extractor {
 public:
  Extractor(ArchiveReader& reader, std::string root, bool force, platform::FileSystem& files)
      : reader_(reader),
        root_(std::move(root)),
        force_(force),
        files_(files),
        archiveIdentity_(platform::folderIdentity(reader.nativePath())) {}

  // May run on several threads at once, each entry with a report of its own.
  void extract(const ArchiveEntry& entry, ReadReport& report) const {
    try {
      extractOne(entry, report);
    } catch (const std::bad_alloc&) {
      report.onFailed(atEntry(entry, Code::OutOfMemory, Reason::NoMemoryToExtract));
    }
  }

 private:
  // Writes the entry under a temporary name in its folder and gives the file its name only
  // once complete, so that a broken entry or a failed write leaves nothing behind and never
  // changes a file it was to replace, and a link at the name is replaced, not written through.
  void extractOne(const ArchiveEntry& entry, ReadReport& report) const {
    const auto refuse = [&report, &entry](Status reason) { report.onRefused(entry, reason); };
    const auto failWrite = [&report, &entry](const std::string& target, const Status& failure) {
      report.onFailed(atEntry(entry, Code::CannotWrite, Reason::TargetUnwritable)
                          .withOtherPath(target)
                          .withErrorNumber(failure.errorNumber()));
    };
    if (entry.duplicate) return refuse(Status::refused(Reason::DuplicateEntry));
    Status refusal;
    const auto levels = entryPathLevels(entry.name, refusal);
    if (!levels) return refuse(std::move(refusal));
    std::string target = root_;
    for (const auto& level : *levels) target = platform::joinPath(target, level);
    if (force_ && archiveIdentity_ && platform::folderIdentity(target) == archiveIdentity_) {
      return refuse(Status::refused(Reason::TargetIsArchive).withOtherPath(target));
    }
    platform::StagedCreation created = files_.createStaged(root_, *levels, force_);
    if (created.result != platform::CreateBelowResult::Created) {
      return reportNotCreated(entry, target, created, report);
    }
    platform::StagedFile& file = *created.file;
    StagedFileSink written(file);
    BlockSink sink(written);
    Status status = decodeEntry(reader_, entry, sink);
    if (status && !sink.flush())
      status =
          entryFailure(entry, Status::fault(Code::OutputError, Reason::DecodedBytesNotWritten));
    if (!status) {
      file.discard();
      if (!written.failure()) return failWrite(target, written.failure());
      return report.onFailed(status);
    }
    if (Status placed = file.place(); !placed) {
      if (placed.errorNumber() == EEXIST && !force_) {
        return refuse(Status::refused(Reason::TargetExists).withOtherPath(target));
      }
      return failWrite(target, placed);
    }
    report.onExtracted(entry);
  }

  static void reportNotCreated(const ArchiveEntry& entry, const std::string& target,
                               const platform::StagedCreation& created, ReadReport& report) {
    switch (created.result) {
      case platform::CreateBelowResult::Exists:
        return report.onRefused(entry, Status::refused(Reason::TargetExists).withOtherPath(target));
      case platform::CreateBelowResult::ThroughLink:
        return report.onRefused(entry, Status::refused(Reason::TargetThroughLink));
      case platform::CreateBelowResult::NotAFolder:
        return report.onRefused(entry, Status::refused(Reason::TargetFolderIsFile));
      case platform::CreateBelowResult::Created:
      case platform::CreateBelowResult::Failed:
        break;
    }
    report.onFailed(atEntry(entry, Code::CannotCreate, Reason::TargetUncreatable)
                        .withOtherPath(target)
                        .withErrorNumber(created.failure.errorNumber()));
  }

  ArchiveReader& reader_;
  std::string root_;
  bool force_;
  platform::FileSystem& files_;
  // Replacing the archive while it is read would lose it.
  std::optional<platform::FolderIdentity> archiveIdentity_;
};

// ---- Testing ----------------------------------------------------------------------------

// The files of a source folder under the names an archive of it records.
struct SourceIndex {
  std::string root;
  std::map<std::string, std::string> pathByName;  // normalized name -> native path
  std::set<std::string> matched;
};

class Tester {
 public:
  Tester(ArchiveReader& reader, ReadReport& report) : reader_(reader), report_(report) {}
  Tester(ArchiveReader& reader, ReadReport& report, SourceIndex* source, std::mutex& matchedLock)
      : reader_(reader), report_(report), sharedSource_(source), matchedLock_(&matchedLock) {}

  // A tester of single entries that shares this one's index of the source folder and
  // reports to `report`; several may test at once.
  Tester forEntries(ReadReport& report) {
    return Tester(reader_, report, source_ ? &*source_ : nullptr, ownMatchedLock_);
  }

  // Walks `folder` the way the writer collects it (the archive itself and what `excludes`
  // leave out left out); false
  // when the folder cannot be read.
  bool indexSource(const std::string& folder, const ExcludeRules* excludes) {
    const std::string base = platform::currentDirectory().value_or(".");
    source_.emplace();
    source_->root = platform::absolutePath(folder, base);
    CollectRequest request;
    request.rootFolder = source_->root;
    request.excludedPaths.push_back(platform::absolutePath(reader_.nativePath(), base));
    if (excludes && !excludes->empty()) {
      request.leaveOut = [excludes](std::string_view name) { return excludes->excludes(name); };
    }
    Collection collection;
    bool readable = false;
    {
      // The walk reports every subfolder it enters; a test shows only its findings.
      SilentPackListener quiet;
      readable = collectFiles(request, collection, quiet);
    }
    if (!readable) return false;
    for (const auto& file : collection.files) {
      const std::string name = normalizeName(file.name);
      const std::string path = platform::joinPath(source_->root, file.nativePath);
      if (!source_->pathByName.emplace(name, path).second) {
        differ(Status::fault(Code::Differs, Reason::FileSharesArchiveName)
                   .inFile(path)
                   .withOtherPath(name));
      }
    }
    for (const auto& path : collection.namesWithoutCp932) {
      differ(Status::fault(Code::Differs, Reason::FileNameNotShiftJis).inFile(path));
    }
    for (const auto& path : collection.namesWithBackslash) {
      differ(Status::fault(Code::Differs, Reason::FileNameHasBackslash).inFile(path));
    }
    for (const auto& unreadable : collection.unreadableFolders) {
      problem(Status::fault(Code::CannotRead, Reason::FolderUnreadable)
                  .inFile(unreadable.path)
                  .withErrorNumber(unreadable.errorNumber));
    }
    return true;
  }

  void test(const ArchiveEntry& entry) {
    if (!sharedSource_ && source_) sharedSource_ = &*source_;
    try {
      testOne(entry);
    } catch (const std::bad_alloc&) {
      problem(atEntry(entry, Code::OutOfMemory, Reason::NoMemoryToTest));
    }
  }

  // Reports every file of the folder that no entry named (once every entry is tested).
  void reportUnarchivedFiles() {
    if (!source_) return;
    for (const auto& [name, path] : source_->pathByName) {
      if (source_->matched.count(name) == 0) {
        differ(Status::fault(Code::Differs, Reason::MissingFromArchive).atEntry(name));
      }
    }
  }

 private:
  void testOne(const ArchiveEntry& entry) {
    if (entry.duplicate) return problem(atEntry(entry, Code::Refused, Reason::DuplicateEntry));
    std::unique_ptr<platform::ReadableFile> source;  // opened once, for all the entry's checks
    if (sharedSource_) {
      const auto found = sharedSource_->pathByName.find(entry.name);
      if (found == sharedSource_->pathByName.end()) {
        differ(atEntry(entry, Code::Differs, Reason::MissingFromFolder));
      } else {
        {
          const std::lock_guard<std::mutex> lock(*matchedLock_);
          sharedSource_->matched.insert(entry.name);
        }
        source = openSource(entry, found->second);
      }
    }
    switch (entry.type) {
      case ENTRY_STORED:
        return testStored(entry, source.get());
      case ENTRY_LZSS:
        return testLzss(entry, source.get());
      case ENTRY_SPB:
        return testSpb(entry, source.get());
    }
  }

  // The file in the folder an entry is compared with, when it opens (a pipe or device is
  // never waited for) and, unless the entry is a picture, has the recorded size: pictures
  // are compared as pictures, so a BMP file of the same picture matches whatever its size or
  // layout. A file that does not open is a problem of the entry's.
  std::unique_ptr<platform::ReadableFile> openSource(const ArchiveEntry& entry,
                                                     const std::string& path) {
    std::unique_ptr<platform::ReadableFile> source;
    if (Status opened = reader_.files().openReadable(path, source); !opened) {
      problem(atEntry(entry, Code::CannotOpen, Reason::FileUnopenable)
                  .withOtherPath(path)
                  .withErrorNumber(opened.errorNumber()));
      return nullptr;
    }
    if (entry.type != ENTRY_SPB && source->size() != entry.sourceSize) {
      differ(atEntry(entry, Code::Differs, Reason::FileSizeDiffers,
                     {source->size(), entry.sourceSize}));
      return nullptr;
    }
    return source;
  }

  void testStored(const ArchiveEntry& entry, const platform::ReadableFile* file) {
    std::optional<SourceFile> source;
    if (file != nullptr) source.emplace(*file);
    std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(CHUNK_SIZE, entry.storedSize)));
    for (std::uint64_t done = 0; done < entry.storedSize;) {
      const auto piece =
          static_cast<std::size_t>(std::min<std::uint64_t>(CHUNK_SIZE, entry.storedSize - done));
      const std::span<std::uint8_t> chunk(buffer.data(), piece);
      if (Status status = reader_.readEntryBytes(entry, done, chunk); !status) {
        return problem(status);
      }
      if (source && !source->nextEquals(chunk)) {
        differ(atEntry(entry, Code::Differs, Reason::FileDiffers));
        source.reset();
      }
      done += piece;
    }
    if (source && !source->atEnd()) {
      differ(atEntry(entry, Code::Differs, Reason::FileLonger));
    }
  }

  void testLzss(const ArchiveEntry& entry, const platform::ReadableFile* file) {
    ArchiveEntrySource stream(reader_, entry);
    if (file == nullptr) {
      CountingSink sink;
      if (Status status = decodeLzssEntry(entry, stream, sink); !status) problem(status);
      return;
    }
    SourceFile source(*file);
    ComparingSink sink(source);
    if (Status status = decodeLzssEntry(entry, stream, sink); !status) {
      return problem(status);
    }
    if (sink.differs() || !source.atEnd()) {
      differ(atEntry(entry, Code::Differs, Reason::FileDiffers));
    }
  }

  void testSpb(const ArchiveEntry& entry, const platform::ReadableFile* file) {
    ArchiveEntrySource stream(reader_, entry);
    SpbRowDecoder decoder(stream);
    if (Status status = checkSpbEntry(entry, stream, decoder); !status) {
      return problem(status);
    }
    if (file == nullptr) return;
    BitmapFile image;
    BitmapVerdict verdict = BitmapVerdict::StoreUnchanged;
    if (Status status = image.open(*file, verdict); !status) {
      return differ(std::move(status).atEntry(entry.name));
    }
    if (verdict != BitmapVerdict::CodeAsSpb) {
      return differ(atEntry(entry, Code::Differs, Reason::FileNoSpbPicture));
    }
    PictureComparingSink sink(image.rows());
    if (image.rows().width() != decoder.width() || image.rows().height() != decoder.height()) {
      sink.put({});
    } else if (Status status = decoder.writeRows(false, sink); !status) {
      return problem(stream.failure() ? entryFailure(entry, std::move(status)) : stream.failure());
    }
    if (sink.readFailed()) {
      return problem(Status(image.failure()).atEntry(entry.name));
    }
    if (sink.differs()) {
      differ(atEntry(entry, Code::Differs, Reason::PictureDiffers));
    }
  }

  void problem(const Status& failure) { report_.onFailed(failure); }

  // A finding where the archive and the folder differ (not a broken entry or a file that
  // cannot be read).
  void differ(const Status& finding) { report_.onDiffers(finding); }

  ArchiveReader& reader_;
  ReadReport& report_;
  std::optional<SourceIndex> source_;    // the folder indexed by this tester
  SourceIndex* sharedSource_ = nullptr;  // the index entries are looked up in
  std::mutex ownMatchedLock_;            // guards source_->matched while entries are tested
  std::mutex* matchedLock_ = &ownMatchedLock_;
};

// ---- Entries on a pool ------------------------------------------------------------------

// What one entry's work reported, kept until the entries before it are shown.
class RecordedReport final : public ReadReport {
 public:
  void onExtracted(const ArchiveEntry& entry) override {
    events_.push_back({EXTRACTED, &entry, {}});
  }
  void onRefused(const ArchiveEntry& entry, const Status& reason) override {
    events_.push_back({REFUSED, &entry, reason});
  }
  void onFailed(const Status& failure) override { events_.push_back({FAILED, nullptr, failure}); }
  void onDiffers(const Status& finding) override { events_.push_back({DIFFERS, nullptr, finding}); }

  void replay(ReadReport& report) const {
    for (const Event& event : events_) {
      switch (event.kind) {
        case EXTRACTED:
          report.onExtracted(*event.entry);
          break;
        case REFUSED:
          report.onRefused(*event.entry, event.status);
          break;
        case FAILED:
          report.onFailed(event.status);
          break;
        case DIFFERS:
          report.onDiffers(event.status);
          break;
      }
    }
  }

 private:
  enum Kind { EXTRACTED, REFUSED, FAILED, DIFFERS };
  struct Event {
    Kind kind;
    const ArchiveEntry* entry;
    Status status;
  };
  std::vector<Event> events_;
};

// Runs work(i, report) for every i below `count`, on a pool of `threadCount` threads, and
// hands `report` what each reported in the order of i, as soon as the works
// before it are done: the console shows the entries in directory order whatever order they
// finish in. Up to 256 works per thread are handed out ahead of the one shown next (so that
// a large entry does not hold the other threads up); a finished work keeps only its console
// lines until its turn, so memory stays that of the threads' decodes. Every thread is joined before this returns or throws.
void runInOrder(std::size_t count, unsigned threadCount, ReadReport& report,
                const std::function<void(std::size_t, ReadReport&)>& work) {
  const std::size_t threads = std::min<std::size_t>(threadCount, count);
  if (threads <= 1) {
    for (std::size_t i = 0; i < count; ++i) work(i, report);
    return;
  }
  struct Outcome {
    RecordedReport report;
    bool done = false;
    bool outOfMemory = false;
  };
  std::mutex lock;
  std::condition_variable finished;
  std::vector<Outcome> outcomes(count);
  // Declared after what its tasks use: destroying it (on every way out) drops the tasks not
  // yet started and joins the threads before any of that goes.
  WorkerPool pool(static_cast<unsigned>(threads));
  const std::size_t ahead = std::max<std::size_t>(pool.size(), 1) * 256;
  std::size_t posted = 0;
  for (std::size_t next = 0; next < count; ++next) {
    for (; posted < count && posted < next + ahead; ++posted) {
      pool.post([&, index = posted] {
        RecordedReport recorded;
        bool outOfMemory = false;
        try {
          work(index, recorded);
        } catch (const std::bad_alloc&) {
          outOfMemory = true;
        }
        const std::lock_guard<std::mutex> guard(lock);
        outcomes[index].report = std::move(recorded);
        outcomes[index].outOfMemory = outOfMemory;
        outcomes[index].done = true;
        finished.notify_all();
      });
    }
    RecordedReport ready;
    bool outOfMemory = false;
    {
      std::unique_lock<std::mutex> guard(lock);
      finished.wait(guard, [&] { return outcomes[next].done; });
      ready = std::move(outcomes[next].report);
      outOfMemory = outcomes[next].outOfMemory;
    }
    ready.replay(report);
    if (outOfMemory) {
      report.onFailed(Status::fault(Status::Code::OutOfMemory, Reason::NoMemoryForEntry));
    }
  }
}

}  // namespace

void extractEntries(ArchiveReader& reader, const std::vector<const ArchiveEntry*>& entries,
                    const std::string& root, bool force, ReadReport& report, unsigned jobs,
                    platform::FileSystem* files) {
  const Extractor extractor(reader, root, force, platform::fileSystemOr(files));
  // Each file being written holds one of the few places the platform keeps for removing
  // unfinished files when the process is ended early.
  constexpr unsigned MOST_FILES_AT_ONCE = 32;
  runInOrder(entries.size(), std::min(readingThreads(jobs), MOST_FILES_AT_ONCE), report,
             [&](std::size_t index, ReadReport& entryReport) {
               extractor.extract(*entries[index], entryReport);
             });
}

bool testEntries(ArchiveReader& reader, const std::optional<std::string>& sourceFolder,
                 ReadReport& report, const ExcludeRules* excludes, unsigned jobs) {
  Tester tester(reader, report);
  if (sourceFolder && !tester.indexSource(*sourceFolder, excludes)) return false;
  const auto& entries = reader.entries();
  runInOrder(entries.size(), readingThreads(jobs), report,
             [&](std::size_t index, ReadReport& entryReport) {
               tester.forEntries(entryReport).test(entries[index]);
             });
  tester.reportUnarchivedFiles();
  return true;
}

namespace {

// A vector sink that refuses to grow past a limit.
class BoundedVectorSink final : public ByteSink {
 public:
  BoundedVectorSink(std::vector<std::uint8_t>& out, std::uint64_t limit)
      : out_(out), limit_(limit) {}
  bool put(std::span<const std::uint8_t> bytes) override {
    if (bytes.size() > limit_ - out_.size()) {
      overflowed_ = true;
      return false;
    }
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return true;
  }
  bool overflowed() const { return overflowed_; }

 private:
  std::vector<std::uint8_t>& out_;
  std::uint64_t limit_;
  bool overflowed_ = false;
};

// The bytes an entry's file is expected to take (what it records of its source); a picture
// whose BMP file turns out larger than PRINT_BUFFERED_ENTRY is decoded again in its turn.
std::uint64_t expectedFileBytes(const ArchiveEntry& entry) {
  return entry.type == ENTRY_STORED ? entry.storedSize : entry.sourceSize;
}

// One entry printed from memory: decoded by a worker, written by the caller in its turn.
struct BufferedEntry {
  std::vector<std::uint8_t> bytes;
  Status status = Status::ok();
  bool tooLarge = false;  // its file outgrew PRINT_BUFFERED_ENTRY: decoded again in its turn
  bool done = false;
};

void decodeIntoMemory(ArchiveReader& reader, const ArchiveEntry& entry, BufferedEntry& into) {
  try {
    BoundedVectorSink sink(into.bytes, PRINT_BUFFERED_ENTRY);
    into.status = decodeEntry(reader, entry, sink);
    if (sink.overflowed()) {
      into.tooLarge = true;
      into.status = Status::ok();
      std::vector<std::uint8_t>().swap(into.bytes);
    }
  } catch (const std::bad_alloc&) {
    std::vector<std::uint8_t>().swap(into.bytes);
    into.status = entryFailure(
        entry, Status::fault(Status::Code::OutOfMemory, Status::Reason::NoMemoryToDecode));
  }
}

}  // namespace

PrintOutcome printEntries(ArchiveReader& reader, const std::vector<const ArchiveEntry*>& entries,
                          ByteSink& sink, unsigned jobs,
                          const std::function<void(const ArchiveEntry&)>& onDuplicate) {
  const std::size_t count = entries.size();
  const auto buffered = [&](std::size_t index) {
    return !entries[index]->duplicate && expectedFileBytes(*entries[index]) <= PRINT_BUFFERED_ENTRY;
  };
  std::mutex lock;
  std::condition_variable finished;
  std::vector<BufferedEntry> outcomes(count);
  std::optional<WorkerPool> pool;  // last: its destruction joins the threads first
  const unsigned threads = readingThreads(jobs);
  if (threads > 1 && count > 1)
    pool.emplace(static_cast<unsigned>(std::min<std::size_t>(threads, count)));
  const std::size_t window = pool ? std::size_t{4} * pool->size() : 1;
  std::size_t posted = 0;
  std::uint64_t aheadBytes = 0;  // expected bytes of the entries posted and not yet written
  for (std::size_t next = 0; next < count; ++next) {
    // Entries ahead of this one are handed out while their expected bytes fit PRINT_AHEAD
    // (at least the next one) and a few per thread wait.
    for (; posted < count && posted < next + window; ++posted) {
      if (!buffered(posted)) continue;
      const std::uint64_t expected = expectedFileBytes(*entries[posted]);
      if (posted > next && aheadBytes + expected > PRINT_AHEAD) break;
      aheadBytes += expected;
      if (!pool) {
        decodeIntoMemory(reader, *entries[posted], outcomes[posted]);
        outcomes[posted].done = true;
        continue;
      }
      pool->post([&, index = posted] {
        BufferedEntry decoded;
        decodeIntoMemory(reader, *entries[index], decoded);
        const std::lock_guard<std::mutex> guard(lock);
        outcomes[index] = std::move(decoded);
        outcomes[index].done = true;
        finished.notify_all();
      });
    }
    const ArchiveEntry& entry = *entries[next];
    if (entry.duplicate) {
      onDuplicate(entry);
      continue;
    }
    BufferedEntry ready;
    if (buffered(next)) {
      std::unique_lock<std::mutex> guard(lock);
      finished.wait(guard, [&] { return outcomes[next].done; });
      ready = std::move(outcomes[next]);
      aheadBytes -= expectedFileBytes(entry);
    }
    if (!ready.status) return {ready.status, &entry};
    Status status = Status::ok();
    if (buffered(next) && !ready.tooLarge) {
      if (!sink.put(ready.bytes))
        status = entryFailure(
            entry, Status::fault(Status::Code::OutputError, Status::Reason::DecodedBytesNotWritten));
    } else {
      status = decodeEntry(reader, entry, sink);
    }
    if (!status) return {status, &entry};
  }
  return {};
}

unsigned readingThreads(unsigned jobs) {
  if (jobs != 0) return jobs;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

}  // namespace kupack
