// BitmapImage: one BMP file's headers and, once loaded, its picture as 24-bit rows in a
// block it owns. Loading decides whether the file's picture can be SPB-coded exactly or the
// file must be stored as it is; nothing is ever read outside the file or the block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "codec/spb.h"
#include "common/status.h"

namespace kupack {

class FileHolder;

inline constexpr std::size_t BMP_FILE_HEADER_SIZE = 14;
inline constexpr std::size_t BMP_INFO_HEADER_SIZE = 40;

// What to do with a bitmap without a colour table after loadBitmap.
enum class BitmapVerdict {
  CodeAsSpb,       // the picture is loaded; encodeSpb codes it exactly
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

  // Releases what the image holds, then reads the 14-byte file header and the 40-byte info
  // header. True when the file could be opened and held both; otherwise the headers are
  // zero and paletteCount() is 0. Allocates nothing.
  bool readBitmapHeaders(const std::string& nativePath);

  // Releases what the image holds, reads the headers again and decides. On CodeAsSpb the
  // picture is loaded (24-bit rows, read from bfOffBits, any row order or 32-bit layout
  // already resolved); on StoreUnchanged nothing is held and storeReason() says why.
  // A file that cannot be opened or read, or a block that cannot be allocated, is a
  // failure naming the file; `verdict` is then not set.
  Status loadBitmap(const std::string& nativePath, BitmapVerdict& verdict);

  // Frees the pixel block, if any. Calling it again does nothing.
  void releaseBitmap();

  // Creates `destinationPath` and writes the SPB stream of the loaded picture into it,
  // printing the SPB type line after the header bits. A destination that cannot be
  // created, a failed write, or an image that is not loaded is a failure naming the
  // destination.
  Status encodeSpb(const std::string& destinationPath) const;

  // Colour-table entries implied by the bit count: 2, 16, 256 for 1, 4, 8 bits per pixel,
  // 0 for every other bit count and when the headers could not be read.
  int paletteCount() const { return paletteCount_; }
  std::uint16_t biBitCount() const;
  std::int32_t width() const;   // biWidth
  std::int32_t height() const;  // biHeight, sign included
  const std::array<std::uint8_t, BMP_FILE_HEADER_SIZE>& fileHeader() const { return fileHeader_; }
  const std::array<std::uint8_t, BMP_INFO_HEADER_SIZE>& infoHeader() const { return infoHeader_; }

  bool isLoaded() const { return pixels_ != nullptr; }
  StoreReason storeReason() const { return storeReason_; }
  // The loaded picture, top row first; valid while the image stays loaded.
  const SpbSource& picture() const { return picture_; }

 private:
  // Reads both headers from the stream's start and sets paletteCount_; false (headers
  // zero) when the stream holds fewer than 54 bytes.
  bool readHeaders(std::FILE* stream);
  // Everything loadBitmap does after the file is open; `verdict` as there.
  Status loadFrom(FileHolder& file, BitmapVerdict& verdict);
  BitmapVerdict store(StoreReason reason);

  std::array<std::uint8_t, BMP_FILE_HEADER_SIZE> fileHeader_{};
  std::array<std::uint8_t, BMP_INFO_HEADER_SIZE> infoHeader_{};
  int paletteCount_ = 0;
  StoreReason storeReason_ = StoreReason::None;
  std::unique_ptr<std::uint8_t[]> pixels_;  // the picture's rows, 3 bytes per pixel
  SpbSource picture_;
};

}  // namespace kupack
