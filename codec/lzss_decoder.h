// Decoder of the modified LZSS stream: rebuilds exactly `expectedSize` bytes by the ring
// rules (256 slots, slots 0..238 start as spaces, writing starts at slot 239).
// It never reads past the stream nor writes past the expected size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kupack {

// Fills `out` with the `expectedSize` bytes that `stream` codes. False, with a short
// English `error`, when the stream ends before that many bytes are produced; bytes after
// the last needed token (padding) are ignored. `out` is cleared first; after a failure it
// holds the bytes decoded before the stream ran out.
bool decodeLzss(std::span<const std::uint8_t> stream, std::size_t expectedSize,
                std::vector<std::uint8_t>& out, std::string& error);

}  // namespace kupack
