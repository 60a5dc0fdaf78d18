#include "codec/lzss_chains.h"

#include <algorithm>

namespace kupack {

LzssChainSearch::LzssChainSearch(std::size_t windowSize)
    : latestOfPair_(std::size_t{1} << 16, LZSS_NO_POSITION), pairDistance_(windowSize) {}

LzssProgress LzssChainSearch::code(const LzssSegment& segment, std::int32_t pos, BitCursor& bits) {
  LzssSegment part = segment;
  part.stop = std::min(part.stop, distancesFor(segment.window, pos, segment.end));
  part.pairDistance = pairDistance_.data();
  return part.starts != nullptr ? codeWithChains<true>(part, pos, bits)
                                : codeWithChains<false>(part, pos, bits);
}

void LzssChainSearch::shift(std::int32_t shift) {
  for (std::int32_t& latest : latestOfPair_) latest = std::max(latest - shift, LZSS_NO_POSITION);
  distanceFrom_ = distanceTo_ = 0;
}

}  // namespace kupack
