#include "codec/bitmap.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <new>
#include <optional>

#include "archive/file_holder.h"
#include "common/console.h"
#include "common/messages.h"
#include "platform/platform.h"

namespace kupack {
namespace {

constexpr std::int64_t MAX_DIMENSION = 65535;  // what the stream's 16-bit fields hold
constexpr std::uint32_t COMPRESSION_NONE = 0;
constexpr std::uint32_t COMPRESSION_BITFIELDS = 3;
constexpr std::uint32_t MASKS_SIZE = 12;         // red, green and blue masks, 4 bytes each
constexpr std::uint32_t HEADER_WITH_MASKS = 52;  // the smallest info header holding the masks

std::uint16_t readLE16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

std::uint32_t readLE32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

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
  const auto red = byteOfMask(readLE32(masks));
  const auto green = byteOfMask(readLE32(masks + 4));
  const auto blue = byteOfMask(readLE32(masks + 8));
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

// The errno of a failed read, or EIO when the stream simply ended early (the file shrank
// after its size was learned).
int readError(std::FILE* stream) { return std::ferror(stream) && errno != 0 ? errno : EIO; }

Status readFailure(const FileHolder& file) {
  return fileFailure(MSG_CANNOT_READ, file.path(), readError(file.stream()));
}

Status outOfMemory(const std::string& nativePath) {
  return Status::failed(
      formatText(MSG_OUT_OF_MEMORY, platform::nativeToConsoleText(nativePath).c_str()));
}

// Reads and drops `count` bytes; false when the stream ends first.
bool skipBytes(std::FILE* stream, std::uint64_t count) {
  std::uint8_t scratch[4096];
  while (count > 0) {
    const std::size_t chunk =
        count < sizeof scratch ? static_cast<std::size_t>(count) : sizeof scratch;
    if (std::fread(scratch, 1, chunk, stream) != chunk) return false;
    count -= chunk;
  }
  return true;
}

}  // namespace

std::uint16_t BitmapImage::biBitCount() const { return readLE16(&infoHeader_[14]); }
std::int32_t BitmapImage::width() const {
  return static_cast<std::int32_t>(readLE32(&infoHeader_[4]));
}
std::int32_t BitmapImage::height() const {
  return static_cast<std::int32_t>(readLE32(&infoHeader_[8]));
}

bool BitmapImage::readBitmapHeaders(const std::string& nativePath) {
  releaseBitmap();
  FileHolder file;
  if (!file.open(nativePath, "rb")) {
    fileHeader_.fill(0);
    infoHeader_.fill(0);
    paletteCount_ = 0;
    return false;
  }
  return readHeaders(file.stream());
}

bool BitmapImage::readHeaders(std::FILE* stream) {
  fileHeader_.fill(0);
  infoHeader_.fill(0);
  const bool complete =
      std::fread(fileHeader_.data(), 1, fileHeader_.size(), stream) == fileHeader_.size() &&
      std::fread(infoHeader_.data(), 1, infoHeader_.size(), stream) == infoHeader_.size();
  if (!complete) {
    fileHeader_.fill(0);
    infoHeader_.fill(0);
  }
  paletteCount_ = complete ? paletteCountFor(biBitCount()) : 0;
  return complete;
}

Status BitmapImage::loadBitmap(const std::string& nativePath, BitmapVerdict& verdict) {
  releaseBitmap();
  storeReason_ = StoreReason::None;
  FileHolder file;
  errno = 0;
  if (!file.open(nativePath, "rb")) return fileFailure(MSG_CANNOT_OPEN, nativePath, errno);
  return loadFrom(file, verdict);
}

BitmapVerdict BitmapImage::store(StoreReason reason) {
  releaseBitmap();
  storeReason_ = reason;
  return BitmapVerdict::StoreUnchanged;
}

Status BitmapImage::loadFrom(FileHolder& file, BitmapVerdict& verdict) {
  std::FILE* in = file.stream();
  if (!readHeaders(in)) {
    if (std::ferror(in)) return readFailure(file);
    verdict = store(StoreReason::UnreadableHeaders);
    return Status::ok();
  }
  const std::uint32_t infoSize = readLE32(&infoHeader_[0]);
  const std::int64_t pictureWidth = width();
  const std::int64_t storedHeight = height();  // negative for rows stored top row first
  const std::uint16_t bitCount = biBitCount();
  const std::uint32_t compression = readLE32(&infoHeader_[16]);
  const std::uint32_t colorsUsed = readLE32(&infoHeader_[32]);
  const std::uint32_t pixelOffset = readLE32(&fileHeader_[10]);

  if (fileHeader_[0] != 'B' || fileHeader_[1] != 'M') {
    verdict = store(StoreReason::NotBitmap);
    return Status::ok();
  }
  if (infoSize < BMP_INFO_HEADER_SIZE) {
    verdict = store(StoreReason::UnreadableHeaders);
    return Status::ok();
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
  if (refusal != StoreReason::None) {
    verdict = store(refusal);
    return Status::ok();
  }

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
      verdict = store(StoreReason::UnsupportedMasks);
      return Status::ok();
    }
    std::uint8_t masks[MASKS_SIZE];
    if (std::fread(masks, 1, sizeof masks, in) != sizeof masks) {
      if (std::ferror(in)) return readFailure(file);
      verdict = store(StoreReason::UnreadableHeaders);
      return Status::ok();
    }
    position += MASKS_SIZE;
    if (infoSize == BMP_INFO_HEADER_SIZE) headerEnd += MASKS_SIZE;
    const auto maskLayout = layoutFromMasks(masks);
    if (!maskLayout) {
      verdict = store(StoreReason::UnsupportedMasks);
      return Status::ok();
    }
    layout = *maskLayout;
  }
  if (pixelOffset < headerEnd) {
    verdict = store(StoreReason::BadPixelOffset);
    return Status::ok();
  }

  const auto fileWidth = static_cast<std::uint64_t>(pictureWidth);
  const auto fileHeight = static_cast<std::uint64_t>(pictureHeight);
  const std::uint64_t rowBytes = (bitCount * fileWidth + 31) / 32 * 4;
  const std::uint64_t pixelBytes = rowBytes * fileHeight;
  if (file.size() < pixelOffset + pixelBytes) {
    verdict = store(StoreReason::TruncatedPixels);
    return Status::ok();
  }
  if (!skipBytes(in, pixelOffset - position)) return readFailure(file);

  if (pixelBytes > std::numeric_limits<std::size_t>::max()) return outOfMemory(file.path());
  const auto blockSize = static_cast<std::size_t>(pixelBytes);
  pixels_.reset(new (std::nothrow) std::uint8_t[blockSize]);
  if (!pixels_) return outOfMemory(file.path());
  if (std::fread(pixels_.get(), 1, blockSize, in) != blockSize) {
    const Status failure = readFailure(file);
    releaseBitmap();
    return failure;
  }

  std::size_t pictureRowBytes = static_cast<std::size_t>(rowBytes);
  if (bitCount == 32) {
    const auto pixelCount = static_cast<std::size_t>(fileWidth * fileHeight);
    if (!fourthBytesCarryNoAlpha(pixels_.get(), pixelCount, layout.fourth)) {
      verdict = store(StoreReason::Alpha);
      return Status::ok();
    }
    packToThreeBytes(pixels_.get(), pixelCount, layout);
    pictureRowBytes = static_cast<std::size_t>(3 * fileWidth);
  }

  picture_.width = static_cast<std::uint32_t>(fileWidth);
  picture_.height = static_cast<std::uint32_t>(fileHeight);
  if (storedHeight > 0) {  // bottom-up: the top row is stored last
    picture_.topRow = pixels_.get() + (fileHeight - 1) * pictureRowBytes;
    picture_.stride = -static_cast<std::ptrdiff_t>(pictureRowBytes);
  } else {
    picture_.topRow = pixels_.get();
    picture_.stride = static_cast<std::ptrdiff_t>(pictureRowBytes);
  }
  verdict = BitmapVerdict::CodeAsSpb;
  return Status::ok();
}

void BitmapImage::releaseBitmap() {
  pixels_.reset();
  picture_ = SpbSource{};
}

Status BitmapImage::encodeSpb(const std::string& destinationPath) const {
  if (!isLoaded()) return fileFailure(MSG_CANNOT_WRITE, destinationPath, EINVAL);
  return encodeSpbFile(picture_, destinationPath);
}

}  // namespace kupack
