#include "archive/entry_comparison.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "archive/entry_decoding.h"
#include "platform/file.h"

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
  WindowComparingSink(std::uint64_t start, const std::vector<std::uint8_t>& kept, bool otherEnded,
                      std::size_t window)
      : start_(start), kept_(kept), otherEnded_(otherEnded), window_(window) {}
  bool put(std::span<const std::uint8_t> bytes) override {
    const std::uint64_t keptEnd = start_ + kept_.size();
    const std::uint64_t from = std::max(position_, start_);
    const std::uint64_t to = std::min(position_ + bytes.size(), keptEnd);
    if (from < to && !std::equal(bytes.begin() + static_cast<std::ptrdiff_t>(from - position_),
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

// Writes decoded bytes to a file without a name; remembers a failed write.
class SpillSink final : public ByteSink {
 public:
  explicit SpillSink(platform::ScratchFile& file) : file_(file) {}
  bool put(std::span<const std::uint8_t> bytes) override {
    if (!file_.writeAt(length_, bytes)) {
      failed_ = true;
      return false;
    }
    length_ += bytes.size();
    return true;
  }
  bool failed() const { return failed_; }
  std::uint64_t length() const { return length_; }

 private:
  platform::ScratchFile& file_;
  std::uint64_t length_ = 0;
  bool failed_ = false;
};

// Compares decoded bytes with those spilled to a file, a bounded chunk at a time; stops at
// the first difference or a failed read.
class SpillComparingSink final : public ByteSink {
 public:
  SpillComparingSink(const platform::ScratchFile& file, std::uint64_t spilledLength)
      : file_(file), spilledLength_(spilledLength) {}
  bool put(std::span<const std::uint8_t> bytes) override {
    for (std::size_t done = 0; done < bytes.size() && !differs_ && !failed_;) {
      if (position_ >= spilledLength_) {
        differs_ = true;  // longer than the other
        break;
      }
      const auto piece = static_cast<std::size_t>(
          std::min<std::uint64_t>({CHUNK_SIZE, bytes.size() - done, spilledLength_ - position_}));
      buffer_.resize(piece);
      if (!file_.readAt(position_, buffer_)) {
        failed_ = true;
        break;
      }
      differs_ = !std::equal(buffer_.begin(), buffer_.end(),
                             bytes.begin() + static_cast<std::ptrdiff_t>(done));
      position_ += piece;
      done += piece;
    }
    return !differs_ && !failed_;
  }
  bool differs() const { return differs_; }
  bool failed() const { return failed_; }
  std::uint64_t length() const { return position_; }

 private:
  const platform::ScratchFile& file_;
  std::uint64_t spilledLength_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t position_ = 0;
  bool differs_ = false;
  bool failed_ = false;
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

// Decodes `a` once into a file without a name, then `b` against it: twice the decoding
// work at most, whatever the size. nullopt when no such file can be made or written (the
// caller compares window by window instead).
std::optional<Status> compareThroughFile(ArchiveReader& readerA, const ArchiveEntry& a,
                                         ArchiveReader& readerB, const ArchiveEntry& b,
                                         bool& same) {
  std::unique_ptr<platform::ScratchFile> spill;
  if (!readerA.files().createScratch(spill)) return std::nullopt;
  SpillSink write(*spill);
  if (Status status = decodeEntry(readerA, a, write); !status) {
    if (write.failed()) return std::nullopt;
    return status;
  }
  SpillComparingSink compare(*spill, write.length());
  if (Status status = decodeEntry(readerB, b, compare); !status) {
    if (compare.failed()) return std::nullopt;
    if (!compare.differs()) return status;
  }
  same = !compare.differs() && compare.length() == write.length();
  return Status::ok();
}

// Decodes `a` up to one window past what was compared, then `b` against that window, as
// many times as there are windows in the entry.
Status compareByWindows(ArchiveReader& readerA, const ArchiveEntry& a, ArchiveReader& readerB,
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
                            const ArchiveEntry& b, bool& same, std::size_t window,
                            SpillToDisk spill) {
  same = false;
  window = std::max<std::size_t>(window, 1);
  try {
    if (Status status = sameStoredBytes(readerA, a, readerB, b, same); !status || same)
      return status;
    // An entry's source size is close to what it decodes to (for a picture, its BMP file).
    if (spill == SpillToDisk::WhenLarger && std::max(a.sourceSize, b.sourceSize) > window) {
      if (auto status = compareThroughFile(readerA, a, readerB, b, same)) return *status;
    }
    return compareByWindows(readerA, a, readerB, b, same, window);
  } catch (const std::bad_alloc&) {
    return entryFailure(
        b, Status::fault(Status::Code::OutOfMemory, Status::Reason::NoMemoryToCompare));
  }
}

}  // namespace kupack
