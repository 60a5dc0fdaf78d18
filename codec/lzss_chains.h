// The chain walk: the LZSS coder's search while chains are short. Every position enters the
// chain of earlier positions that begin with the same two bytes, so a position whose chain
// has nothing in reach is a literal at once; otherwise the walk visits the candidates nearest
// first, measures one only when it agrees at the byte that would make it longer than the best
// so far, and ends at the first that reaches the limit, as no farther one can beat it: fast
// on noisy pictures, whose chains are short. It counts the candidates it visits (steps).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/lzss_search.h"
#include "codec/raw_bytes.h"
#include "common/byte_order.h"

namespace kupack {

class LzssChainSearch final : public LzssStrategy {
 public:
  // `windowSize`: the bytes of the window from index 0 on, slack past the data included.
  explicit LzssChainSearch(std::size_t windowSize);

  LzssProgress code(const LzssSegment& segment, std::int32_t pos, BitCursor& bits) override;
  // The pair distances check for themselves whether they are valid where coding goes on.
  void restart() override {}
  void shift(std::int32_t shift) override;

 private:
  // The chain walk codes up to this many literals before a match at once.
  static constexpr std::int32_t MAX_LITERAL_BATCH = 4;
  // The pair distances are set this many positions ahead at a time.
  static constexpr std::int32_t DISTANCE_CHUNK = 4096;

  // The two bytes at window index `p` as one number.
  static std::uint32_t pairAt(const std::uint8_t* window, std::int32_t p) {
    return loadLE16(window + p);
  }

  // Makes the pair distances serve the tokens from `pos` to at least DISTANCE_CHUNK bytes
  // past it or the end of the data; returns where they end. A token's chain walk needs every
  // position of its reach entered, in order: when the entered ones do not reach back that
  // far or do not reach `pos`, entering starts over 239 bytes before `pos`. (A distance set
  // there may miss an occurrence from before; that one lies out of every later token's
  // reach.) Data loaded since completes the pair of the last byte seen before.
  std::int32_t distancesFor(const std::uint8_t* window, std::int32_t pos, std::int32_t end) {
    if (end != distanceEnd_) {
      distanceTo_ = std::min(distanceTo_, distanceEnd_ - 1);
      distanceEnd_ = end;
    }
    if (distanceFrom_ > std::max(0, pos - LZSS_REACH) || pos > distanceTo_) {
      distanceFrom_ = std::max(0, pos - LZSS_REACH);
      enterPairs(window, distanceFrom_, pos, end);
    }
    const std::int32_t upTo = std::min(end, pos + DISTANCE_CHUNK);
    if (distanceTo_ < upTo) enterPairs(window, distanceTo_, upTo, end);
    return distanceTo_;
  }

  // Enters positions [from, to) into the pair table in order and sets their pair distances:
  // how far back the same two bytes began last, 0 when not within reach. The last byte of
  // the data has no pair yet and gets 0 without being entered. A table entry always names a
  // real occurrence in the window (shift() keeps them so): one ahead, left over from coding
  // elsewhere, gives no distance (it is negative); one from before `from` lies out of the
  // reach of the tokens this serves.
  void enterPairs(const std::uint8_t* window, std::int32_t from, std::int32_t to,
                  std::int32_t end) {
    std::int32_t* const latestOfPair = latestOfPair_.data();
    std::uint8_t* const distance = pairDistance_.data();
    const std::int32_t paired = std::min(to, end - 1);
    for (std::int32_t p = from; p < paired; ++p) {
      std::int32_t& latest = latestOfPair[pairAt(window, p)];
      const std::int32_t back = p - latest;
      latest = p;
      // Without a branch: which way it goes is as good as random on noisy pictures.
      const std::uint32_t inReach =
          0u - static_cast<std::uint32_t>(static_cast<std::uint32_t>(back - 1) <
                                          static_cast<std::uint32_t>(LZSS_REACH));
      distance[p] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(back) & inReach);
    }
    if (to == end && from < end) distance[end - 1] = 0;
    distanceTo_ = to;
  }

  // The chain walk. The loop keeps its state in locals: its byte stores could otherwise
  // alias every member.
  // Marking token starts is left out of the loop that does not need it, to spare registers.
  // Away from the limits of the segment and the data, the literals before a match are
  // counted from the pair distances of the next 8 positions and coded with the match, up
  // to four at a time: one branch for all of them instead of one for each, which would be
  // mispredicted as often as a literal and a match alternate.
  template <bool markStarts>
  LzssProgress codeWithChains(const LzssSegment& segment, std::int32_t pos, BitCursor& output) {
    const std::uint8_t* const window = segment.window;
    const std::uint8_t* const distance = segment.pairDistance;
    [[maybe_unused]] std::uint64_t* const starts = segment.starts;
    [[maybe_unused]] const std::int32_t startsBase = segment.startsBase;
    BitCursor bits = output;
    LzssProgress progress;
    std::int32_t steps = 0;
    const std::int32_t batchStop =
        std::min(segment.stop - 8, segment.end - (MAX_LITERAL_BATCH + LZSS_MAX_MATCH));
    while (pos < segment.stop && progress.tokens < segment.tokens && bits.out < segment.outLimit) {
      if (pos < batchStop && segment.tokens - progress.tokens > MAX_LITERAL_BATCH) {
        const std::int32_t literals = std::min(literalsAhead(distance + pos), MAX_LITERAL_BATCH);
        const std::uint64_t literalCodes =
            literalCodesAt(window + pos) >> LZSS_LITERAL_BITS * (MAX_LITERAL_BATCH - literals);
        if constexpr (markStarts) lzssMarkStarts(starts, startsBase, pos, literals + 1);
        if (literals == MAX_LITERAL_BATCH) {
          bits.put(LZSS_LITERAL_BITS * MAX_LITERAL_BATCH, literalCodes);
          progress.tokens += MAX_LITERAL_BATCH;
          pos += MAX_LITERAL_BATCH;
          continue;
        }
        const std::int32_t at = pos + literals;
        const LzssMatch match =
            walkChain(window, at, at - distance[at], LZSS_MAX_MATCH, distance, steps);
        bits.put(LZSS_LITERAL_BITS * literals + LZSS_MATCH_BITS,
                 literalCodes << LZSS_MATCH_BITS | lzssMatchCode(match.start, match.length));
        progress.tokens += literals + 1;
        ++progress.matches;
        pos = at + match.length;
        continue;
      }
      ++progress.tokens;
      if constexpr (markStarts) lzssMarkStart(starts, startsBase, pos);
      const std::int32_t limit = std::min(LZSS_MAX_MATCH, segment.end - pos);
      LzssMatch match;
      const std::int32_t back = distance[pos];
      if (back != 0 && limit >= 2) {
        match = limit == 2 ? LzssMatch{pos - back, 2}
                           : walkChain(window, pos, pos - back, limit, distance, steps);
      }
      lzssPutToken(bits, window, match, pos, progress);
    }
    output = bits;
    progress.steps = steps;
    progress.pos = pos;
    return progress;
  }

  // How many of the 8 positions from `distance` have no earlier pair in reach, up to the
  // first that has one: the literals ahead.
  static std::int32_t literalsAhead(const std::uint8_t* distance) {
    const std::uint64_t word = loadNative64(distance);
    constexpr std::uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;
    const std::uint64_t nonZero = (((word & LOW7) + LOW7) | word) & ~LOW7;  // top bit per byte
    const int zeroBits = std::endian::native == std::endian::little ? std::countr_zero(nonZero)
                                                                    : std::countl_zero(nonZero);
    return zeroBits >> 3;
  }

  // The codes of the literals of the MAX_LITERAL_BATCH bytes from `bytes`, the first highest.
  static std::uint64_t literalCodesAt(const std::uint8_t* bytes) {
    std::uint64_t codes = 0;
    for (int i = 0; i < MAX_LITERAL_BATCH; ++i) {
      codes = codes << LZSS_LITERAL_BITS | lzssLiteralCode(bytes[i]);
    }
    return codes;
  }

  // The match at `pos` of at most `limit` (3..17) bytes, walking the pair chain from
  // `candidate`, the nearest earlier position in reach that begins with the same two bytes.
  // Counts the candidates visited in `steps`.
  static LzssMatch walkChain(const std::uint8_t* window, std::int32_t pos, std::int32_t candidate,
                             std::int32_t limit, const std::uint8_t* distance,
                             std::int32_t& steps) {
    const std::uint8_t* const current = window + pos;
    LzssMatch best{candidate, 1};
    for (;;) {
      ++steps;
      if (window[candidate + best.length] == current[best.length]) {
        const std::int32_t length = lzssMatchLength(window + candidate, current, limit);
        if (length > best.length) {
          best = {candidate, length};
          if (length == limit) break;
        }
      }
      const std::uint8_t step = distance[candidate];
      if (step == 0) break;
      candidate -= step;
      if (pos - candidate > LZSS_REACH) break;
    }
    return best;
  }

  // The pair chains: by pair of bytes the latest window index where it began, and by
  // position modulo 256 the distance back to the previous position with the same pair
  // (0 when that lies out of reach).
  std::vector<std::int32_t> latestOfPair_;
  RawBytes pairDistance_;
  std::int32_t distanceFrom_ = 0;  // positions [distanceFrom_, distanceTo_) are entered
  std::int32_t distanceTo_ = 0;
  std::int32_t distanceEnd_ = 0;  // the end of the data they were set for
};

}  // namespace kupack
