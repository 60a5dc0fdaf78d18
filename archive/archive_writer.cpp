#include "archive/archive_writer.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "archive/archive_format.h"
#include "archive/copy_stream.h"
#include "archive/file_streams.h"
#include "archive/pack_pipeline.h"
#include "archive/stored_entry.h"
#include "common/byte_order.h"
#include "platform/platform.h"

namespace kupack {
namespace {

// What the directory records of an entry besides its name.
struct DirectoryRecord {
  EntryType type = ENTRY_STORED;
  std::uint32_t offset = 0;
  std::uint32_t storedSize = 0;
  std::uint32_t sourceSize = 0;
};

std::vector<PipelineEntry> pipelineEntries(const ArchiveJob& job,
                                           const std::vector<CollectedFile>& files) {
  std::vector<PipelineEntry> entries;
  entries.reserve(files.size());
  for (const CollectedFile& file : files)
    entries.push_back(
        {normalizeName(file.name), platform::joinPath(job.rootFolder, file.nativePath)});
  return entries;
}

// Asks the system to start writing ranges of a file out to its disk, on a thread of its own:
// the call can wait for the disk's queue and for the file system to place the blocks, and
// the writer has better things to do meanwhile. Ranges asked for while one is on its way are
// joined into one. Destroying it drops what has not been started and joins the thread; the
// file must outlive it. Without a thread, each range is started at once on the caller's.
class WritebackPusher {
 public:
  explicit WritebackPusher(platform::WritableFile& file) : file_(file) {
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      // No thread to be had: push() works on the caller's.
    }
  }
  ~WritebackPusher() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
  }
  WritebackPusher(const WritebackPusher&) = delete;
  WritebackPusher& operator=(const WritebackPusher&) = delete;

  void push(std::uint64_t from, std::uint64_t to) {
    if (!thread_.joinable()) {
      file_.startWriteback(from, to);
      return;
    }
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (from_ == to_) from_ = from;
      to_ = to;
    }
    wake_.notify_one();
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || from_ != to_; });
      if (stopping_) return;
      const std::uint64_t from = from_;
      const std::uint64_t to = to_;
      from_ = to_;
      lock.unlock();
      file_.startWriteback(from, to);
      lock.lock();
    }
  }

  platform::WritableFile& file_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::uint64_t from_ = 0;  // the range still to be started (none while from_ == to_)
  std::uint64_t to_ = 0;
  bool stopping_ = false;
  std::thread thread_;  // last: started once everything it uses is there
};

// One run of the writer; the part file closes itself on every way out.
class Writer {
 public:
  Writer(const ArchiveJob& job, const std::vector<CollectedFile>& files, const KeptEntries& kept,
         const std::vector<MergedSlot>& slots, PackListener& listener)
      : job_(job),
        files_(files),
        kept_(kept),
        slots_(slots),
        listener_(listener),
        partPath_(partialArchivePath(job.archivePath)) {}

  Status run() {
    Status status = writeAll();
    if (archive_ != nullptr) {
      static_cast<void>(archive_->close());
      if (!status) platform::removeFile(partPath_);
    }
    return status;
  }

 private:
  // Hands bytes on to the archive's file, adding the time that takes to `seconds`.
  class TimedSink final : public ByteSink {
   public:
    TimedSink(ByteSink& inner, double& seconds) : inner_(inner), seconds_(seconds) {}
    bool put(std::span<const std::uint8_t> bytes) override {
      const auto start = std::chrono::steady_clock::now();
      const bool written = inner_.put(bytes);
      seconds_ += secondsSince(start);
      return written;
    }

   private:
    ByteSink& inner_;
    double& seconds_;
  };

  static double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  Status writeAll() {
    PackPhaseTimes ignored;
    PackPhaseTimes& times = job_.phaseTimes != nullptr ? *job_.phaseTimes : ignored;
    auto phaseStart = std::chrono::steady_clock::now();
    // The archive is new, made under a name of its own and never through a link.
    if (Status created = openPartFile(files(), job_.archivePath, archive_, partCleanup_); !created)
      return created;
    partPath_ = archive_->path();
    replacing_ = platform::pathExists(job_.archivePath);
    // The replaced archive's permissions from the start, so that what it keeps from others
    // is never readable in the part file either; set again before the rename.
    if (Status kept = archive_->keepAttributesOf(job_.archivePath); !kept) return kept;
    // The data area starts where the names say; the header and directory come last.
    dataStart_ = directoryEnd();
    if (Status placed = archive_->seek(dataStart_); !placed) return placed;
    {
      // Stopped before the part file is closed, on every way out.
      std::optional<WritebackPusher> pusher;
      if (replacing_) pusher.emplace(*archive_);
      pusher_ = pusher ? &*pusher : nullptr;
      // Forgotten before the pusher goes, on every way out of the block.
      const struct Forget {
        WritebackPusher*& pusher;
        ~Forget() { pusher = nullptr; }
      } forget{pusher_};
      PackPipeline pipeline(pipelineEntries(job_, files_),
                            {.threads = codingThreads(job_.jobs),
                             .heldBudget = job_.heldBudget,
                             .workingBudget = job_.workingBudget},
                            &files());  // joined on every way out
      records_.reserve(slots_.size());
      times.start = secondsSince(phaseStart);
      phaseStart = std::chrono::steady_clock::now();
      for (std::size_t i = 0; i < slots_.size();) {
        const std::size_t end = slots_[i].kept ? keptRunEnd(i) : i + 1;
        Status written = slots_[i].kept ? copyKeptRun(i, end, times.writing)
                                        : writeEntry(pipeline, slots_[i].index, times.writing);
        if (!written) return written;
        i = end;
      }
      times.entries = secondsSince(phaseStart);
      phaseStart = std::chrono::steady_clock::now();
    }
    listener_.onEvent({PackEvent::Kind::Joining, {}});
    reportCopy(offset_, listener_);
    if (Status written = writeDirectory(); !written) return written;
    if (Status kept = archive_->keepAttributesOf(job_.archivePath); !kept) return kept;
    if (Status closed = archive_->close(); !closed) return closed;
    if (kept_.archive != nullptr) {
      if (!(*kept_.archive)->stillNamedBy(kept_.archivePath))
        return Status::file(Status::Code::SourceChanged, kept_.archivePath);
      kept_.archive->reset();  // nothing more is read of it
    }
    if (!platform::replaceFile(partPath_, job_.archivePath)) {
      const int error = errno;
      return Status::rename(partPath_, job_.archivePath, error);
    }
    times.finish = secondsSince(phaseStart);
    return Status::ok();
  }

  Status writeEntry(PackPipeline& pipeline, std::size_t index, double& writingSeconds) {
    WritableFileSink sink(*archive_);
    TimedSink timed(sink, writingSeconds);
    PipelineOutcome outcome = pipeline.take(index, listener_, timed);
    // A coder's bytes that cannot be written are the bare output error for the LZSS coding,
    // as they always were; otherwise the archive's file is named.
    if (outcome.destinationFailed) {
      if (outcome.type == ENTRY_LZSS) return Status::outputError();
      return sink.failure();
    }
    if (!outcome.status) return outcome.status;
    std::uint64_t storedSize = outcome.codedSize;
    // A coded entry's coder checked that its file was unchanged once all of it was read; a
    // stored one is copied now from the file its coder opened, and checked the same way.
    if (outcome.copyInTurn) {
      const auto copyStart = std::chrono::steady_clock::now();
      Status copied = storeEntry(*outcome.source, *archive_, listener_, storedSize);
      writingSeconds += secondsSince(copyStart);
      outcome.source.reset();  // closed
      if (!copied) return copied;
    }
    if (storedSize > MAX_ENTRY_SIZE || offset_ + storedSize > MAX_ENTRY_SIZE) {
      return Status::file(Status::Code::DataTooLarge, {});
    }
    listener_.onEvent({PackEvent::Kind::EntrySizes, {}, outcome.sourceSize, storedSize});
    // The entry's bytes once went through a scratch file; its copy still shows.
    reportCopy(storedSize, listener_);
    records_.push_back({outcome.type, static_cast<std::uint32_t>(offset_),
                        static_cast<std::uint32_t>(storedSize),
                        static_cast<std::uint32_t>(outcome.sourceSize)});
    offset_ += storedSize;
    if (pusher_ != nullptr) pushWrittenBytes();
    return Status::ok();
  }

  // The end of the run of kept entries from slot `first` on whose bytes follow each other in
  // the old archive, so that they are copied in one go.
  std::size_t keptRunEnd(std::size_t first) const {
    std::size_t end = first + 1;
    for (; end < slots_.size() && slots_[end].kept; ++end) {
      const KeptEntry& before = kept_.entries[slots_[end - 1].index];
      if (kept_.entries[slots_[end].index].position != before.position + before.storedSize) break;
    }
    return end;
  }

  // The stored bytes of the kept entries in slots [first, end), copied from the old archive
  // as they are.
  Status copyKeptRun(std::size_t first, std::size_t end, double& writingSeconds) {
    const std::uint64_t position = kept_.entries[slots_[first].index].position;
    std::uint64_t length = 0;
    for (std::size_t i = first; i < end; ++i) {
      const KeptEntry& entry = kept_.entries[slots_[i].index];
      if (offset_ + length + entry.storedSize > MAX_ENTRY_SIZE)
        return Status::file(Status::Code::DataTooLarge, {});
      records_.push_back({entry.type, static_cast<std::uint32_t>(offset_ + length),
                          entry.storedSize, entry.sourceSize});
      length += entry.storedSize;
    }
    const auto copyStart = std::chrono::steady_clock::now();
    Status copied = archive_->appendCopyOf(**kept_.archive, position, length);
    writingSeconds += secondsSince(copyStart);
    if (!copied) return copied;
    offset_ += length;
    if (pusher_ != nullptr) pushWrittenBytes();
    return Status::ok();
  }

  const std::string& slotName(const MergedSlot& slot) const {
    return slot.kept ? kept_.entries[slot.index].name : files_[slot.index].name;
  }

  std::uint32_t directoryEnd() const {
    std::uint64_t end = ARCHIVE_HEADER_SIZE;
    for (const MergedSlot& slot : slots_) end += slotName(slot).size() + DIRECTORY_RECORD_OVERHEAD;
    return static_cast<std::uint32_t>(end);
  }

  // Sends each further WRITEBACK_STEP of written data area on its way to the disk.
  void pushWrittenBytes() {
    const std::uint64_t written = dataStart_ + offset_;
    if (written - pushed_ < WRITEBACK_STEP) return;
    pusher_->push(pushed_, written);
    pushed_ = written;
  }
  static constexpr std::uint64_t WRITEBACK_STEP = std::uint64_t{8} << 20;

  // The header and the directory, at the start of the file, in one write.
  Status writeDirectory() {
    std::vector<std::uint8_t> bytes(dataStart_);
    std::uint8_t* at = bytes.data();
    storeBE16(at, static_cast<std::uint32_t>(slots_.size() & 0xFFFF));
    storeBE32(at + 2, dataStart_);
    at += ARCHIVE_HEADER_SIZE;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      const std::string name = normalizeName(slotName(slots_[i]));
      const DirectoryRecord& record = records_[i];
      std::memcpy(at, name.c_str(), name.size() + 1);
      at += name.size() + 1;
      *at++ = record.type;
      storeBE32(at, record.offset);
      storeBE32(at + 4, record.storedSize);
      storeBE32(at + 8, record.sourceSize);
      at += 12;
    }
    if (Status placed = archive_->seek(0); !placed) return placed;
    return archive_->append(bytes);
  }

  platform::FileSystem& files() const { return platform::fileSystemOr(job_.files); }

  const ArchiveJob& job_;
  const std::vector<CollectedFile>& files_;
  const KeptEntries& kept_;
  const std::vector<MergedSlot>& slots_;
  PackListener& listener_;
  std::string partPath_;  // the name the archive is written under, once made
  // Registered for removal should the run end early, until the archive is in place.
  platform::RemovedOnEarlyEnd partCleanup_;
  std::unique_ptr<platform::WritableFile> archive_;
  std::vector<DirectoryRecord> records_;
  std::uint32_t dataStart_ = 0;  // where the data area begins: the directory's end
  std::uint64_t offset_ = 0;
  bool replacing_ = false;    // an archive of that name exists and will be replaced
  std::uint64_t pushed_ = 0;  // bytes of the part file sent on their way to the disk
  // Sends them while the entries are written, when an archive of that name is replaced.
  WritebackPusher* pusher_ = nullptr;
};

}  // namespace

std::string partialArchivePath(const std::string& archivePath) { return archivePath + ".part"; }

Status openPartFile(platform::FileSystem& files, const std::string& archivePath,
                    std::unique_ptr<platform::WritableFile>& part,
                    platform::RemovedOnEarlyEnd& cleanup) {
  return files.createUnique(archivePath, ".part", &cleanup, part);
}

unsigned codingThreads(unsigned jobs) {
  if (jobs != 0) return jobs;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

Status buildArchive(const ArchiveJob& job, const std::vector<CollectedFile>& files,
                    PackListener& listener) {
  std::vector<MergedSlot> slots(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) slots[i].index = i;
  return Writer(job, files, KeptEntries{}, slots, listener).run();
}

Status buildMergedArchive(const ArchiveJob& job, const std::vector<CollectedFile>& files,
                          const KeptEntries& kept, const std::vector<MergedSlot>& slots,
                          PackListener& listener) {
  return Writer(job, files, kept, slots, listener).run();
}

}  // namespace kupack
