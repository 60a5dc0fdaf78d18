// Writes a decoded picture as an uncompressed 24-bit BMP file: a 14-byte file header and a
// 40-byte info header (little-endian), then the rows bottom-up, each padded to 4 bytes.
// Promises the exact file the headers describe; refuses pictures a BMP cannot describe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "codec/byte_stream.h"
#include "codec/spb_decoder.h"
#include "common/status.h"

namespace kupack {

inline constexpr std::size_t BMP_HEADERS_SIZE = 54;

// Bytes per row of a 24-bit BMP `width` pixels wide: 3 per pixel, rounded up to 4.
std::uint64_t bmp24RowStride(std::uint64_t width);

// The length of the 24-bit BMP file of a `width` × `height` picture, or nullopt when it
// exceeds what the 32-bit size fields can hold.
std::optional<std::uint32_t> bmp24FileSize(std::uint64_t width, std::uint64_t height);

// The 54 header bytes of the 24-bit BMP of a `width` × `height` picture, whose file size
// `bmp24FileSize` must have accepted. Positive height (rows bottom-up), 2835 pixels per
// metre (72 dpi), no colour table.
std::array<std::uint8_t, BMP_HEADERS_SIZE> bmp24Headers(std::uint32_t width, std::uint32_t height);

// Hands the whole BMP file of `picture` to `sink` in pieces (headers, then each row with
// its padding); stops with OutputError as soon as `sink` refuses, Refused when the picture
// is too large for a BMP file or its pixels do not match its size.
Status writeBmp24(const SpbPicture& picture,
                  const std::function<bool(std::span<const std::uint8_t>)>& sink);

// Hands the whole BMP file of the picture that `decoder` has checked to `sink`, decoding it
// row by row (bottom row first, as the file wants it). Fails, with a reason code,
// as Refused when the picture is too large for a BMP file, otherwise as writeRows() does
// (the sink refusing the headers, too, is an OutputError).
Status writeBmp24(SpbRowDecoder& decoder, ByteSink& sink);

}  // namespace kupack
