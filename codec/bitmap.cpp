#include "codec/bitmap.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "common/byte_order.h"

namespace kupack {
namespace {

constexpr std::int64_t MAX_DIMENSION = 65535;  // what the stream's 16-bit fields hold
constexpr std::uint32_t COMPRESSION_NONE = 0;
constexpr std::uint32_t COMPRESSION_BITFIELDS = 3;
constexpr std::uint32_t MASKS_SIZE = 12;         // red, green and blue masks, 4 bytes each
constexpr std::uint32_t HEADER_WITH_MASKS = 52;  // the smallest info header holding the masks

int paletteCountFor(std::uint16_t bitCount) {
  switch (bitCount) {
    case 1:
      return 2;
    case 4:
      return 16;
    case 8:
      return 256;
    default:
      return 0;
  }
}

// Where blue, green, red and the fourth byte sit within a 4-byte pixel.
struct ChannelLayout {
  std::size_t blue = 0;
  std::size_t green = 1;
  std::size_t red = 2;
  std::size_t fourth = 3;
};

// The byte (0 to 3) that `mask` selects whole, or nullopt for any other mask.
std::optional<std::size_t> byteOfMask(std::uint32_t mask) {
  for (std::size_t index = 0; index < 4; ++index) {
    if (mask == std::uint32_t{0xFF} << (8 * index)) return index;
  }
  return std::nullopt;
}

// The layout that bit-field masks describe, when each selects one whole byte of its own.
std::optional<ChannelLayout> layoutFromMasks(const std::uint8_t* masks) {
  const auto red = byteOfMask(loadLE32(masks));
  const auto green = byteOfMask(loadLE32(masks + 4));
  const auto blue = byteOfMask(loadLE32(masks + 8));
  if (!red || !green || !blue || *red == *green || *red == *blue || *green == *blue) {
    return std::nullopt;
  }
  return ChannelLayout{*blue, *green, *red, 6 - *blue - *green - *red};
}

// True when the fourth byte of every pixel is 0, or of every pixel 255: no alpha channel.
bool fourthBytesCarryNoAlpha(const std::uint8_t* pixels, std::size_t count, std::size_t fourth) {
  const std::uint8_t first = pixels[fourth];
  if (first != 0 && first != 0xFF) return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (pixels[4 * i + fourth] != first) return false;
  }
  return true;
}

// Rewrites `count` 4-byte pixels as 3-byte blue, green, red pixels from the block's start.
// Safe in place: pixel i is read whole before its 3 bytes land at or below its own start.
void packToThreeBytes(std::uint8_t* pixels, std::size_t count, const ChannelLayout& layout) {
  const std::uint8_t* from = pixels;
  std::uint8_t* to = pixels;
  for (std::size_t i = 0; i < count; ++i, from += 4, to += 3) {
    const std::uint8_t blue = from[layout.blue];
    const std::uint8_t green = from[layout.green];
    const std::uint8_t red = from[layout.red];
    to[0] = blue;
    to[1] = green;
    to[2] = red;
  }
}

}  // namespace

std::uint16_t BitmapImage::biBitCount() const { return loadLE16(&infoHeader_[14]); }
std::int32_t BitmapImage::width() const {
  return static_cast<std::int32_t>(loadLE32(&infoHeader_[4]));
}
std::int32_t BitmapImage::height() const {
  return static_cast<std::int32_t>(loadLE32(&infoHeader_[8]));
}

bool BitmapImage::readBitmapHeaders(std::span<const std::uint8_t> bytes) {
  releaseBitmap();
  fileHeader_.fill(0);
  infoHeader_.fill(0);
  const bool complete = bytes.size() >= BMP_FILE_HEADER_SIZE + BMP_INFO_HEADER_SIZE;
  if (complete) {
    std::copy_n(bytes.begin(), BMP_FILE_HEADER_SIZE, fileHeader_.begin());
    std::copy_n(bytes.begin() + BMP_FILE_HEADER_SIZE, BMP_INFO_HEADER_SIZE, infoHeader_.begin());
  }
  paletteCount_ = complete ? paletteCountFor(biBitCount()) : 0;
  headersRead_ = complete;
  return complete;
}

std::uint64_t BitmapImage::pictureEnd() const {
  if (!headersRead_) return 0;
  const std::int64_t pictureWidth = width();
  const std::int64_t storedHeight = height();
  const std::int64_t pictureHeight = storedHeight < 0 ? -storedHeight : storedHeight;
  std::uint64_t end = BMP_FILE_HEADER_SIZE + BMP_INFO_HEADER_SIZE + MASKS_SIZE;
  if (pictureWidth >= 1 && pictureWidth <= MAX_DIMENSION && pictureHeight <= MAX_DIMENSION) {
    const std::uint64_t rowBytes =
        (biBitCount() * static_cast<std::uint64_t>(pictureWidth) + 31) / 32 * 4;
    end = std::max(
        end, loadLE32(&fileHeader_[10]) + rowBytes * static_cast<std::uint64_t>(pictureHeight));
  }
  return end;
}

BitmapVerdict BitmapImage::store(StoreReason reason) {
  releaseBitmap();
  storeReason_ = reason;
  return BitmapVerdict::StoreUnchanged;
}

BitmapVerdict BitmapImage::parseBitmap(std::span<std::uint8_t> bytes) {
  storeReason_ = StoreReason::None;
  if (!readBitmapHeaders(bytes)) return store(StoreReason::UnreadableHeaders);
  const std::uint32_t infoSize = loadLE32(&infoHeader_[0]);
  const std::int64_t pictureWidth = width();
  const std::int64_t storedHeight = height();  // negative for rows stored top row first
  const std::uint16_t bitCount = biBitCount();
  const std::uint32_t compression = loadLE32(&infoHeader_[16]);
  const std::uint32_t colorsUsed = loadLE32(&infoHeader_[32]);
  const std::uint32_t pixelOffset = loadLE32(&fileHeader_[10]);

  if (fileHeader_[0] != 'B' || fileHeader_[1] != 'M') {
    return store(StoreReason::NotBitmap);
  }
  if (infoSize < BMP_INFO_HEADER_SIZE) {
    return store(StoreReason::UnreadableHeaders);
  }
  StoreReason refusal = StoreReason::None;
  switch (bitCount) {
    case 1:
    case 4:
    case 8:
      refusal = StoreReason::PaletteBitmap;
      break;
    case 16:
      refusal = StoreReason::SixteenBit;
      break;
    case 24:
      if (compression != COMPRESSION_NONE) refusal = StoreReason::UnsupportedLayout;
      break;
    case 32:
      if (compression != COMPRESSION_NONE && compression != COMPRESSION_BITFIELDS) {
        refusal = StoreReason::UnsupportedLayout;
      }
      break;
    default:
      refusal = StoreReason::UnsupportedBitCount;
  }
  const std::int64_t pictureHeight = storedHeight < 0 ? -storedHeight : storedHeight;
  if (refusal == StoreReason::None && (pictureWidth < 1 || pictureWidth > MAX_DIMENSION ||
                                       pictureHeight < 1 || pictureHeight > MAX_DIMENSION)) {
    refusal = StoreReason::BadDimensions;
  }
  if (refusal != StoreReason::None) return store(refusal);

  // Everything before the pixel rows: headers, bit-field masks after a 40-byte header,
  // and a colour table when the header announces one.
  std::uint64_t headerEnd =
      BMP_FILE_HEADER_SIZE + std::uint64_t{infoSize} + 4 * std::uint64_t{colorsUsed};
  std::uint64_t position = BMP_FILE_HEADER_SIZE + BMP_INFO_HEADER_SIZE;
  ChannelLayout layout;
  if (compression == COMPRESSION_BITFIELDS) {
    // The masks follow a 40-byte header, or are its own next fields in a larger one: either
    // way they are the 12 bytes after the first 54.
    if (infoSize != BMP_INFO_HEADER_SIZE && infoSize < HEADER_WITH_MASKS) {
      return store(StoreReason::UnsupportedMasks);
    }
    if (bytes.size() < position + MASKS_SIZE) return store(StoreReason::UnreadableHeaders);
    const std::uint8_t* masks = bytes.data() + position;
    if (infoSize == BMP_INFO_HEADER_SIZE) headerEnd += MASKS_SIZE;
    const auto maskLayout = layoutFromMasks(masks);
    if (!maskLayout) {
      return store(StoreReason::UnsupportedMasks);
    }
    layout = *maskLayout;
  }
  if (pixelOffset < headerEnd) {
    return store(StoreReason::BadPixelOffset);
  }

  const auto fileWidth = static_cast<std::uint64_t>(pictureWidth);
  const auto fileHeight = static_cast<std::uint64_t>(pictureHeight);
  const std::uint64_t rowBytes = (bitCount * fileWidth + 31) / 32 * 4;
  const std::uint64_t pixelBytes = rowBytes * fileHeight;
  if (bytes.size() < pixelOffset + pixelBytes) return store(StoreReason::TruncatedPixels);
  std::uint8_t* const pixels = bytes.data() + pixelOffset;

  std::size_t pictureRowBytes = static_cast<std::size_t>(rowBytes);
  if (bitCount == 32) {
    const auto pixelCount = static_cast<std::size_t>(fileWidth * fileHeight);
    if (!fourthBytesCarryNoAlpha(pixels, pixelCount, layout.fourth)) {
      return store(StoreReason::Alpha);
    }
    packToThreeBytes(pixels, pixelCount, layout);
    pictureRowBytes = static_cast<std::size_t>(3 * fileWidth);
  }

  picture_.width = static_cast<std::uint32_t>(fileWidth);
  picture_.height = static_cast<std::uint32_t>(fileHeight);
  if (storedHeight > 0) {  // bottom-up: the top row is stored last
    picture_.topRow = pixels + (fileHeight - 1) * pictureRowBytes;
    picture_.stride = -static_cast<std::ptrdiff_t>(pictureRowBytes);
  } else {
    picture_.topRow = pixels;
    picture_.stride = static_cast<std::ptrdiff_t>(pictureRowBytes);
  }
  return BitmapVerdict::CodeAsSpb;
}

void BitmapImage::releaseBitmap() { picture_ = SpbSource{}; }

}  // namespace kupack
