// The packing pipeline: a pool of threads codes the entries of a run ahead of time, each
// into memory together with the events it reports, while the writer takes them one after
// the other in directory order. The entry whose turn it is hands on its events and bytes as
// they come (its progress is live); the others are held until their turn. What is held
// stays within a byte budget: an entry that would pass it waits inside its coder until its
// turn, and then streams. Each file is opened once, by its coder, and a stored file is kept
// open for the copy in its turn; the files so held stay within a count. Destroying the
// pipeline stops every coder and joins its threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "archive/pack_events.h"
#include "codec/byte_stream.h"
#include "codec/entry_type.h"
#include "codec/worker_pool.h"
#include "common/status.h"
#include "platform/file.h"

namespace kupack {

struct PipelineEntry {
  std::string name;        // the normalized archive name
  std::string sourcePath;  // the path that opens the file
};

struct PipelineLimits {
  unsigned threads = 1;                             // coding threads (at least 1)
  std::size_t heldBudget = std::size_t{256} << 20;  // coded bytes and events held for later turns
  std::size_t turnBacklog = std::size_t{16} << 20;  // bytes of the current turn not yet taken
  std::size_t lookahead = 1024;                     // entries coded ahead of the turn at most
  std::size_t wakeBytes = std::size_t{1} << 20;     // bytes of the turn that wake the taker
  std::chrono::milliseconds progressBeat{20};       // how often the turn's progress is taken
  // The coders' working memory (windows, tables, bands) in all, by codingWorkingMemory(): a
  // coder that cannot have its share waits before it starts, except the one whose turn it is.
  std::size_t workingBudget = std::size_t{512} << 20;
  // Files held open at once by entries coded ahead of their turn (the entry whose turn it is
  // opens its file regardless), well within what a process may have open.
  std::size_t openFiles = 64;
};

// What coding a file of `sourceSize` bytes may take beyond its coded bytes, at most: the LZSS
// coder's window and tables grow with the source up to a bound, the SPB coder reads bands.
std::size_t codingWorkingMemory(std::uint64_t sourceSize);

// How one entry ended.
struct PipelineOutcome {
  Status status = Status::ok();  // a failure names the file; the run ends on it
  EntryType type = ENTRY_STORED;
  bool copyInTurn = false;         // stored: the caller copies `source` now
  // The file as opened by the coder, for the copy of a stored entry (null otherwise); it is
  // closed when the last holder lets it go.
  std::shared_ptr<const platform::ReadableFile> source;
  bool destinationFailed = false;  // the destination refused the bytes of `type`
  std::uint64_t sourceSize = 0;    // the size learned when the file was first opened
  std::uint64_t codedSize = 0;     // bytes put into the destination (0 for copyInTurn)
};

class PackPipeline {
 public:
  // The files are opened through `files` (the system's for nullptr), which must outlive it.
  PackPipeline(std::vector<PipelineEntry> entries, PipelineLimits limits,
               platform::FileSystem* files = nullptr);
  ~PackPipeline();
  PackPipeline(const PackPipeline&) = delete;
  PackPipeline& operator=(const PackPipeline&) = delete;

  // Makes entry `index` the current one (entries are taken in order, each once), passes its
  // events to `listener` and its coded bytes to `destination` as they come, and returns how
  // it ended. Its events begin with EntryStarted unless it failed before (a file that
  // cannot be opened, or one of 4 GiB or more).
  PipelineOutcome take(std::size_t index, PackListener& listener, ByteSink& destination);

  // The most working memory (by codingWorkingMemory) the coders have held at once so far.
  std::size_t peakWorkingMemory();

 private:
  struct Slot;
  class HeldEvents;
  class HeldSink;

  Slot& slotOf(std::size_t index);
  void postUpTo(std::size_t end);
  void codeEntry(std::size_t index);
  void finishEntry(std::size_t index, PipelineOutcome outcome);
  void wakeTaker(std::size_t index, Slot& slot);  // with mutex_ held
  // Waits, with `lock` on mutex_, until `size` more bytes for entry `index` fit in the budget,
  // or, once it is the entry's turn, until `turnRoom()` says so; false when the pipeline stops.
  template <class TurnRoom>
  bool waitForRoom(std::unique_lock<std::mutex>& lock, std::size_t index, Slot& slot,
                   std::size_t size, TurnRoom turnRoom);
  void stop();
  // Waits, with `lock` on mutex_, until `share` more bytes of working memory fit in the
  // budget or entry `index` has its turn, then counts them; false when the pipeline stops.
  bool acquireWorkingMemory(std::unique_lock<std::mutex>& lock, std::size_t index,
                            std::size_t share);
  void releaseWorkingMemory(std::size_t share);
  // The same for one of the limits_.openFiles files held open.
  bool acquireOpenFile(std::size_t index);
  void releaseOpenFile();
  // Opens entry `index`'s file under an open-file share given back when it is closed;
  // false when the pipeline stops.
  bool openSource(std::size_t index, std::shared_ptr<const platform::ReadableFile>& file,
                  Status& status);

  const std::vector<PipelineEntry> entries_;
  const PipelineLimits limits_;
  platform::FileSystem& files_;
  std::mutex mutex_;
  std::condition_variable news_;  // for the taker: the current entry has something new
  std::condition_variable room_;  // for coders: the budget or the turn has changed
  std::size_t turn_ = 0;
  std::size_t held_ = 0;  // coded bytes and event memory held over all entries
  std::size_t working_ = 0;  // working memory of the coders at work, by codingWorkingMemory
  std::size_t peakWorking_ = 0;
  std::size_t openFiles_ = 0;  // files held open, by the coders and the stored entries' slots
  std::size_t posted_ = 0;
  bool stopping_ = false;
  // Set only while an entry is coded on the taker's own thread (a pool without threads).
  PackListener* inlineListener_ = nullptr;
  ByteSink* inlineDestination_ = nullptr;
  bool inlineFailed_ = false;
  // A ring: entry i lives in slots_[i % size]. After the mutex: a held file given back on
  // destruction takes it.
  std::vector<Slot> slots_;
  WorkerPool pool_;  // last: its threads end before anything they use
};

}  // namespace kupack
