// A stop request ends a long decode early, whatever the entry's coding: one already pending
// when the decode starts gives no byte at all, one made midway stops it within a few MiB.
// Measured in bytes handed on, never in time.
#include "common/stop_request.h"

#include <gtest/gtest.h>

#include "app/status_text.h"
#include "archive/entry_decoding.h"

namespace kupack {
namespace {

// A stream of zero bytes after `head`, as long as asked, held nowhere.
class ZeroSource final : public PositionedSource {
 public:
  ZeroSource(std::uint64_t size, std::vector<std::uint8_t> head)
      : size_(size), head_(std::move(head)) {}
  std::uint64_t size() const override { return size_; }
  bool read(std::uint64_t position, std::span<std::uint8_t> buffer) override {
    for (std::size_t i = 0; i < buffer.size(); ++i)
      buffer[i] = position + i < head_.size() ? head_[static_cast<std::size_t>(position + i)] : 0;
    return true;
  }

 private:
  std::uint64_t size_;
  std::vector<std::uint8_t> head_;
};

// Counts what it is handed and, once `stopAfter` bytes have come, requests a stop.
class StoppingSink final : public ByteSink {
 public:
  explicit StoppingSink(std::uint64_t stopAfter) : stopAfter_(stopAfter) {}
  bool put(std::span<const std::uint8_t> bytes) override {
    count += bytes.size();
    if (count >= stopAfter_) requestStop();
    return true;
  }
  std::uint64_t count = 0;

 private:
  std::uint64_t stopAfter_;
};

// Withdraws any stop request on the way out, for the tests that follow.
struct StopWithdrawn {
  ~StopWithdrawn() { withdrawStopRequest(); }
};

constexpr std::uint64_t MiB = 1 << 20;

struct LargeEntry {
  std::string what;
  ArchiveEntry entry;
  std::vector<std::uint8_t> head;  // the stored bytes' start; zeros follow
  std::uint64_t decodedSize = 0;
};

LargeEntry largeEntry(const char* what, EntryType type, std::uint64_t storedSize,
                      std::uint64_t decodedSize, std::vector<std::uint8_t> head = {}) {
  LargeEntry large;
  large.what = what;
  large.entry.name = std::string("big.") + what;
  large.entry.type = type;
  large.entry.storedSize = static_cast<std::uint32_t>(storedSize);
  large.entry.sourceSize = static_cast<std::uint32_t>(type == ENTRY_SPB ? 0 : decodedSize);
  large.head = std::move(head);
  large.decodedSize = decodedSize;
  return large;
}

std::vector<LargeEntry> largeEntries() {
  // All-zero LZSS codes are 13-bit matches of LZSS_MIN_MATCH (2) fill bytes: 13 bytes give 16.
  const std::uint64_t lzssStream = 13 * (std::uint64_t{1} << 20);
  // A 2048 x 2048 all-black picture: first values and zero-width groups, as a BMP of 12 MiB.
  const std::uint64_t side = 2048;
  const std::uint64_t spbStream = (32 + 3 * (8 + 3 * ((side * side - 1 + 3) / 4)) + 7) / 8;
  std::vector<LargeEntry> entries;
  entries.push_back(largeEntry("stored", ENTRY_STORED, 16 * MiB, 16 * MiB));
  entries.push_back(largeEntry("lzss", ENTRY_LZSS, lzssStream, 16 * MiB));
  entries.push_back(
      largeEntry("spb", ENTRY_SPB, spbStream, 54 + side * side * 3, {0x08, 0x00, 0x08, 0x00}));
  return entries;
}

TEST(StopRequestTest, LargeDecodesEndEarlyWhenAStopIsRequested) {
  const StopWithdrawn withdrawn;
  for (const LargeEntry& large : largeEntries()) {
    SCOPED_TRACE(large.what);
    ZeroSource stream(large.entry.storedSize, large.head);

    withdrawStopRequest();
    StoppingSink whole(UINT64_MAX);
    EXPECT_TRUE(decodeEntry(large.entry, stream, whole).isOk());
    EXPECT_EQ(whole.count, large.decodedSize);

    requestStop();
    StoppingSink pending(UINT64_MAX);
    const Status stoppedAtOnce = decodeEntry(large.entry, stream, pending);
    EXPECT_FALSE(stoppedAtOnce.isOk());
    EXPECT_NE(statusText(stoppedAtOnce).find("big"), std::string::npos);
    EXPECT_NE(statusText(stoppedAtOnce).find("stopped"), std::string::npos);
    EXPECT_EQ(pending.count, 0U);

    withdrawStopRequest();
    StoppingSink midway(4 * MiB);
    EXPECT_FALSE(decodeEntry(large.entry, stream, midway).isOk());
    EXPECT_GE(midway.count, 4 * MiB);
    EXPECT_LE(midway.count, 4 * MiB + 2 * MiB);
  }
}

}  // namespace
}  // namespace kupack
