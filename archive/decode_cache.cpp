#include "archive/decode_cache.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "platform/file.h"

namespace kupack {
namespace {

Status noMemory() {
  return Status::fault(Status::Code::OutOfMemory, Status::Reason::NoMemoryToDecode);
}

}  // namespace

struct DecodeCache::Decoded {
  enum class State { Decoding, Ready, Failed };
  State state = State::Decoding;
  std::uint64_t size = 0;       // bytes decoded so far (by the decoding thread)
  std::uint64_t available = 0;  // of which readers may take while it is decoded (under the lock)
  std::condition_variable decodedMore;  // has more bytes, or has ended
  std::uint64_t setAside = 0;   // bytes counted against memory for this entry
  std::vector<std::uint8_t> bytes;  // the decoded entry, unless it is in `file`
  std::unique_ptr<platform::ScratchFile> file;
  bool inFile = false;
  bool listed = false;  // closed and kept, at `place` in the recency list
  std::list<std::size_t>::iterator place;
};

DecodeCache::DecodeCache(std::uint64_t budget, platform::FileSystem& files, Decoder decode,
                         Reporter report, unsigned threads)
    : budget_(budget),
      memoryLimit_(budget > std::numeric_limits<std::uint64_t>::max() / 2
                       ? std::numeric_limits<std::uint64_t>::max()
                       : 2 * budget),
      files_(files),
      decode_(std::move(decode)),
      report_(std::move(report)),
      threads_(threads) {}

DecodeCache::~DecodeCache() = default;

void DecodeCache::opened(std::size_t entry) {
  const std::lock_guard lock(mutex_);
  ++openCounts_[entry];
  const auto found = entries_.find(entry);
  if (found == entries_.end() || !found->second->listed) return;
  // Open again: no longer one of the closed entries that may be thrown away.
  Decoded& decoded = *found->second;
  leastRecent_.erase(decoded.place);
  decoded.listed = false;
  cachedBytes_ -= decoded.size;
}

void DecodeCache::closed(std::size_t entry) {
  const std::lock_guard lock(mutex_);
  const auto count = openCounts_.find(entry);
  if (count == openCounts_.end() || --count->second > 0) return;
  openCounts_.erase(count);
  const auto found = entries_.find(entry);
  // An entry still decoding is kept or dropped by its decoder; a failed one stays failed.
  if (found == entries_.end() || found->second->state != Decoded::State::Ready) return;
  if (found->second->inFile) {
    entries_.erase(found);  // a temporary file lives only while its entry is open
  } else {
    keepClosed(entry, found->second);
  }
}

int DecodeCache::read(std::size_t entry, std::uint64_t size, std::uint64_t offset,
                      std::span<std::uint8_t> piece) {
  if (piece.empty()) return 0;
  const std::uint64_t need = offset + piece.size();
  std::unique_lock lock(mutex_);
  const std::shared_ptr<Decoded> held = findOrBegin(lock, entry, size);
  if (held == nullptr) return EIO;
  held->decodedMore.wait(lock, [&] {
    return held->state != Decoded::State::Decoding || held->available >= need;
  });
  switch (held->state) {
    case Decoded::State::Failed:
      return EIO;
    case Decoded::State::Decoding:
      // Copied under the lock: a decode that fails lets its bytes go under it.
      return copyOut(entry, *held, offset, piece);
    case Decoded::State::Ready:
      break;
  }
  if (held->listed) leastRecent_.splice(leastRecent_.end(), leastRecent_, held->place);
  lock.unlock();
  if (held->size != size) {
    report_(entry, Status::corrupt(Status::Reason::DecodedSizeMismatch, {held->size, size}));
    return EIO;
  }
  return copyOut(entry, *held, offset, piece);
}

int DecodeCache::copyOut(std::size_t entry, const Decoded& decoded, std::uint64_t offset,
                         std::span<std::uint8_t> piece) {
  if (decoded.inFile) {
    if (Status read = decoded.file->readAt(offset, piece); !read) {
      report_(entry, Status::fault(Status::Code::CannotRead, Status::Reason::TemporaryUnreadable)
                         .withErrorNumber(read.errorNumber()));
      return EIO;
    }
  } else {
    std::memcpy(piece.data(), decoded.bytes.data() + offset, piece.size());
  }
  return 0;
}

std::shared_ptr<DecodeCache::Decoded> DecodeCache::findOrBegin(std::unique_lock<std::mutex>& lock,
                                                               std::size_t entry,
                                                               std::uint64_t size) {
  const auto found = entries_.find(entry);
  if (found != entries_.end()) return found->second;
  std::shared_ptr<Decoded> decoding;
  try {
    decoding = std::make_shared<Decoded>();
    entries_.emplace(entry, decoding);
  } catch (const std::bad_alloc&) {
    lock.unlock();
    report_(entry, noMemory());
    lock.lock();
    return nullptr;
  }
  decoding->inFile = !makeRoom(size);
  if (!decoding->inFile) {
    decoding->setAside = size;
    memoryBytes_ += size;
    peakMemoryBytes_ = std::max(peakMemoryBytes_, memoryBytes_);
  }
  ++decodes_;
  if (size >= LARGE_ENTRY && threads_ > 0) {
    try {
      if (pool_ == nullptr) pool_ = std::make_unique<WorkerPool>(threads_);
      if (pool_->size() > 0) {
        pool_->post([this, entry, decoding] { decodeEntry(entry, decoding); });
        return decoding;
      }
    } catch (const std::bad_alloc&) {
      // Decoded here instead.
    }
  }
  lock.unlock();
  decodeEntry(entry, decoding);
  lock.lock();
  return decoding;
}

// Only this thread writes the decode's bytes until its state leaves Decoding under the lock.
void DecodeCache::decodeEntry(std::size_t entry, const std::shared_ptr<Decoded>& decoding) {
  bool outOfMemory = false;
  bool done = false;
  try {
    // Reserved whole: the bytes stay where they are while readers take them.
    if (!decoding->inFile) decoding->bytes.reserve(static_cast<std::size_t>(decoding->setAside));
    done = decodeInto(entry, *decoding);
  } catch (const std::bad_alloc&) {
    outOfMemory = true;
  }
  if (outOfMemory) report_(entry, noMemory());

  {
    const std::lock_guard lock(mutex_);
    decoding->state = done ? Decoded::State::Ready : Decoded::State::Failed;
    if (!done) {
      memoryBytes_ -= decoding->setAside;
      decoding->setAside = 0;
      decoding->bytes = {};
      decoding->file.reset();
      // Memory may come back: a later read tries again. Other failures stay failures.
      if (outOfMemory) entries_.erase(entry);
    } else if (!isOpen(entry)) {
      if (decoding->inFile) {
        entries_.erase(entry);
      } else {
        keepClosed(entry, decoding);
      }
    }
  }
  decoding->decodedMore.notify_all();
}

// Takes the decoded pieces into memory (never more than was set aside) or into the entry's
// temporary file, and lets the readers waiting for them go on.
class DecodeCache::DecodedSink final : public ByteSink {
 public:
  DecodedSink(DecodeCache& owner, Decoded& target) : owner_(owner), target_(target) {}
  bool put(std::span<const std::uint8_t> piece) override {
    if (!target_.inFile) {
      if (piece.size() > target_.setAside - target_.size) return false;
      target_.bytes.insert(target_.bytes.end(), piece.begin(), piece.end());
    } else if (!target_.file->writeAt(target_.size, piece)) {
      return false;
    }
    target_.size += piece.size();
    {
      const std::lock_guard lock(owner_.mutex_);
      target_.available = target_.size;
    }
    target_.decodedMore.notify_all();
    return true;
  }

 private:
  DecodeCache& owner_;
  Decoded& target_;
};

bool DecodeCache::decodeInto(std::size_t entry, Decoded& target) {
  if (target.inFile) {
    if (Status created = files_.createScratch(target.file); !created) {
      report_(entry, Status::fault(Status::Code::CannotCreate, Status::Reason::TemporaryUncreatable)
                         .withErrorNumber(created.errorNumber()));
      return false;
    }
  }
  DecodedSink sink(*this, target);
  return decode_(entry, sink);
}

// True when `size` decoded bytes may go to memory, after throwing away closed entries
// as needed: entries larger than the budget never do, and memory holds at most twice it.
bool DecodeCache::makeRoom(std::uint64_t size) {
  if (size > budget_ || size > std::numeric_limits<std::size_t>::max()) return false;
  while (memoryBytes_ + size > memoryLimit_ && !leastRecent_.empty()) evictOldest();
  return memoryBytes_ + size <= memoryLimit_;
}

void DecodeCache::keepClosed(std::size_t entry, const std::shared_ptr<Decoded>& decoded) {
  decoded->place = leastRecent_.insert(leastRecent_.end(), entry);
  decoded->listed = true;
  cachedBytes_ += decoded->size;
  while (cachedBytes_ > budget_ && leastRecent_.front() != entry) evictOldest();
}

// Readers still copying from an evicted entry keep its bytes until they are done.
void DecodeCache::evictOldest() {
  const auto victim = entries_.find(leastRecent_.front());
  leastRecent_.pop_front();
  cachedBytes_ -= victim->second->size;
  memoryBytes_ -= victim->second->setAside;
  victim->second->listed = false;
  entries_.erase(victim);
}

bool DecodeCache::isOpen(std::size_t entry) const { return openCounts_.contains(entry); }

std::uint64_t DecodeCache::decodeCount() const {
  const std::lock_guard lock(mutex_);
  return decodes_;
}

std::uint64_t DecodeCache::cachedBytes() const {
  const std::lock_guard lock(mutex_);
  return cachedBytes_;
}

std::uint64_t DecodeCache::peakMemoryBytes() const {
  const std::lock_guard lock(mutex_);
  return peakMemoryBytes_;
}

}  // namespace kupack
