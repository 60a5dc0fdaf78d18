// The LZSS coder's inner loops, shared between its portable part and the part built for
// processors with 512-bit vector compares. Every search method finds exactly the same
// matches; they differ only in speed. Tests and the benchmark may choose one explicitly.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/lzss.h"
#include "common/byte_order.h"

namespace kupack {


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
  // Whether a second thread may code the second half of each stretch of the source ahead
  // (see lzss.cpp); also needs a second processor core.
  bool twoThreads = true;
  // Stretches shorter than this are coded by one thread.
  std::int32_t minimumSplit = 64 * 1024;
};

// lzssCompress with a chosen search; the stream is the same for every choice.
CodingResult lzssCompressTuned(ByteSource& input, ByteSink& output, std::uint64_t totalSize,
                               ProgressListener* listener, std::size_t blockSize,
                               LzssTuning tuning);

// Whether this processor (and its system) can run the candidate-row search.
bool lzssRowSearchAvailable();

// Number of equal bytes at `earlier` and `current`, at most `limit` (2..17). Both may run
// into bytes past the valid data; the limit makes those irrelevant.
inline std::int32_t lzssMatchLength(const std::uint8_t* earlier, const std::uint8_t* current,
                                    std::int32_t limit) {
  for (std::int32_t offset = 0; offset < 16; offset += 8) {
    const std::uint64_t difference = loadNative64(earlier + offset) ^ loadNative64(current + offset);
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

// A token's code: a literal is 1 and the byte; a match is 0, the ring slot of its start
// (window index modulo 256) and its length - 2.
inline constexpr int LZSS_LITERAL_BITS = 9;
inline constexpr int LZSS_MATCH_BITS = 13;
inline std::uint64_t lzssLiteralCode(std::uint8_t byte) { return 0x100u | byte; }
inline std::uint64_t lzssMatchCode(std::int32_t start, std::int32_t length) {
  return static_cast<std::uint32_t>((start & 0xFF) << 4 | (length - 2));
}

// The pending stream bits and where the next whole byte goes. A search loop keeps a copy
// in a local so that it stays in registers (byte stores could alias anything else).
struct LzssBits {
  std::uint8_t* out;
  std::uint64_t bits;      // the last bits coded, in its low bits
  std::int32_t bitCount;   // bits of `bits` not yet in a whole byte (0..7)

  // Appends a token's code (or other bits). The pending bits (at most 7 + 56) go out
  // left-aligned in 8 bytes; the whole bytes among them are kept, the partial one is
  // written again next time.
  void put(int count, std::uint64_t code) {  // count: 1..56
    bits = bits << count | code;
    bitCount += count;
    storeBE64(out, bits << (64 - bitCount));
    out += bitCount >> 3;
    bitCount &= 7;
  }
  // Appends `count` (at least 1) whole bytes, 8 at a time, each output word made of the
  // source word moved down by the pending bits and the last bits of the byte before it.
  // Reads up to 7 bytes past the source's end and writes up to 8 past the new output end.
  void putBytes(const std::uint8_t* source, std::size_t count) {
    const int pending = bitCount;
    if (pending == 0) {
      std::memcpy(out, source, count);
    } else {
      const int back = 64 - pending;
      std::uint64_t before = bits;  // the pending bits, then each chunk's last byte
      for (std::size_t at = 0; at < count; at += 8) {
        const std::uint64_t word = loadBE64(source + at);
        storeBE64(out + at, word >> pending | before << back);
        before = source[at + 7];
      }
    }
    out += count;
    bits = source[count - 1];
    // The pending bits begin the next byte, followed by zeros, as after put().
    *out = static_cast<std::uint8_t>(bits << (8 - pending));
  }
  void putLiteral(std::uint8_t byte) { put(LZSS_LITERAL_BITS, lzssLiteralCode(byte)); }
  void putMatch(std::int32_t start, std::int32_t length) {
    put(LZSS_MATCH_BITS, lzssMatchCode(start, length));
  }
};

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
  std::int32_t pos = 0;     // window index of the next byte to code
  std::int32_t tokens = 0;  // tokens coded by the call
  std::int32_t matches = 0; // of which matches
};

// For every window index q, which of the 256 bytes before it equal the byte at q: bit j
// of word i stands for the byte at q - 256 + 64 i + j (so the nearest candidates have the
// highest bits). Rows are kept for the last ROWS positions computed, by index modulo ROWS.
struct alignas(32) LzssRow {
  std::uint64_t words[4];
};
struct LzssCandidateRows {
  static constexpr std::int32_t ROWS = 512;
  std::vector<LzssRow> rows = std::vector<LzssRow>(ROWS);
  std::int32_t from = 0;  // rows [from, done) are valid
  std::int32_t done = 0;

  void forget() { from = done = 0; }
};

// Codes tokens with the candidate rows: for each token the rows of its bytes, ANDed one
// after the other, leave the candidates that match so far; the last non-empty set holds the
// longest, the highest bit the nearest. Only to be called when lzssRowSearchAvailable().
LzssProgress lzssCodeWithRows(LzssCandidateRows& rows, LzssBits& bits, std::int32_t pos,
                              const LzssSegment& segment);

}  // namespace kupack
