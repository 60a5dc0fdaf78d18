// The SPB image coder: a 16-bit width and height, then the blue, green and red planes, each
// a first value and groups of four folded residuals along a serpentine scan from the top row.
// It takes the rows a band at a time from an SpbRows (a picture in memory, or rows read from
// a file as they are needed, so that no picture is held whole), reads each plane's values a
// chunk at a time into small buffers on the stack, and allocates nothing.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/bit_writer.h"

namespace kupack {

// A true-colour picture as the coder reads it: 3 bytes per pixel (blue, green, red), rows
// `stride` bytes apart from the top row down (a negative stride walks a bottom-up block
// upwards). Width and height are 1 to 65535; the rows belong to whoever made the view.
struct SpbSource {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  const std::uint8_t* topRow = nullptr;
  std::ptrdiff_t stride = 0;
};

// The rows of a picture for the coder, handed over a band at a time, top row first. The
// coder walks them once per plane.
class SpbRows {
 public:
  virtual ~SpbRows() = default;
  virtual std::uint32_t width() const = 0;   // 1 to 65535
  virtual std::uint32_t height() const = 0;  // 1 to 65535
  // Views rows `first` to `first + count - 1` (within the picture): `band.topRow` is row
  // `first`, the others `band.stride` apart; valid until the next call. False when they
  // could not be had (the rows keep why); the coder then stops.
  virtual bool readBand(std::uint32_t first, std::uint32_t count, SpbSource& band) = 0;
};

// The rows of a picture in memory.
class SpbPictureRows final : public SpbRows {
 public:
  explicit SpbPictureRows(const SpbSource& picture) : picture_(picture) {}
  std::uint32_t width() const override { return picture_.width; }
  std::uint32_t height() const override { return picture_.height; }
  bool readBand(std::uint32_t first, std::uint32_t count, SpbSource& band) override {
    band = {picture_.width, count,
            picture_.topRow + static_cast<std::ptrdiff_t>(first) * picture_.stride,
            picture_.stride};
    return true;
  }

 private:
  const SpbSource& picture_;
};

// Walks the rows of an SpbRows from the top down, asking for a band of about
// SPB_BAND_BYTES of pixels at a time.
inline constexpr std::size_t SPB_BAND_BYTES = std::size_t{256} << 10;
class SpbRowWalker {
 public:
  explicit SpbRowWalker(SpbRows& rows);
  // The next row (the top row first), or nullptr once the picture has ended or when its
  // band could not be read.
  const std::uint8_t* next();
  bool failed() const { return failed_; }

 private:
  SpbRows& rows_;
  const std::uint32_t bandRows_;
  SpbSource band_;
  std::uint32_t bandFirst_ = 0;
  std::uint32_t row_ = 0;  // the next row
  bool failed_ = false;
};

// The folded residual of a value against its predecessor: 0 unchanged, 1 one above, 2 one
// below, 3 two above, and so on (0 to 510).
inline std::uint32_t foldResidual(std::uint32_t previous, std::uint32_t current) {
  const std::int32_t doubled =
      2 * (static_cast<std::int32_t>(previous) - static_cast<std::int32_t>(current));
  return static_cast<std::uint32_t>(doubled ^ (doubled >> 31));
}

namespace spb_detail {

// Class code, code length and payload width of a group, indexed by the bit width of its
// largest folded residual (0 to 9), packed as code | length << 8 | width << 16 so that one
// load fetches all three. Widths 8 and 9 are the raw class, whose payload is the four raw
// values in 8 bits each instead.
constexpr std::uint32_t groupClass(std::uint32_t code, std::uint32_t length, std::uint32_t width) {
  return code | length << 8 | width << 16;
}
inline constexpr std::array<std::uint32_t, 10> GROUP_CLASSES = {
    groupClass(0b000, 3, 0), groupClass(0b1110, 4, 1), groupClass(0b1111, 4, 2),
    groupClass(0b001, 3, 3), groupClass(0b010, 3, 4),  groupClass(0b011, 3, 5),
    groupClass(0b100, 3, 6), groupClass(0b101, 3, 7),  groupClass(0b110, 3, 8),
    groupClass(0b110, 3, 8),
};
inline constexpr int RAW_WIDTH = 8;
inline constexpr std::uint64_t RAW_CODE = 0b110;

}  // namespace spb_detail

// The bits of one group, class code first, and their number (3 to 35).
struct SpbGroupBits {
  std::uint64_t bits;
  int count;
};

// The group of the folded residuals r0..r3 (0 to 510 each) whose raw values are the four
// bytes of `rawBigEndian`, first value highest: the class code chosen by the largest
// residual, then either the four residuals in the class's width or, from 128 on, the four
// raw values in 8 bits each.
inline SpbGroupBits spbGroupBits(std::uint32_t r0, std::uint32_t r1, std::uint32_t r2,
                                 std::uint32_t r3, std::uint32_t rawBigEndian) {
  using namespace spb_detail;
  // Both codings are formed and one is chosen without a branch: classes vary from group
  // to group in a way no predictor follows. (2m + 1 has one bit more than m and is never 0.)
  const int width = std::bit_width(2 * (r0 | r1 | r2 | r3) + 1) - 1;
  const std::uint32_t packed = GROUP_CLASSES[static_cast<std::size_t>(width)];
  const std::uint64_t code = packed & 0xFF;
  const int codeLength = static_cast<int>((packed >> 8) & 0xFF);
  const int w = static_cast<int>(packed >> 16);
  const std::uint64_t residualBits = (((code << w | r0) << w | r1) << w | r2) << w | r3;
  const std::uint64_t rawBits = RAW_CODE << 32 | rawBigEndian;
  return {width >= RAW_WIDTH ? rawBits : residualBits, codeLength + 4 * w};
}

// Codes one group of four folded residuals and the raw values of the same pixels. Entries
// that complete a plane's last group are passed as 0 in both arrays. `Bits` is a BitWriter
// or a BitBurst.
template <class Bits>
inline void encodeSpbGroup(Bits& writer, const std::array<std::uint32_t, 4>& residuals,
                           const std::array<std::uint32_t, 4>& rawValues) {
  const SpbGroupBits group =
      spbGroupBits(residuals[0], residuals[1], residuals[2], residuals[3],
                   (rawValues[0] & 0xFF) << 24 | (rawValues[1] & 0xFF) << 16 |
                       (rawValues[2] & 0xFF) << 8 | (rawValues[3] & 0xFF));
  writer.putBits(group.bits, group.count);
}

// Writes the whole stream of the picture (header, planes, fill bits) into `sink`, walking
// its rows once per plane.
CodingResult encodeSpb(SpbRows& rows, ByteSink& sink);

// The same for a picture in memory. False when the sink refused any of it.
bool encodeSpb(const SpbSource& picture, ByteSink& sink);

// The whole stream of `picture` in memory.
std::vector<std::uint8_t> encodeSpbToMemory(const SpbSource& picture);

}  // namespace kupack
