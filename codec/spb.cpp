#include "codec/spb.h"

#include <algorithm>

#include "codec/spb_groups.h"
#include "common/byte_order.h"

namespace kupack {
namespace {

// Reads one channel of a picture in scan order: row 0 forward, row 1 backward, and so on,
// each row starting below the pixel where the row above it ended.
class SerpentineScan {
 public:
  SerpentineScan(SpbRows& rows, std::size_t channel)
      : walker_(rows), width_(rows.width()), height_(rows.height()), channel_(channel) {}

  // Copies the next values, up to `count`, into `out`; returns how many (fewer only at the
  // end of the plane, or when a band could not be read: failed()).
  std::size_t read(std::uint8_t* out, std::size_t count) {
    std::size_t copied = 0;
    while (copied < count && rowIndex_ < height_) {
      if (row_ == nullptr && !startRow()) break;
      const std::size_t left = forward_ ? width_ - column_ : column_ + 1;
      const std::size_t take = left < count - copied ? left : count - copied;
      const std::size_t firstColumn = forward_ ? column_ : column_ + 1 - take;
      spbGatherChannel(out + copied, row_ + 3 * firstColumn, take, channel_, !forward_);
      if (forward_) {
        column_ += take;
      } else {
        column_ -= take;  // wraps past 0 at the row's end, caught below
      }
      copied += take;
      if (take == left) nextRow();
    }
    return copied;
  }

  bool failed() const { return walker_.failed(); }

 private:
  bool startRow() {
    const std::uint8_t* row = walker_.next();
    if (row == nullptr) return false;
    row_ = row;
    return true;
  }

  void nextRow() {
    ++rowIndex_;
    row_ = nullptr;
    forward_ = !forward_;
    column_ = forward_ ? 0 : width_ - 1;
  }

  SpbRowWalker walker_;
  const std::size_t width_;
  const std::uint32_t height_;
  const std::size_t channel_;
  const std::uint8_t* row_ = nullptr;  // the current row, once read
  std::uint32_t rowIndex_ = 0;
  std::size_t column_ = 0;
  bool forward_ = true;
};

// Values are taken from the scan in chunks of this many (a multiple of 4, so that only the
// plane's last chunk can end inside a group).
constexpr std::size_t CHUNK = 2048;
constexpr std::size_t MAX_GROUP_BITS = 3 + 32;
static_assert(CHUNK / 4 * MAX_GROUP_BITS <= BitWriter::MAX_BURST_BITS);

// Appends the groups of the `count` values of a chunk (`values[-1]` the value before it)
// one after the other: the residuals in a pass of their own, so that the compiler can fold
// many values at once, then each group as it is formed. The last group of the plane is
// completed with zero entries (a zero raw value and a zero residual), written into `values`
// past `count`. Each way of appending holds its bit cursor in its own registers.
void appendGroupsOneByOne(BitWriter& writer, std::uint8_t* values, std::size_t count) {
  std::uint16_t residuals[CHUNK + 4];
  for (std::size_t i = 0; i < count; ++i) {
    residuals[i] = static_cast<std::uint16_t>(foldResidual(values[i - 1], values[i]));
  }
  const std::size_t groups = (count + 3) / 4;
  for (std::size_t i = count; i < 4 * groups; ++i) values[i] = 0, residuals[i] = 0;
  BitBurst burst(writer, groups * MAX_GROUP_BITS);
  for (std::size_t g = 0; g < groups; ++g) {
    const std::uint16_t* r = residuals + 4 * g;
    const SpbGroupBits group = spbGroupBits(r[0], r[1], r[2], r[3], loadBE32(values + 4 * g));
    burst.putExactBits(group.bits, group.count);
  }
}

// The same where the processor forms eight groups at once: the whole groups are formed
// first, then appended; the last, completed group as above.
void appendGroupsFormedAtOnce(BitWriter& writer, const std::uint8_t* values, std::size_t count) {
  std::uint64_t groupBits[CHUNK / 4];
  std::uint8_t groupCounts[CHUNK / 4];
  const std::size_t whole = count / 4;
  spbFormGroups(values, whole, groupBits, groupCounts);
  BitBurst burst(writer, (count + 3) / 4 * MAX_GROUP_BITS);
  for (std::size_t g = 0; g < whole; ++g) burst.putExactBits(groupBits[g], groupCounts[g]);
  if (count % 4 != 0) {
    std::array<std::uint32_t, 4> residuals{};
    std::array<std::uint8_t, 4> raw{};
    for (std::size_t i = 4 * whole; i < count; ++i) {
      residuals[i - 4 * whole] = foldResidual(values[i - 1], values[i]);
      raw[i - 4 * whole] = values[i];
    }
    const SpbGroupBits last = spbGroupBits(residuals[0], residuals[1], residuals[2],
                                           residuals[3], loadBE32(raw.data()));
    burst.putExactBits(last.bits, last.count);
  }
}

// Codes one plane; false when its rows could not be read. Stops early once the sink has
// refused bytes, so that a stopped run does not read the rest of a picture.
bool encodePlane(BitWriter& writer, SpbRows& rows, std::size_t channel) {
  // The value before the chunk, the chunk, and room to complete its last group.
  std::uint8_t buffer[1 + CHUNK + 4];
  const bool formedAtOnce = spbVectorGroupsAvailable();
  SerpentineScan scan(rows, channel);
  if (scan.read(buffer, 1) != 1) return false;
  writer.putBits(buffer[0], 8);
  std::uint8_t* const values = buffer + 1;
  for (;;) {
    const std::size_t count = scan.read(values, CHUNK);
    if (scan.failed()) return false;
    if (count == 0) break;
    const std::uint8_t last = values[count - 1];
    if (formedAtOnce) {
      appendGroupsFormedAtOnce(writer, values, count);
    } else {
      appendGroupsOneByOne(writer, values, count);
    }
    buffer[0] = last;
    if (count < CHUNK || !writer.ok()) break;
  }
  return true;
}

}  // namespace

SpbRowWalker::SpbRowWalker(SpbRows& rows)
    : rows_(rows),
      bandRows_(static_cast<std::uint32_t>(
          std::max<std::size_t>(1, SPB_BAND_BYTES / (3 * std::size_t{rows.width()})))) {}

const std::uint8_t* SpbRowWalker::next() {
  if (failed_ || row_ >= rows_.height()) return nullptr;
  if (row_ == bandFirst_ + band_.height) {  // the first band, or past the last one
    const std::uint32_t count = std::min(bandRows_, rows_.height() - row_);
    if (!rows_.readBand(row_, count, band_)) {
      failed_ = true;
      return nullptr;
    }
    bandFirst_ = row_;
  }
  const std::uint8_t* row =
      band_.topRow + static_cast<std::ptrdiff_t>(row_ - bandFirst_) * band_.stride;
  ++row_;
  return row;
}

CodingResult encodeSpb(SpbRows& rows, ByteSink& sink) {
  BitWriter writer(sink);
  writer.putBits(rows.width(), 16);
  writer.putBits(rows.height(), 16);
  for (std::size_t channel = 0; channel < 3; ++channel) {
    if (!encodePlane(writer, rows, channel)) return CodingResult::SourceFailed;
    if (!writer.ok()) return CodingResult::SinkFailed;
  }
  return writer.flushBits() ? CodingResult::Done : CodingResult::SinkFailed;
}

bool encodeSpb(const SpbSource& picture, ByteSink& sink) {
  SpbPictureRows rows(picture);
  return encodeSpb(rows, sink) == CodingResult::Done;
}

std::vector<std::uint8_t> encodeSpbToMemory(const SpbSource& picture) {
  std::vector<std::uint8_t> stream;
  VectorSink sink(stream);
  encodeSpb(picture, sink);
  return stream;
}

}  // namespace kupack
