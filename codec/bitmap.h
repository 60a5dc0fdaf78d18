// BitmapImage: the bitmap parser. It reads one BMP file's headers from its bytes and decides
// whether the file's picture can be SPB-coded exactly or the file must be stored as it is;
// on the first verdict its picture is a view of 24-bit rows inside the caller's bytes. It
// never reads outside the bytes it is given, and opens, allocates and prints nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/spb.h"

namespace kupack {

inline constexpr std::size_t BMP_FILE_HEADER_SIZE = 14;
inline constexpr std::size_t BMP_INFO_HEADER_SIZE = 40;

// What to do with a bitmap without a colour table after loadBitmap.
enum class BitmapVerdict {
  CodeAsSpb,       // picture() views the picture; SPB codes it exactly
  StoreUnchanged,  // SPB cannot hold this file exactly: store its bytes unchanged
};

// Why a bitmap is to be stored (for tests and diagnostics).
enum class StoreReason {
  None,                 // loaded, or nothing tried yet
  UnreadableHeaders,    // shorter than 54 bytes, or an info header shorter than 40 bytes
  NotBitmap,            // the file does not start with "BM"
  PaletteBitmap,        // 1, 4 or 8 bits per pixel: the LZSS coder's files
  SixteenBit,           // 16 bits per pixel
  UnsupportedBitCount,  // none of 1, 4, 8, 16, 24, 32
  UnsupportedLayout,    // compression other than none (24-bit) or none/bit fields (32-bit)
  UnsupportedMasks,     // 32-bit bit fields whose masks are not three whole, distinct bytes
  BadDimensions,        // width or height 0, negative width, or 65536 and more
  BadPixelOffset,       // bfOffBits points into the headers, masks or colour table
  TruncatedPixels,      // the file holds fewer pixel bytes than its header promises
  Alpha,                // 32-bit pixels whose fourth bytes vary: an alpha channel
};

class BitmapImage {
 public:
  BitmapImage() = default;
  ~BitmapImage() = default;
  BitmapImage(const BitmapImage&) = delete;
  BitmapImage& operator=(const BitmapImage&) = delete;

  // Reads the 14-byte file header and the 40-byte info header from the front of `bytes`.
  // True when `bytes` holds both; otherwise the headers are zero and paletteCount() is 0.
  // Forgets any picture.
  bool readBitmapHeaders(std::span<const std::uint8_t> bytes);

  // How many bytes from the file's start the headers say the picture takes up (up to the
  // end of its last row), or 0 when the headers could not be read. A file that is shorter
  // is stored; bytes after it are never looked at, so a caller need not read them.
  std::uint64_t pictureEnd() const;

  // Reads the headers again from `bytes`, the file's bytes from its start (at least up to
  // pictureEnd(), or all of them) and decides. On CodeAsSpb, picture() views the 24-bit
  // rows inside `bytes` (a 32-bit picture is first packed there in place), valid while
  // `bytes` lives and is not changed; on StoreUnchanged nothing is viewed and
  // storeReason() says why.
  BitmapVerdict parseBitmap(std::span<std::uint8_t> bytes);

  // Forgets the picture, if any. Calling it again does nothing.
  void releaseBitmap();

  // Colour-table entries implied by the bit count: 2, 16, 256 for 1, 4, 8 bits per pixel,
  // 0 for every other bit count and when the headers could not be read.
  int paletteCount() const { return paletteCount_; }
  std::uint16_t biBitCount() const;
  std::int32_t width() const;   // biWidth
  std::int32_t height() const;  // biHeight, sign included
  const std::array<std::uint8_t, BMP_FILE_HEADER_SIZE>& fileHeader() const { return fileHeader_; }
  const std::array<std::uint8_t, BMP_INFO_HEADER_SIZE>& infoHeader() const { return infoHeader_; }

  bool isLoaded() const { return picture_.topRow != nullptr; }
  StoreReason storeReason() const { return storeReason_; }
  // The loaded picture, top row first; valid while the image stays loaded.
  const SpbSource& picture() const { return picture_; }

 private:
  BitmapVerdict store(StoreReason reason);

  std::array<std::uint8_t, BMP_FILE_HEADER_SIZE> fileHeader_{};
  std::array<std::uint8_t, BMP_INFO_HEADER_SIZE> infoHeader_{};
  int paletteCount_ = 0;
  bool headersRead_ = false;
  StoreReason storeReason_ = StoreReason::None;
  SpbSource picture_;
};

}  // namespace kupack
