// Decoder of the SPB image stream: 16-bit width and height, then the blue, green and red
// planes along the serpentine scan. It never reads past the stream and refuses a stream
// that ends early, whose residuals leave 0..255, or that is not exactly as the coder
// writes it (non-zero completing entries or fill bits, bytes after the end).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kupack {

struct SpbPicture {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Rows from the top of the picture to its bottom, width pixels each, 3 bytes per
  // pixel in the order blue, green, red; no row padding.
  std::vector<std::uint8_t> pixels;
};

// Decodes `stream` into `picture`. False, with a short English `error` and an empty
// `picture`, on a stream that ends early, a residual that leaves 0..255, or any of the
// departures above. Memory is only reserved for a picture the
// stream is long enough to hold, so a hostile header cannot cause a huge allocation.
bool decodeSpb(std::span<const std::uint8_t> stream, SpbPicture& picture, std::string& error);

}  // namespace kupack
