#include "archive/entry_comparison.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "archive/entry_decoding.h"

namespace kupack {
namespace {

constexpr std::size_t CHUNK_SIZE = std::size_t{1} << 20;

// Keeps the decoded bytes [start, start + window) and stops the decoding one byte after them,
// so that a decoding that ends by itself has shown the entry's whole length.
class WindowSink final : public ByteSink {
 public:
  WindowSink(std::uint64_t start, std::size_t window, std::vector<std::uint8_t>& kept)
      : start_(start), window_(window), kept_(kept) {
    kept_.clear();
  }
  bool put(std::span<const std::uint8_t> bytes) override {
    const std::uint64_t end = start_ + window_;
    const std::uint64_t from = std::max(position_, start_);
    const std::uint64_t to = std::min(position_ + bytes.size(), end);
    if (from < to) {
      kept_.insert(kept_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from - position_),
                   bytes.begin() + static_cast<std::ptrdiff_t>(to - position_));
    }
    position_ += bytes.size();
    stopped_ = position_ > end;
    return !stopped_;
  }
  bool stopped() const { return stopped_; }
  std::uint64_t length() const { return position_; }

 private:
  std::uint64_t start_;
  std::size_t window_;
  std::vector<std::uint8_t>& kept_;
  std::uint64_t position_ = 0;
  bool stopped_ = false;
};

// Compares decoded bytes with the window the other entry's decoding kept; stops at the first
// difference, or one byte after the window when the other entry goes on past it.
class WindowComparingSink final : public ByteSink {
 public:
  WindowComparingSink(std::uint64_t start, const std::vector<std::uint8_t>& kept,
                      bool otherEnded, std::size_t window)
      : start_(start), kept_(kept), otherEnded_(otherEnded), window_(window) {}
  bool put(std::span<const std::uint8_t> bytes) override {
    const std::uint64_t keptEnd = start_ + kept_.size();
    const std::uint64_t from = std::max(position_, start_);
    const std::uint64_t to = std::min(position_ + bytes.size(), keptEnd);
    if (from < to &&
        !std::equal(bytes.begin() + static_cast<std::ptrdiff_t>(from - position_),
                    bytes.begin() + static_cast<std::ptrdiff_t>(to - position_),
                    kept_.begin() + static_cast<std::ptrdiff_t>(from - start_))) {
      differs_ = true;
    }
    position_ += bytes.size();
    if (otherEnded_ && position_ > keptEnd) differs_ = true;  // longer than the other
    stopped_ = differs_ || (!otherEnded_ && position_ > start_ + window_);
    return !stopped_;
  }
  bool differs() const { return differs_; }
  bool stopped() const { return stopped_; }
  std::uint64_t length() const { return position_; }

 private:
  std::uint64_t start_;
  const std::vector<std::uint8_t>& kept_;
  bool otherEnded_;
  std::size_t window_;
  std::uint64_t position_ = 0;
  bool differs_ = false;
  bool stopped_ = false;
};

// Same coding, sizes and stored bytes: the decodings are the same too.
Status sameStoredBytes(ArchiveReader& readerA, const ArchiveEntry& a, ArchiveReader& readerB,
                       const ArchiveEntry& b, bool& same) {
  same = false;
  if (a.type != b.type || a.storedSize != b.storedSize || a.sourceSize != b.sourceSize)
    return Status::ok();
  std::vector<std::uint8_t> left(std::min<std::size_t>(CHUNK_SIZE, a.storedSize));
  std::vector<std::uint8_t> right(left.size());
  for (std::uint64_t done = 0; done < a.storedSize;) {
    const auto piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(CHUNK_SIZE, a.storedSize - done));
    const std::span<std::uint8_t> l(left.data(), piece);
    const std::span<std::uint8_t> r(right.data(), piece);
    if (Status status = readerA.readEntryBytes(a, done, l); !status) return status;
    if (Status status = readerB.readEntryBytes(b, done, r); !status) return status;
    if (!std::equal(l.begin(), l.end(), r.begin())) return Status::ok();
    done += piece;
  }
  same = true;
  return Status::ok();
}

Status compareDecoded(ArchiveReader& readerA, const ArchiveEntry& a, ArchiveReader& readerB,
                      const ArchiveEntry& b, bool& same, std::size_t window) {
  std::vector<std::uint8_t> kept;
  kept.reserve(std::min<std::size_t>(window, std::max(a.sourceSize, std::uint32_t{1})));
  for (std::uint64_t start = 0;; start += window) {
    WindowSink keep(start, window, kept);
    if (Status status = decodeEntry(readerA, a, keep); !status && !keep.stopped()) return status;
    const bool aEnded = !keep.stopped();
    WindowComparingSink compare(start, kept, aEnded, window);
    if (Status status = decodeEntry(readerB, b, compare); !status && !compare.stopped())
      return status;
    if (compare.differs()) {
      same = false;
      return Status::ok();
    }
    if (!compare.stopped()) {  // b ended within this window
      same = aEnded && compare.length() == keep.length();
      return Status::ok();
    }
    if (aEnded) {  // b goes on past a's end
      same = false;
      return Status::ok();
    }
  }
}

}  // namespace

Status compareEntryContents(ArchiveReader& readerA, const ArchiveEntry& a, ArchiveReader& readerB,
                            const ArchiveEntry& b, bool& same, std::size_t window) {
  same = false;
  try {
    if (Status status = sameStoredBytes(readerA, a, readerB, b, same); !status || same)
      return status;
    return compareDecoded(readerA, a, readerB, b, same, std::max<std::size_t>(window, 1));
  } catch (const std::bad_alloc&) {
    return entryFailure(b, "not enough memory to compare it");
  }
}

}  // namespace kupack
