// BitmapImage: the bitmap parser. It reads one BMP file's headers and decides whether the
// file's picture can be SPB-coded exactly or the file must be stored as it is; it says where
// the pixel rows lie, so that a caller can read them a band at a time and turn them into the
// coder's 3-byte pixels, or views the picture inside the whole file's bytes in memory.
// BitmapRows reads a file's rows by position a band at a time, so that a picture of any size
// is coded holding one band. Nothing here reads outside the bytes it is given, opens a file
// or prints.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/byte_stream.h"
#include "codec/raw_bytes.h"
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

// Where blue, green, red and the fourth byte sit within a 4-byte pixel.
struct ChannelLayout {
  std::size_t blue = 0;
  std::size_t green = 1;
  std::size_t red = 2;
  std::size_t fourth = 3;
};

// Where the pixel rows of a picture found codable lie in its file, and their form.
struct PixelRows {
  std::uint64_t offset = 0;     // of the first stored row (bfOffBits)
  std::size_t storedBytes = 0;  // of a stored row, padding included
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool bottomUp = true;    // the top row is stored last
  bool fourBytes = false;  // 32-bit pixels: check the fourth bytes, pack to 3 bytes
  ChannelLayout layout;    // of 4-byte pixels
};

// Watches the fourth bytes of a 32-bit picture's pixels, a block at a time in any order:
// there is no alpha channel when they are all 0 or all 255.
class NoAlphaCheck {
 public:
  // False once some fourth byte shows an alpha channel.
  bool add(const std::uint8_t* pixels, std::size_t count, std::size_t fourth);

 private:
  int value_ = -1;  // the fourth bytes' one value so far
};

// Rewrites `count` 4-byte pixels as 3-byte blue, green, red pixels from the block's start.
// Safe in place: pixel i is read whole before its 3 bytes land at or below its own start.
void packToThreeBytes(std::uint8_t* pixels, std::size_t count, const ChannelLayout& layout);

class BitmapRows;

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

  // Reads the headers again from `head`, the file's first bytes (all of them, or at least
  // HEAD_BYTES), and decides from them and the file's length `fileSize`. On CodeAsSpb,
  // pixelRows() says where the rows lie; a 32-bit picture is stored unless NoAlphaCheck
  // passes all its pixels. Views no picture.
  static constexpr std::size_t HEAD_BYTES = BMP_FILE_HEADER_SIZE + BMP_INFO_HEADER_SIZE + 12;
  BitmapVerdict inspectBitmap(std::span<const std::uint8_t> head, std::uint64_t fileSize);
  const PixelRows& pixelRows() const { return rows_; }

  // Reads the headers again from `bytes`, the file's bytes from its start (at least up to
  // the end of its last row, or all of them) and decides. On CodeAsSpb, picture() views the 24-bit
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
  friend class BitmapRows;  // stores a 32-bit picture whose rows show an alpha channel
  BitmapVerdict store(StoreReason reason);

  PixelRows rows_;
  std::array<std::uint8_t, BMP_FILE_HEADER_SIZE> fileHeader_{};
  std::array<std::uint8_t, BMP_INFO_HEADER_SIZE> infoHeader_{};
  int paletteCount_ = 0;
  bool headersRead_ = false;
  StoreReason storeReason_ = StoreReason::None;
  SpbSource picture_;
};

// A bitmap file's picture read by position, a band of rows at a time, as the SPB coder
// asks for it: 3-byte pixels, top row first. Holds one band of stored rows.
class BitmapRows final : public SpbRows {
 public:
  explicit BitmapRows(PositionedSource& file) : file_(file) {}

  // Decides from the file's first bytes and its size; a 32-bit picture's pixels are read
  // once to look for an alpha channel. nullopt when the file could not be read (the source
  // keeps why).
  std::optional<BitmapVerdict> inspect();
  const BitmapImage& image() const { return image_; }

  // After inspect() said CodeAsSpb:
  std::uint32_t width() const override { return image_.pixelRows().width; }
  std::uint32_t height() const override { return image_.pixelRows().height; }
  bool readBand(std::uint32_t first, std::uint32_t count, SpbSource& band) override;

 private:
  // Reads `count` stored rows from stored row `storedFirst` on into band_. `backwards`: the
  // rows after them come from before them in the file.
  bool readStoredRows(std::uint64_t storedFirst, std::uint32_t count, bool backwards);
  // False when some fourth byte shows an alpha channel, nullopt when the rows could not be read.
  std::optional<bool> hasNoAlpha();

  PositionedSource& file_;
  BitmapImage image_;
  RawBytes band_;  // always read into before it is looked at
  std::uint64_t aheadStart_ = 0;  // the bytes last asked to be read ahead
  std::uint64_t aheadEnd_ = 0;
};

}  // namespace kupack
