// Test helper: builds BMP files in memory from a picture, in any bit count and layout the
// loader must handle (top-down rows, larger headers, gaps before the rows, bit-field masks,
// colour tables, cut files), and makes random pictures of chosen smoothness.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "codec/spb.h"
#include "codec/spb_decoder.h"

namespace kupack::test {

struct BmpLayout {
  std::uint16_t bitCount = 24;
  bool topDown = false;  // negative height, rows stored from the top
  std::uint32_t compression = 0;
  std::uint32_t infoSize = 40;  // 40, or a larger header (52, 56, 108, 124) padded with 0
  // Red, green and blue masks: written after a 40-byte header, or as the header's own
  // fields from byte 40 on in a larger one. For 32-bit pictures they also place the bytes.
  std::optional<std::array<std::uint32_t, 3>> masks{};
  std::uint32_t colorsUsed = 0;                // colour-table entries written (biClrUsed)
  std::uint32_t gap = 0;                       // bytes between the headers and the pixel rows
  std::optional<std::uint32_t> pixelOffset{};  // bfOffBits, instead of the true offset
  std::optional<std::int32_t> widthField{};    // biWidth, instead of the picture's width
  // The fourth byte of 32-bit pixel i (counted in stored order); 0 when unset.
  std::function<std::uint8_t(std::size_t)> fourthByte{};
  std::uint8_t paddingByte = 0xEE;      // row padding, so that it shows if it is ever read
  std::size_t cutBytes = 0;             // bytes removed from the end of the file
  std::vector<std::uint8_t> trailer{};  // bytes appended after the rows
  char typeByte0 = 'B';
};

// The BMP file of `picture` (rows top to bottom, blue-green-red). 24- and 32-bit files hold
// the picture's values; files of other bit counts hold the picture's bytes as raw row data.
std::vector<std::uint8_t> makeBmp(const SpbPicture& picture, const BmpLayout& layout = {});

// A picture whose values follow smooth gradients plus noise of at most +-`noise`, so that
// small noise gives small residuals and noise 255 gives every group class.
SpbPicture randomPicture(std::uint32_t width, std::uint32_t height, unsigned seed, int noise);

// A view of `picture` for the coder.
SpbSource viewOf(const SpbPicture& picture);

}  // namespace kupack::test
