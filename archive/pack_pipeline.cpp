#include "archive/pack_pipeline.h"

#include <algorithm>
#include <new>
#include <utility>

#include "archive/archive_format.h"
#include "archive/entry_encoder.h"

namespace kupack {

struct PackPipeline::Slot {
  std::vector<PackEvent> events;                  // reported, not yet taken
  std::vector<std::vector<std::uint8_t>> chunks;  // coded, not yet taken
  std::size_t pending = 0;                        // bytes in chunks
  std::size_t eventBytes = 0;                     // memory the events take
  std::uint64_t coded = 0;                        // bytes coded in all
  bool urgent = false;  // something the taker should not wait for has come
  bool finished = false;
  PipelineOutcome outcome;
};

// An entry's events, held in its slot (or passed on at once when the entry is coded on the
// taker's own thread). They count against the budget as the coded bytes do: a coder whose
// events do not fit waits until they do or until its turn comes.
class PackPipeline::HeldEvents final : public PackListener {
 public:
  HeldEvents(PackPipeline& owner, std::size_t index) : owner_(owner), index_(index) {}
  void onEvent(const PackEvent& event) override {
    if (owner_.inlineListener_ != nullptr) {
      owner_.inlineListener_->onEvent(event);
      return;
    }
    const std::size_t size = sizeof(PackEvent) + event.path.capacity();
    std::unique_lock<std::mutex> lock(owner_.mutex_);
    Slot& slot = owner_.slotOf(index_);
    if (!owner_.waitForRoom(lock, index_, slot, size, [] { return true; })) return;
    slot.events.push_back(event);
    slot.eventBytes += size;
    owner_.held_ += size;
    // Progress is frequent; the taker collects it on its own beat rather than being woken
    // for each figure.
    if (event.kind != PackEvent::Kind::CodingProgress) owner_.wakeTaker(index_, slot);
  }

 private:
  PackPipeline& owner_;
  const std::size_t index_;
};

// An entry's coded bytes, held in its slot within the budget. A coder whose bytes do not fit
// waits here until they do or until its turn comes; the current entry waits only while the
// taker is behind by a whole backlog. Refuses everything once the pipeline stops.
class PackPipeline::HeldSink final : public ByteSink {
 public:
  HeldSink(PackPipeline& owner, std::size_t index) : owner_(owner), index_(index) {}
  bool put(std::span<const std::uint8_t> bytes) override {
    if (bytes.empty()) return true;
    if (owner_.inlineDestination_ != nullptr) return putInline(bytes);
    std::vector<std::uint8_t> chunk(bytes.begin(), bytes.end());
    std::unique_lock<std::mutex> lock(owner_.mutex_);
    Slot& slot = owner_.slotOf(index_);
    const auto takerKeepsUp = [&] { return slot.pending < owner_.limits_.turnBacklog; };
    if (!owner_.waitForRoom(lock, index_, slot, chunk.size(), takerKeepsUp)) return false;
    slot.chunks.push_back(std::move(chunk));
    slot.pending += bytes.size();
    slot.coded += bytes.size();
    owner_.held_ += bytes.size();
    if (slot.pending >= owner_.limits_.wakeBytes) owner_.wakeTaker(index_, slot);
    return true;
  }

 private:
  bool putInline(std::span<const std::uint8_t> bytes) {
    if (!owner_.inlineDestination_->put(bytes)) {
      owner_.inlineFailed_ = true;
      return false;
    }
    owner_.slotOf(index_).coded += bytes.size();
    return true;
  }

  PackPipeline& owner_;
  const std::size_t index_;
};

template <class TurnRoom>
bool PackPipeline::waitForRoom(std::unique_lock<std::mutex>& lock, std::size_t index, Slot& slot,
                               std::size_t size, TurnRoom turnRoom) {
  const auto fits = [&] {
    if (index == turn_) return turnRoom();
    return held_ + size <= limits_.heldBudget;
  };
  if (!fits()) wakeTaker(index, slot);  // it may be waited for
  room_.wait(lock, [&] { return stopping_ || fits(); });
  return !stopping_;
}

std::size_t codingWorkingMemory(std::uint64_t sourceSize) {
  constexpr std::uint64_t LARGEST_WINDOW = std::uint64_t{16} << 20;
  // Tables, a second thread's coder, bands, read and output buffers, with room to spare (a
  // whole run of one 16 MiB palette bitmap at -j 1 peaks at about 12 MiB beyond a run of a
  // small one).
  constexpr std::uint64_t FIXED = std::uint64_t{8} << 20;
  return static_cast<std::size_t>(std::min(sourceSize, LARGEST_WINDOW) + FIXED);
}

bool PackPipeline::acquireWorkingMemory(std::unique_lock<std::mutex>& lock, std::size_t index,
                                        std::size_t share) {
  room_.wait(lock, [&] {
    return stopping_ || index == turn_ || working_ + share <= limits_.workingBudget;
  });
  if (stopping_) return false;
  working_ += share;
  peakWorking_ = std::max(peakWorking_, working_);
  return true;
}

std::size_t PackPipeline::peakWorkingMemory() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return peakWorking_;
}

bool PackPipeline::acquireOpenFile(std::size_t index) {
  std::unique_lock<std::mutex> lock(mutex_);
  room_.wait(lock, [&] {
    return stopping_ || index == turn_ || openFiles_ < std::max<std::size_t>(1, limits_.openFiles);
  });
  if (stopping_) return false;
  ++openFiles_;
  return true;
}

void PackPipeline::releaseOpenFile() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    --openFiles_;
  }
  room_.notify_all();
}

bool PackPipeline::openSource(std::size_t index,
                              std::shared_ptr<const platform::ReadableFile>& file, Status& status) {
  if (!acquireOpenFile(index)) return false;
  std::unique_ptr<platform::ReadableFile> opened;
  status = files_.openReadable(entries_[index].sourcePath, opened);
  if (!status) {
    releaseOpenFile();
    return true;
  }
  file = std::shared_ptr<const platform::ReadableFile>(
      opened.release(), [this](const platform::ReadableFile* held) {
        delete held;
        releaseOpenFile();
      });
  return true;
}

void PackPipeline::releaseWorkingMemory(std::size_t share) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    working_ -= share;
  }
  room_.notify_all();
}

PackPipeline::PackPipeline(std::vector<PipelineEntry> entries, PipelineLimits limits,
                           platform::FileSystem* files)
    : entries_(std::move(entries)),
      limits_(limits),
      files_(platform::fileSystemOr(files)),
      slots_(std::max<std::size_t>(1, std::min(entries_.size(), limits.lookahead))),
      pool_(std::max(1u, limits.threads)) {
  postUpTo(slots_.size());
}

PackPipeline::~PackPipeline() { stop(); }

void PackPipeline::stop() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  room_.notify_all();
}

PackPipeline::Slot& PackPipeline::slotOf(std::size_t index) {
  return slots_[index % slots_.size()];
}

void PackPipeline::postUpTo(std::size_t end) {
  if (pool_.size() == 0) return;  // no thread: each entry is coded when taken
  for (end = std::min(end, entries_.size()); posted_ < end; ++posted_) {
    const std::size_t index = posted_;
    pool_.post([this, index] { codeEntry(index); });
  }
}

void PackPipeline::codeEntry(std::size_t index) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
  }
  const PipelineEntry& entry = entries_[index];
  PipelineOutcome outcome;
  try {
    HeldEvents events(*this, index);
    // The file is opened here, once: the coder, the bitmap check and the stored copy all
    // read this open file, so no other file can take its name in between.
    std::shared_ptr<const platform::ReadableFile> file;
    if (!openSource(index, file, outcome.status)) return;
    if (file != nullptr) {
      outcome.sourceSize = file->size();
      if (outcome.sourceSize > MAX_ENTRY_SIZE) {
        outcome.status = Status::file(Status::Code::FileTooLarge, entry.sourcePath);
      } else {
        const std::size_t share = codingWorkingMemory(outcome.sourceSize);
        {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!acquireWorkingMemory(lock, index, share)) return;
        }
        struct Release {
          PackPipeline& owner;
          std::size_t share;
          ~Release() { owner.releaseWorkingMemory(share); }
        } release{*this, share};
        events.onEvent({PackEvent::Kind::EntryStarted, entry.name, index + 1, entries_.size()});
        HeldSink sink(*this, index);
        const EncodedEntry encoded = encodeEntry(entry.name, *file, sink, events, &pool_);
        outcome.status = encoded.status;
        outcome.type = encoded.type;
        outcome.copyInTurn = encoded.status.isOk() && encoded.type == ENTRY_STORED;
        if (outcome.copyInTurn) outcome.source = std::move(file);
      }
    }
  } catch (const std::bad_alloc&) {
    outcome.status = Status::file(Status::Code::OutOfMemory, entry.sourcePath);
  }
  finishEntry(index, std::move(outcome));
}

void PackPipeline::finishEntry(std::size_t index, PipelineOutcome outcome) {
  const std::lock_guard<std::mutex> lock(mutex_);
  Slot& slot = slotOf(index);
  slot.outcome = std::move(outcome);
  slot.finished = true;
  wakeTaker(index, slot);
}

void PackPipeline::wakeTaker(std::size_t index, Slot& slot) {
  slot.urgent = true;
  if (index == turn_) news_.notify_one();
}

PipelineOutcome PackPipeline::take(std::size_t index, PackListener& listener,
                                   ByteSink& destination) {
  Slot& slot = slotOf(index);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    turn_ = index;
  }
  room_.notify_all();
  if (pool_.size() == 0) {
    // No thread could be started: the entry is coded here, its events and bytes passed on
    // as they come.
    inlineListener_ = &listener;
    inlineDestination_ = &destination;
    codeEntry(index);
    inlineListener_ = nullptr;
    inlineDestination_ = nullptr;
  }

  std::vector<PackEvent> events;
  std::vector<std::vector<std::uint8_t>> chunks;
  EntryType coding = ENTRY_STORED;  // as reported so far
  for (bool finished = false; !finished;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      // Woken for what matters at once; progress and small amounts of bytes are taken on a
      // beat, so that a coder does not wake this thread for each figure.
      news_.wait_for(lock, limits_.progressBeat, [&] { return slot.urgent; });
      slot.urgent = false;
      events.swap(slot.events);
      chunks.swap(slot.chunks);
      held_ -= slot.pending + slot.eventBytes;
      slot.pending = 0;
      slot.eventBytes = 0;
      finished = slot.finished;
    }
    room_.notify_all();
    for (const PackEvent& event : events) {
      if (event.kind == PackEvent::Kind::CodingChosen) coding = event.coding;
      listener.onEvent(event);
    }
    events.clear();
    for (const auto& chunk : chunks) {
      if (!destination.put(chunk)) {
        PipelineOutcome failed;
        failed.type = coding;
        failed.destinationFailed = true;
        return failed;
      }
    }
    chunks.clear();
  }

  PipelineOutcome outcome = std::move(slot.outcome);
  outcome.codedSize = slot.coded;
  if (inlineFailed_) outcome.destinationFailed = true;
  slot = Slot{};
  postUpTo(index + 1 + slots_.size());
  return outcome;
}

}  // namespace kupack
