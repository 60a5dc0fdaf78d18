#include "codec/spb_decoder.h"

#include <algorithm>
#include <cstddef>

namespace kupack {
namespace {

// Reads bits most significant first; never past the span's end.
class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::uint64_t bitsLeft() const { return std::uint64_t{bytes_.size()} * 8 - position_; }
  std::uint64_t position() const { return position_; }

  // Reads `count` bits (0 to 32) into `value`; false, reading nothing, when fewer are left.
  bool read(unsigned count, std::uint32_t& value) {
    if (count > bitsLeft()) return false;
    std::uint32_t bits = 0;
    while (count > 0) {
      const unsigned available = 8 - static_cast<unsigned>(position_ & 7);
      const unsigned take = std::min(available, count);
      const unsigned byte = bytes_[static_cast<std::size_t>(position_ >> 3)];
      bits = static_cast<std::uint32_t>((std::uint64_t{bits} << take) |
                                        ((byte >> (available - take)) & ((1u << take) - 1)));
      position_ += take;
      count -= take;
    }
    value = bits;
    return true;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::uint64_t position_ = 0;
};

// The serpentine walk over a picture: row 0 forward, row 1 backward, and so on.
class SerpentineWalk {
 public:
  explicit SerpentineWalk(std::uint32_t width) : width_(width) {}
  std::size_t row() const { return row_; }
  std::size_t column() const { return static_cast<std::size_t>(column_); }
  void advance() {
    column_ += step_;
    if (column_ == static_cast<std::int64_t>(width_)) {
      step_ = -1;
      column_ = width_ - 1;
      ++row_;
    } else if (column_ < 0) {
      step_ = +1;
      column_ = 0;
      ++row_;
    }
  }

 private:
  std::uint32_t width_;
  std::size_t row_ = 0;
  std::int64_t column_ = 0;
  std::int64_t step_ = +1;
};

constexpr unsigned RAW_GROUP = 8;

// Reads a class code; the payload width (0 to 7) or RAW_GROUP for the raw class.
bool readClass(BitReader& reader, unsigned& width) {
  std::uint32_t code = 0;
  if (!reader.read(3, code)) return false;
  if (code == 0b111) {
    std::uint32_t last = 0;
    if (!reader.read(1, last)) return false;
    width = last == 0 ? 1 : 2;
  } else if (code == 0b110) {
    width = RAW_GROUP;
  } else {
    width = code == 0 ? 0 : code + 2;
  }
  return true;
}

bool fail(std::string& error, const char* text, SpbPicture& picture) {
  error = text;
  picture = SpbPicture{};
  return false;
}

}  // namespace

bool decodeSpb(std::span<const std::uint8_t> stream, SpbPicture& picture, std::string& error) {
  picture = SpbPicture{};
  BitReader reader(stream);
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  if (!reader.read(16, width) || !reader.read(16, height)) {
    return fail(error, "stream ends inside its header", picture);
  }
  if (width == 0 || height == 0) return fail(error, "picture has no pixels", picture);
  const std::uint64_t pixelCount = std::uint64_t{width} * height;
  const std::uint64_t groupsPerPlane = (pixelCount - 1 + 3) / 4;
  // Every plane takes at least its first value and a 3-bit class code per group.
  if (reader.bitsLeft() < 3 * (8 + 3 * groupsPerPlane)) {
    return fail(error, "stream ends early", picture);
  }
  picture.width = width;
  picture.height = height;
  picture.pixels.assign(static_cast<std::size_t>(pixelCount * 3), 0);
  const std::size_t rowBytes = std::size_t{width} * 3;

  for (std::size_t channel = 0; channel < 3; ++channel) {
    SerpentineWalk walk(width);
    auto at = [&]() -> std::uint8_t& {
      return picture.pixels[walk.row() * rowBytes + walk.column() * 3 + channel];
    };
    std::uint32_t previous = 0;
    if (!reader.read(8, previous)) return fail(error, "stream ends early", picture);
    at() = static_cast<std::uint8_t>(previous);
    std::uint64_t left = pixelCount - 1;
    while (left > 0) {
      unsigned classWidth = 0;
      if (!readClass(reader, classWidth)) return fail(error, "stream ends early", picture);
      const bool raw = classWidth == RAW_GROUP;
      const std::uint64_t entries = std::min<std::uint64_t>(4, left);
      for (std::uint64_t k = 0; k < 4; ++k) {
        std::uint32_t value = 0;
        if (!reader.read(classWidth, value)) return fail(error, "stream ends early", picture);
        if (k >= entries) {
          if (value != 0) return fail(error, "completing entry is not zero", picture);
          continue;
        }
        std::int64_t current = value;
        if (!raw) {
          current = value % 2 == 0 ? std::int64_t{previous} - value / 2
                                   : std::int64_t{previous} + (value + 1) / 2;
          if (current < 0 || current > 255) {
            return fail(error, "residual leaves 0..255", picture);
          }
        }
        walk.advance();
        at() = static_cast<std::uint8_t>(current);
        previous = static_cast<std::uint32_t>(current);
      }
      left -= entries;
    }
  }

  std::uint32_t fill = 0;
  const unsigned fillBits = static_cast<unsigned>((8 - reader.position() % 8) % 8);
  if (!reader.read(fillBits, fill) || fill != 0) {
    return fail(error, "fill bits are not zero", picture);
  }
  if (reader.bitsLeft() != 0) return fail(error, "bytes follow the end of the stream", picture);
  return true;
}

}  // namespace kupack
