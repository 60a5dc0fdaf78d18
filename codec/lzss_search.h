// What the LZSS coder's search strategies share: the tuning that picks them, the token codes
// they put into a BitCursor, the segment a call may code, and LzssStrategy, the one small
// interface each of them (chain walk, slot ring, candidate rows) stands behind. Every strategy
// finds exactly the same matches; they differ only in speed. Tests and the benchmark may choose
// one.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/bit_writer.h"
#include "codec/lzss.h"
#include "codec/lzss_format.h"
#include "common/byte_order.h"

namespace kupack {

class WorkerPool;

// Which way the coder looks for matches.
enum class LzssSearch {
  Adaptive,    // chain walks while chains are short, all candidates at once otherwise
  ChainsOnly,  // always the chain walk
  WideOnly,    // always all candidates at once
};

// How "all candidates at once" is done.
enum class LzssWideSearch {
  Best,      // candidate rows by vector compares where the processor has them, else the ring
  SlotRing,  // the portable slot ring
};

struct LzssTuning {
  LzssSearch search = LzssSearch::Adaptive;
  LzssWideSearch wide = LzssWideSearch::Best;
  // Whether a second thread may code pieces of each stretch of the source ahead (see
  // lzss_pieces.cpp); also needs a worker thread handed to the coder.
  bool twoThreads = true;
  // Stretches shorter than this are coded by one thread.
  std::int32_t minimumSplit = 64 * 1024;
};

// lzssCompress with a chosen search; the stream is the same for every choice.
CodingResult lzssCompressTuned(ByteSource& input, ByteSink& output, std::uint64_t totalSize,
                               ProgressListener* listener, WorkerPool* worker,
                               std::size_t blockSize, LzssTuning tuning);

// Whether this processor (and its system) can run the candidate-row search.
bool lzssRowSearchAvailable();

// Number of equal bytes at `earlier` and `current`, at most `limit` (2..17). Both may run
// into bytes past the valid data; the limit makes those irrelevant.
inline std::int32_t lzssMatchLength(const std::uint8_t* earlier, const std::uint8_t* current,
                                    std::int32_t limit) {
  for (std::int32_t offset = 0; offset < 16; offset += 8) {
    const std::uint64_t difference =
        loadNative64(earlier + offset) ^ loadNative64(current + offset);
    if (difference != 0) {
      const int equalBits = std::endian::native == std::endian::little
                                ? std::countr_zero(difference)
                                : std::countl_zero(difference);
      return std::min(offset + (equalBits >> 3), limit);
    }
  }
  return std::min(earlier[16] == current[16] ? 17 : 16, limit);
}

// Whether the 18 bytes from `bytes` are all the same: then a match at the next byte
// continues the byte before through the longest match, and nothing nearer or longer exists.
inline bool lzssIsRunOfEighteen(const std::uint8_t* bytes) {
  const std::uint64_t first = loadNative64(bytes);
  const std::uint64_t spread = (first & 0xFF) * 0x0101010101010101ull;
  return ((first ^ spread) | (loadNative64(bytes + 8) ^ spread) |
          (loadNative64(bytes + 10) ^ spread)) == 0;
}

// Appends a literal's or a match's code to the stream bits.
inline void lzssPutLiteral(BitCursor& bits, std::uint8_t byte) {
  bits.put(LZSS_LITERAL_BITS, lzssLiteralCode(byte));
}
inline void lzssPutMatch(BitCursor& bits, std::int32_t start, std::int32_t length) {
  bits.put(LZSS_MATCH_BITS, lzssMatchCode(start, length));
}

// What one call of a search loop may do: code tokens while the position lies below `stop`,
// at most `tokens` of them (at least 1), and only while the output has not reached
// `outLimit` (each token writes at most 8 bytes from the output position). When `starts`
// is set, every token start p sets bit p - startsBase in it (bit i % 64 of word i / 64).
struct LzssSegment {
  const std::uint8_t* window;  // readable from index -64 to `end` + 32
  std::int32_t end;            // one past the loaded data
  std::int32_t stop;
  std::int32_t tokens;
  const std::uint8_t* outLimit;
  std::uint64_t* starts = nullptr;
  std::int32_t startsBase = 0;
  // By window index, how far back the same two bytes began last (0: not within reach),
  // valid from 239 before the first token to `stop`.
  const std::uint8_t* pairDistance = nullptr;
};

// Marks the token start at window index `pos` in a segment's `starts`.
inline void lzssMarkStart(std::uint64_t* starts, std::int32_t startsBase, std::int32_t pos) {
  const std::int32_t bit = pos - startsBase;
  starts[bit >> 6] |= std::uint64_t{1} << (bit & 63);
}

// Marks `count` (1..63) token starts from window index `pos` on.
inline void lzssMarkStarts(std::uint64_t* starts, std::int32_t startsBase, std::int32_t pos,
                           std::int32_t count) {
  const std::int32_t bit = pos - startsBase;
  const std::uint64_t run = (std::uint64_t{1} << count) - 1;
  starts[bit >> 6] |= run << (bit & 63);
  starts[(bit >> 6) + 1] |= run >> 1 >> (63 - (bit & 63));  // what does not fit in the word
}

// Where a search loop left off.
struct LzssProgress {
  std::int32_t pos = 0;      // window index of the next byte to code
  std::int32_t tokens = 0;   // tokens coded by the call
  std::int32_t matches = 0;  // of which matches
  std::int32_t steps = 0;    // chain candidates visited (the chain walk only)
};

// "Never seen": a window index farther back than any reach.
inline constexpr std::int32_t LZSS_NO_POSITION = -(1 << 30);

struct LzssMatch {
  std::int32_t start = 0;   // window index where the earlier copy starts
  std::int32_t length = 1;  // 1: no match, code a literal
};

// Codes the token at `pos`, a literal when `match` is shorter than 2 bytes, and moves on.
inline void lzssPutToken(BitCursor& bits, const std::uint8_t* window, LzssMatch match,
                         std::int32_t& pos, LzssProgress& progress) {
  if (match.length < 2) {
    lzssPutLiteral(bits, window[pos]);
    ++pos;
  } else {
    ++progress.matches;
    lzssPutMatch(bits, match.start, match.length);
    pos += match.length;
  }
}

// One way of finding the matches. code() codes tokens from `pos` within the limits of
// `segment` into `bits`; it may stop before `segment.stop` (and is then called again).
// restart() makes it exact for coding from anywhere in the window, whatever positions it saw
// before; shift() tells it that the window moved down by a multiple of 256 bytes.
class LzssStrategy {
 public:
  virtual ~LzssStrategy() = default;
  virtual LzssProgress code(const LzssSegment& segment, std::int32_t pos, BitCursor& bits) = 0;
  virtual void restart() = 0;
  virtual void shift(std::int32_t shift) = 0;
};

}  // namespace kupack
