// The mount's decoded entries, shared by every reader: each entry is decoded once however
// many readers wait for it. Decoded bytes held in memory never pass twice the budget:
// open entries (never thrown away while open, so that a file read piece by piece is
// decoded once), decodes under way, and closed entries kept for later up to the budget,
// the least recently used going first. Entries larger than the budget, and decodes that
// find no room in memory, go to unnamed temporary files that live while the entry is open.
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
#include "common/status.h"
#include "platform/file.h"

namespace kupack {

class DecodeCache {
 public:
  // Decodes the entry into `sink`; false when it fails (having reported why).
  using Decoder = std::function<bool(std::size_t entry, ByteSink& sink)>;
  // A problem with an entry's decoded bytes (the Status does not name the entry).
  using Reporter = std::function<void(std::size_t entry, const Status& problem)>;

  // Scratch files are made through `files`.
  DecodeCache(std::uint64_t budget, platform::FileSystem& files, Decoder decode, Reporter report);
  ~DecodeCache();
  DecodeCache(const DecodeCache&) = delete;
  DecodeCache& operator=(const DecodeCache&) = delete;

  // A reader opened or closed the entry. Reads come only between the two.
  void opened(std::size_t entry);
  void closed(std::size_t entry);

  // Fills `piece` with the decoded bytes at `offset` of the entry, whose decoded size must
  // be `size` and hold the whole piece; decodes it first unless it is held already.
  // 0, or EIO when the entry cannot be decoded or read back.
  int read(std::size_t entry, std::uint64_t size, std::uint64_t offset,
           std::span<std::uint8_t> piece);

  // For tests and measurements: decodes begun so far, bytes of closed entries kept in
  // memory, and the most decoded bytes memory has held at once.
  std::uint64_t decodeCount() const;
  std::uint64_t cachedBytes() const;
  std::uint64_t peakMemoryBytes() const;

 private:
  struct Decoded;

  std::shared_ptr<Decoded> decoded(std::size_t entry, std::uint64_t size);
  bool decodeInto(std::size_t entry, Decoded& target);
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
  std::condition_variable decodeDone_;
  std::unordered_map<std::size_t, std::shared_ptr<Decoded>> entries_;
  std::unordered_map<std::size_t, unsigned> openCounts_;
  std::list<std::size_t> leastRecent_;  // closed entries in memory, least recently used first
  std::uint64_t cachedBytes_ = 0;       // their bytes
  std::uint64_t memoryBytes_ = 0;       // every decoded byte memory holds or has set aside
  std::uint64_t peakMemoryBytes_ = 0;
  std::uint64_t decodes_ = 0;
};

}  // namespace kupack
