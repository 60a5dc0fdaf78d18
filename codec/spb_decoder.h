// Decoder of the SPB image stream: 16-bit width and height, then the blue, green and red
// planes along the serpentine scan. It never reads past the stream and refuses a stream
// that ends early, whose residuals leave 0..255, or that is not exactly as the coder
// writes it (non-zero completing entries or fill bits, bytes after the end). It decodes
// row by row: memory is bounded by one row and a few bytes per row, whatever the picture.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/byte_stream.h"
#include "common/status.h"

namespace kupack {

struct SpbPicture {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Rows from the top of the picture to its bottom, width pixels each, 3 bytes per
  // pixel in the order blue, green, red; no row padding.
  std::vector<std::uint8_t> pixels;
};

// Reads one SPB stream from a source: check() walks the whole stream once, refusing
// every departure, and notes where each row of each plane starts; writeRows() then hands
// the rows to a sink in either order, reading each plane with a reader of its own.
class SpbRowDecoder {
 public:
  explicit SpbRowDecoder(PositionedSource& stream) : stream_(stream) {}

  // Corrupt, with a reason code, on any departure named above;
  // CannotRead on a failed read. With `pixels`, also keeps the picture there, as
  // SpbPicture::pixels holds it (the caller makes sure that width × height × 3 bytes fit
  // in memory), so that a picture that fits is decoded in this one pass.
  Status check(std::vector<std::uint8_t>* pixels = nullptr);

  // Known after check() (the header alone after a failure past it).
  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }

  // After a successful check(): each row, `width` × 3 bytes (blue, green, red per pixel),
  // in one sink write, top row first or, with `bottomUp`, bottom row first. Fails (with a
  // reason code) as CannotRead or Corrupt when the source cannot be read again or has
  // changed, as OutputError when the sink refuses a row.
  Status writeRows(bool bottomUp, ByteSink& sink);

 private:
  struct PlaneState {
    std::uint64_t bitPosition = 0;  // where the next code of the plane starts
    std::uint8_t previous = 0;
    std::uint8_t classWidth = 0;
    std::uint8_t entry = 0;  // entries of the current group read; FIRST_VALUE, NEW_GROUP
  };

  PositionedSource& stream_;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::vector<PlaneState> rowStarts_;  // plane-major: 3 × height states
  std::uint64_t planeEnds_[3] = {};    // byte after each plane's last bit
  bool checked_ = false;
};

// Checks and decodes `stream` whole into `picture`. Fails as check() does, or as Refused for
// a picture larger than this build's address space can hold, always with an empty
// `picture`. Memory is only reserved for a picture the stream is long enough to hold, so a
// hostile header cannot cause a huge allocation.
Status decodeSpb(PositionedSource& stream, SpbPicture& picture);
Status decodeSpb(std::span<const std::uint8_t> stream, SpbPicture& picture);

}  // namespace kupack
