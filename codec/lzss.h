// The modified LZSS coder of palette bitmaps: a 256-byte ring whose first 239 slots start
// as spaces, a 239-byte reach, matches of 2 to 17 bytes named by ring slot. The whole
// source is coded as plain bytes; the stream has no header and no end marker.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/byte_stream.h"
#include "codec/lzss_format.h"

namespace kupack {

class WorkerPool;

// Bytes read per refill of the coder's window, kept within LZSS_MIN_BLOCK..LZSS_MAX_BLOCK.
// Each refill is a stretch that two threads share; at its end one waits for the other, so
// the default is large enough for that to be rare (the coder's buffers take about four
// times it).
inline constexpr std::size_t LZSS_DEFAULT_BLOCK = std::size_t{1} << 22;
inline constexpr std::size_t LZSS_MIN_BLOCK = 4096;
inline constexpr std::size_t LZSS_MAX_BLOCK = std::size_t{1} << 26;

// The coder itself: codes everything `input` gives into `output` and tells `listener` (when
// given) how much of the source a 512-byte window would have taken in before every 5000th
// token, against `totalSize` (the size the file system reported; it serves only the
// listener). `blockSize` changes how much is read at a time, never the stream. Each call has
// its own state, so calls may overlap. `worker`, when given and one of its threads is idle, codes
// stretches of the source ahead on that thread; that changes only the speed and when the listener
// hears, never the stream or what it hears. Without one the call codes on its own thread alone.
CodingResult lzssCompress(ByteSource& input, ByteSink& output, std::uint64_t totalSize,
                          ProgressListener* listener = nullptr, WorkerPool* worker = nullptr,
                          std::size_t blockSize = LZSS_DEFAULT_BLOCK);

}  // namespace kupack
