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

// How far ahead of the band being read the file is asked to read.
constexpr std::uint64_t READ_AHEAD = std::uint64_t{8} << 20;

}  // namespace

bool NoAlphaCheck::add(const std::uint8_t* pixels, std::size_t count, std::size_t fourth) {
  if (count == 0) return value_ != -2;
  if (value_ == -1) value_ = pixels[fourth] == 0 || pixels[fourth] == 0xFF ? pixels[fourth] : -2;
  if (value_ == -2) return false;
  const auto value = static_cast<std::uint8_t>(value_);
  for (std::size_t i = 0; i < count; ++i) {
    if (pixels[4 * i + fourth] != value) {
      value_ = -2;
      return false;
    }
  }
  return true;
}

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

BitmapVerdict BitmapImage::store(StoreReason reason) {
  releaseBitmap();
  rows_ = PixelRows{};
  storeReason_ = reason;
  return BitmapVerdict::StoreUnchanged;
}

BitmapVerdict BitmapImage::inspectBitmap(std::span<const std::uint8_t> head,
                                         std::uint64_t fileSize) {
  storeReason_ = StoreReason::None;
  rows_ = PixelRows{};
  if (!readBitmapHeaders(head)) return store(StoreReason::UnreadableHeaders);
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
  const std::uint64_t position = BMP_FILE_HEADER_SIZE + BMP_INFO_HEADER_SIZE;
  ChannelLayout layout;
  if (compression == COMPRESSION_BITFIELDS) {
    // The masks follow a 40-byte header, or are its own next fields in a larger one: either
    // way they are the 12 bytes after the first 54.
    if (infoSize != BMP_INFO_HEADER_SIZE && infoSize < HEADER_WITH_MASKS) {
      return store(StoreReason::UnsupportedMasks);
    }
    if (head.size() < position + MASKS_SIZE) return store(StoreReason::UnreadableHeaders);
    if (infoSize == BMP_INFO_HEADER_SIZE) headerEnd += MASKS_SIZE;
    const auto maskLayout = layoutFromMasks(head.data() + position);
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
  if (fileSize < pixelOffset + rowBytes * fileHeight) return store(StoreReason::TruncatedPixels);

  rows_.offset = pixelOffset;
  rows_.storedBytes = static_cast<std::size_t>(rowBytes);  // at most 4 * 65535 + 3
  rows_.width = static_cast<std::uint32_t>(fileWidth);
  rows_.height = static_cast<std::uint32_t>(fileHeight);
  rows_.bottomUp = storedHeight > 0;
  rows_.fourBytes = bitCount == 32;
  rows_.layout = layout;
  return BitmapVerdict::CodeAsSpb;
}

BitmapVerdict BitmapImage::parseBitmap(std::span<std::uint8_t> bytes) {
  if (inspectBitmap(bytes, bytes.size()) == BitmapVerdict::StoreUnchanged) {
    return BitmapVerdict::StoreUnchanged;
  }
  const PixelRows rows = rows_;
  std::uint8_t* const pixels = bytes.data() + static_cast<std::size_t>(rows.offset);
  std::size_t pictureRowBytes = rows.storedBytes;
  if (rows.fourBytes) {
    const std::size_t pixelCount = std::size_t{rows.width} * rows.height;
    if (!NoAlphaCheck{}.add(pixels, pixelCount, rows.layout.fourth)) {
      return store(StoreReason::Alpha);
    }
    packToThreeBytes(pixels, pixelCount, rows.layout);
    pictureRowBytes = std::size_t{3} * rows.width;
  }

  picture_.width = rows.width;
  picture_.height = rows.height;
  if (rows.bottomUp) {  // the top row is stored last
    picture_.topRow = pixels + (rows.height - 1) * pictureRowBytes;
    picture_.stride = -static_cast<std::ptrdiff_t>(pictureRowBytes);
  } else {
    picture_.topRow = pixels;
    picture_.stride = static_cast<std::ptrdiff_t>(pictureRowBytes);
  }
  return BitmapVerdict::CodeAsSpb;
}

void BitmapImage::releaseBitmap() { picture_ = SpbSource{}; }

std::optional<BitmapVerdict> BitmapRows::inspect() {
  std::uint8_t head[BitmapImage::HEAD_BYTES];
  const auto got = static_cast<std::size_t>(std::min<std::uint64_t>(file_.size(), sizeof head));
  if (!file_.read(0, {head, got})) return std::nullopt;
  const BitmapVerdict verdict = image_.inspectBitmap({head, got}, file_.size());
  if (verdict == BitmapVerdict::StoreUnchanged || !image_.pixelRows().fourBytes) return verdict;
  const std::optional<bool> noAlpha = hasNoAlpha();
  if (!noAlpha) return std::nullopt;
  return *noAlpha ? verdict : image_.store(StoreReason::Alpha);
}

std::optional<bool> BitmapRows::hasNoAlpha() {
  const PixelRows& rows = image_.pixelRows();
  const auto bandRows =
      static_cast<std::uint32_t>(std::max<std::size_t>(1, SPB_BAND_BYTES / rows.storedBytes));
  NoAlphaCheck check;
  for (std::uint32_t first = 0; first < rows.height; first += bandRows) {
    const std::uint32_t count = std::min(bandRows, rows.height - first);
    if (!readStoredRows(first, count, false)) return std::nullopt;
    if (!check.add(band_.data(), std::size_t{count} * rows.width, rows.layout.fourth)) return false;
  }
  return true;
}

bool BitmapRows::readBand(std::uint32_t first, std::uint32_t count, SpbSource& band) {
  const PixelRows& rows = image_.pixelRows();
  // Rows `first` on, counted from the top, are stored from the bottom in a bottom-up file.
  const std::uint64_t storedFirst = rows.bottomUp ? rows.height - first - count : first;
  if (!readStoredRows(storedFirst, count, rows.bottomUp)) return false;
  std::size_t rowBytes = rows.storedBytes;
  if (rows.fourBytes) {  // 32-bit rows have no padding: the band is one block of pixels
    packToThreeBytes(band_.data(), std::size_t{count} * rows.width, rows.layout);
    rowBytes = std::size_t{3} * rows.width;
  }
  const auto stride = static_cast<std::ptrdiff_t>(rowBytes);
  band.width = rows.width;
  band.height = count;
  band.topRow = rows.bottomUp ? band_.data() + (count - 1) * rowBytes : band_.data();
  band.stride = rows.bottomUp ? -stride : stride;
  return true;
}

bool BitmapRows::readStoredRows(std::uint64_t storedFirst, std::uint32_t count, bool backwards) {
  const PixelRows& rows = image_.pixelRows();
  const std::size_t size = std::size_t{count} * rows.storedBytes;  // about one band, or one row
  const std::uint64_t start = rows.offset + storedFirst * rows.storedBytes;
  const std::uint64_t end = start + size;
  if (start < aheadStart_ || end > aheadEnd_) {
    // A bottom-up file is coded from its end to its start, which a system's own read-ahead
    // does not follow: the file is asked for the next stretch in the order of reading.
    const std::uint64_t pixelsEnd = rows.offset + std::uint64_t{rows.height} * rows.storedBytes;
    aheadStart_ = backwards ? std::max(rows.offset, end - std::min(end, READ_AHEAD)) : start;
    aheadEnd_ = backwards ? end : std::max(end, std::min(pixelsEnd, start + READ_AHEAD));
    aheadStart_ = std::min(aheadStart_, start);  // a band longer than the stretch
    file_.willRead(aheadStart_, aheadEnd_ - aheadStart_);
  }
  band_.resize(size);
  return file_.read(start, {band_.data(), band_.size()});
}

}  // namespace kupack
