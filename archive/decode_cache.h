// The mount's decoded entries, shared by every reader: each entry is decoded once however
// many readers wait for them. Decoded bytes held in memory never pass twice the budget:
// open entries (never thrown away while open, so that a file read piece by piece is
// decoded once), decodes under way, and closed entries kept for later up to the budget,
// the least recently used going first. Entries larger than the budget, and decodes that
// find no room in memory, go to unnamed temporary files that live while the entry is open.
// Large entries are decoded on a pool of threads of the cache's own, and every read is
// served as soon as the bytes it asks for are decoded, not when the whole entry is.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>

#include "codec/byte_stream.h"
#include "codec/worker_pool.h"
#include "common/status.h"
#include "platform/file.h"

namespace kupack {

class DecodeCache {
 public:
  // Decodes the entry into `sink`; false when it fails (having reported why).
  using Decoder = std::function<bool(std::size_t entry, ByteSink& sink)>;
  // A problem with an entry's decoded bytes (the Status does not name the entry).
  using Reporter = std::function<void(std::size_t entry, const Status& problem)>;

  // Entries of at least this many decoded bytes are decoded on the pool.
  static constexpr std::uint64_t LARGE_ENTRY = std::uint64_t{1} << 20;

  // Scratch files are made through `files`. Large entries are decoded on `threads` threads
  // (none: each entry on the thread of its first reader), started at the first such decode,
  // in the process that serves the reads (a mount's server is forked off after the cache
  // is made, and a fork takes no threads along).
  DecodeCache(std::uint64_t budget, platform::FileSystem& files, Decoder decode, Reporter report,
              unsigned threads = 0);
  ~DecodeCache();
  DecodeCache(const DecodeCache&) = delete;
  DecodeCache& operator=(const DecodeCache&) = delete;

  // A reader opened or closed the entry. Reads come only between the two.
  void opened(std::size_t entry);
  void closed(std::size_t entry);

  // Fills `piece` with the decoded bytes at `offset` of the entry, whose decoded size must
  // be `size` and hold the whole piece, once they are decoded; begins the entry's decode
  // unless it is held or under way. 0, or EIO when the entry cannot be decoded (so far as
  // the piece goes, or in all) or read back.
  int read(std::size_t entry, std::uint64_t size, std::uint64_t offset,
           std::span<std::uint8_t> piece);

  // For tests and measurements: decodes begun so far, bytes of closed entries kept in
  // memory, and the most decoded bytes memory has held at once.
  std::uint64_t decodeCount() const;
  std::uint64_t cachedBytes() const;
  std::uint64_t peakMemoryBytes() const;

 private:
  struct Decoded;

  class DecodedSink;

  // With `lock` on mutex_: the entry's decode, begun here unless it is held or under way
  // (on the pool for a large entry, else on this thread, without the lock meanwhile). Null
  // when there was not even memory to begin.
  std::shared_ptr<Decoded> findOrBegin(std::unique_lock<std::mutex>& lock, std::size_t entry,
                                       std::uint64_t size);
  void decodeEntry(std::size_t entry, const std::shared_ptr<Decoded>& decoding);
  bool decodeInto(std::size_t entry, Decoded& target);
  // Copies the decoded bytes at `offset` into `piece`; 0 or EIO (reported).
  int copyOut(std::size_t entry, const Decoded& decoded, std::uint64_t offset,
              std::span<std::uint8_t> piece);
  bool makeRoom(std::uint64_t size);
  void keepClosed(std::size_t entry, const std::shared_ptr<Decoded>& decoded);
  void evictOldest();
  bool isOpen(std::size_t entry) const;

  std::uint64_t budget_;
  std::uint64_t memoryLimit_;  // twice the budget
  platform::FileSystem& files_;
  Decoder decode_;
  Reporter report_;

  mutable std::mutex mutex_;
  std::unordered_map<std::size_t, std::shared_ptr<Decoded>> entries_;
  std::unordered_map<std::size_t, unsigned> openCounts_;
  std::list<std::size_t> leastRecent_;  // closed entries in memory, least recently used first
  std::uint64_t cachedBytes_ = 0;       // their bytes
  std::uint64_t memoryBytes_ = 0;       // every decoded byte memory holds or has set aside
  std::uint64_t peakMemoryBytes_ = 0;
  std::uint64_t decodes_ = 0;
  const unsigned threads_;
  std::unique_ptr<WorkerPool> pool_;  // last: its threads end before anything they use
};

}  // namespace kupack
