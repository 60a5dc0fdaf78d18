// Decoder of the modified LZSS stream: rebuilds exactly `expectedSize` bytes by the ring
// rules (256 slots, slots 0..238 start as spaces, writing starts at slot 239), through the
// ring alone, handing the bytes to a sink in bounded pieces. It never reads past the stream
// nor produces more than the expected size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/byte_stream.h"
#include "common/status.h"

namespace kupack {

// The most bytes an LZSS stream of `streamSize` bytes can code: every 13 bits a match
// of 17 bytes, plus one literal in what is left.
std::uint64_t maxLzssOutput(std::uint64_t streamSize);

struct LzssDecoded {
  std::uint64_t produced = 0;   // bytes handed to the sink
  std::uint64_t bytesUsed = 0;  // stream bytes holding the tokens read, the last partial one too
};

// Hands the `expectedSize` bytes that `stream` codes to `sink`. Fails, with a reason code, as
// Corrupt when the stream ends before that many bytes are produced,
// CannotRead when it cannot be read, OutputError when the sink refuses a piece. Bytes after
// the last needed token are not read; `decoded.bytesUsed` tells where the tokens ended, so
// that the caller can refuse what follows.
Status decodeLzss(PositionedSource& stream, std::uint64_t expectedSize, ByteSink& sink,
                  LzssDecoded& decoded);

// The same into a vector. `out` is cleared first; after a failure it holds the bytes
// decoded before the stream ran out. Bytes after the last needed token are ignored.
Status decodeLzss(std::span<const std::uint8_t> stream, std::size_t expectedSize,
                  std::vector<std::uint8_t>& out);

}  // namespace kupack
