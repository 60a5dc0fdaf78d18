// The SPB image coder: a 16-bit width and height, then the blue, green and red planes, each
// a first value and groups of four folded residuals along a serpentine scan from the top row.
// It reads the pixels in place through an SpbSource and owns nothing but its group arrays.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/bit_writer.h"
#include "common/status.h"

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

// The folded residual of a value against its predecessor: 0 unchanged, 1 one above, 2 one
// below, 3 two above, and so on (0 to 510).
inline std::uint32_t foldResidual(std::uint32_t previous, std::uint32_t current) {
  const std::int32_t doubled =
      2 * (static_cast<std::int32_t>(previous) - static_cast<std::int32_t>(current));
  return static_cast<std::uint32_t>(doubled ^ (doubled >> 31));
}

namespace spb_detail {

// Class code, code length and payload width of a group, indexed by the bit width of its
// largest folded residual (0 to 9). Widths 8 and 9 are the raw class (payload width 0 here:
// the raw values follow instead).
struct GroupClass {
  std::uint8_t code;
  std::uint8_t codeLength;
  std::uint8_t payloadWidth;
};
inline constexpr std::array<GroupClass, 10> GROUP_CLASSES = {{
    {0b000, 3, 0},
    {0b1110, 4, 1},
    {0b1111, 4, 2},
    {0b001, 3, 3},
    {0b010, 3, 4},
    {0b011, 3, 5},
    {0b100, 3, 6},
    {0b101, 3, 7},
    {0b110, 3, 0},
    {0b110, 3, 0},
}};
inline constexpr int RAW_WIDTH = 8;

}  // namespace spb_detail

// Codes one group: the class code chosen by the largest of the four folded residuals, then
// either the four residuals in the class's width or, from 128 on, the four raw values in
// 8 bits each. Entries that complete a plane's last group are passed as 0 in both arrays.
inline void encodeSpbGroup(BitWriter& writer, const std::array<std::uint32_t, 4>& residuals,
                           const std::array<std::uint32_t, 4>& rawValues) {
  using namespace spb_detail;
  const int width = std::bit_width(residuals[0] | residuals[1] | residuals[2] | residuals[3]);
  const GroupClass& groupClass = GROUP_CLASSES[static_cast<std::size_t>(width)];
  if (width >= RAW_WIDTH) {
    writer.putBits(groupClass.code, groupClass.codeLength);
    writer.putBits((rawValues[0] & 0xFF) << 24 | (rawValues[1] & 0xFF) << 16 |
                       (rawValues[2] & 0xFF) << 8 | (rawValues[3] & 0xFF),
                   32);
    return;
  }
  // Code and payload together take at most 3 + 4 * 7 = 31 bits.
  const int w = groupClass.payloadWidth;
  const std::uint32_t payload =
      residuals[0] << (3 * w) | residuals[1] << (2 * w) | residuals[2] << w | residuals[3];
  writer.putBits(std::uint32_t{groupClass.code} << (4 * w) | payload,
                 groupClass.codeLength + 4 * w);
}

// Writes the 32-bit header: width, then height, 16 bits each.
void encodeSpbHeader(BitWriter& writer, const SpbSource& picture);

// Writes the three planes of `picture` after its header. Does not flush.
void encodeSpbPlanes(BitWriter& writer, const SpbSource& picture);

// The whole stream of `picture` in memory (header, planes, fill bits); prints nothing.
std::vector<std::uint8_t> encodeSpbToMemory(const SpbSource& picture);

// Creates `destinationPath` and writes the whole stream of `picture` into it, printing the
// SPB type line after the header bits. A destination that cannot be created or a failed
// write is a failure naming the destination.
Status encodeSpbFile(const SpbSource& picture, const std::string& destinationPath);

}  // namespace kupack
