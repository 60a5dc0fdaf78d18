#include "codec/spb.h"

namespace kupack {
namespace {

// Copies `count` bytes that lie `step` bytes apart, from `from` on, into `to`.
inline void gather(std::uint8_t* to, const std::uint8_t* from, std::size_t count,
                   std::ptrdiff_t step) {
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4, from += 4 * step) {
    to[i] = from[0];
    to[i + 1] = from[step];
    to[i + 2] = from[2 * step];
    to[i + 3] = from[3 * step];
  }
  for (; i < count; ++i, from += step) to[i] = *from;
}

// Reads one channel of a picture in scan order: row 0 forward, row 1 backward, and so on,
// each row starting below the pixel where the row above it ended.
class SerpentineScan {
 public:
  // Starts after the plane's first value: row 0, column 1, forward.
  SerpentineScan(const SpbSource& picture, std::size_t channel)
      : picture_(picture), row_(picture.topRow + channel), column_(1) {}

  // Copies the next values, up to `count`, into `out`; returns how many (fewer only at the
  // end of the plane).
  std::size_t read(std::uint8_t* out, std::size_t count) {
    std::size_t copied = 0;
    while (copied < count && rowIndex_ < picture_.height) {
      const std::size_t width = picture_.width;
      const std::size_t left = forward_ ? width - column_ : column_ + 1;
      const std::size_t take = left < count - copied ? left : count - copied;
      const std::uint8_t* from = row_ + 3 * column_;
      std::uint8_t* to = out + copied;
      gather(to, from, take, forward_ ? 3 : -3);
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

 private:
  void nextRow() {
    ++rowIndex_;
    row_ += picture_.stride;
    forward_ = !forward_;
    column_ = forward_ ? 0 : picture_.width - 1;
  }

  const SpbSource& picture_;
  const std::uint8_t* row_;
  std::uint32_t rowIndex_ = 0;
  std::size_t column_;
  bool forward_ = true;
};

// Values are taken from the scan in chunks of this many (a multiple of 4, so that only the
// plane's last chunk can end inside a group).
constexpr std::size_t CHUNK = 2048;
constexpr std::size_t MAX_GROUP_BITS = 3 + 32;
static_assert(CHUNK / 4 * MAX_GROUP_BITS <= BitWriter::MAX_BURST_BITS);

void encodePlane(BitWriter& writer, const SpbSource& picture, std::size_t channel) {
  std::uint8_t values[CHUNK + 4];
  std::uint16_t residuals[CHUNK + 4];
  std::uint8_t previous = picture.topRow[channel];
  writer.putBits(previous, 8);
  SerpentineScan scan(picture, channel);
  for (;;) {
    const std::size_t count = scan.read(values, CHUNK);
    if (count == 0) break;
    // A separate pass, so that the compiler can fold many values at once.
    residuals[0] = static_cast<std::uint16_t>(foldResidual(previous, values[0]));
    for (std::size_t i = 1; i < count; ++i) {
      residuals[i] = static_cast<std::uint16_t>(foldResidual(values[i - 1], values[i]));
    }
    previous = values[count - 1];
    // The last group of the plane is completed with zero entries: a zero raw value and a
    // zero residual.
    const std::size_t groups = (count + 3) / 4;
    for (std::size_t i = count; i < 4 * groups; ++i) values[i] = 0, residuals[i] = 0;

    BitBurst burst(writer, groups * MAX_GROUP_BITS);
    for (std::size_t g = 0; g < groups; ++g) {
      const std::uint16_t* r = residuals + 4 * g;
      const std::uint8_t* v = values + 4 * g;
      const std::uint32_t raw =
          std::uint32_t{v[0]} << 24 | std::uint32_t{v[1]} << 16 | std::uint32_t{v[2]} << 8 | v[3];
      const SpbGroupBits group = spbGroupBits(r[0], r[1], r[2], r[3], raw);
      burst.putExactBits(group.bits, group.count);
    }
    if (count < CHUNK) break;
  }
}

}  // namespace

void encodeSpbHeader(BitWriter& writer, const SpbSource& picture) {
  writer.putBits(picture.width, 16);
  writer.putBits(picture.height, 16);
}

void encodeSpbPlanes(BitWriter& writer, const SpbSource& picture) {
  for (std::size_t channel = 0; channel < 3; ++channel) encodePlane(writer, picture, channel);
}

bool encodeSpb(const SpbSource& picture, ByteSink& sink) {
  BitWriter writer(sink);
  encodeSpbHeader(writer, picture);
  encodeSpbPlanes(writer, picture);
  return writer.flushBits();
}

std::vector<std::uint8_t> encodeSpbToMemory(const SpbSource& picture) {
  std::vector<std::uint8_t> stream;
  VectorSink sink(stream);
  encodeSpb(picture, sink);
  return stream;
}

}  // namespace kupack
