#include "codec/lzss_ring.h"

#include <algorithm>

namespace kupack {

LzssProgress LzssRingSearch::code(const LzssSegment& segment, std::int32_t pos, BitCursor& output) {
  const std::uint8_t* const window = segment.window;
  std::uint64_t* const starts = segment.starts;
  const std::int32_t startsBase = segment.startsBase;
  BitCursor bits = output;
  LzssProgress progress;
  while (pos < segment.stop && progress.tokens < segment.tokens && bits.out < segment.outLimit) {
    ++progress.tokens;
    if (starts != nullptr) lzssMarkStart(starts, startsBase, pos);
    const std::int32_t limit = std::min(LZSS_MAX_MATCH, segment.end - pos);
    LzssMatch match;
    if (limit == LZSS_MAX_MATCH && lzssIsRunOfEighteen(window + pos - 1)) {
      match = {pos - 1, LZSS_MAX_MATCH};
    } else if (limit >= 2) {
      ring_.catchUp(window, pos, segment.end);
      match = ring_.findMatch(window, pos, limit);
    }
    lzssPutToken(bits, window, match, pos, progress);
  }
  output = bits;
  progress.pos = pos;
  return progress;
}

}  // namespace kupack
