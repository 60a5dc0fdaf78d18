#include "codec/lzss_token_coder.h"

#include <algorithm>

#include "codec/lzss_ring.h"
#include "codec/lzss_rows.h"

namespace kupack {
namespace {

std::unique_ptr<LzssStrategy> wideSearch(bool rows) {
  if (rows) return std::make_unique<LzssRowSearch>();
  return std::make_unique<LzssRingSearch>();
}

bool useRows(const LzssTuning& tuning) {
  return tuning.wide == LzssWideSearch::Best && lzssRowSearchAvailable();
}

}  // namespace

TokenCoder::TokenCoder(LzssTuning tuning, std::size_t windowSize)
    : mode_(tuning.search, useRows(tuning)),
      chains_(windowSize),
      wide_(wideSearch(useRows(tuning))) {}

LzssProgress TokenCoder::code(const LzssSegment& segment, std::int32_t pos) {
  LzssProgress total;
  total.pos = pos;
  while (total.pos < segment.stop && total.tokens < segment.tokens &&
         bits_.out < segment.outLimit) {
    if (untilModeCheck_ == 0) {
      mode_.periodEnded(period_);
      period_ = {};
      untilModeCheck_ = LzssModeChoice::PERIOD;
    }
    LzssSegment part = segment;
    part.tokens = std::min(segment.tokens - total.tokens, untilModeCheck_);
    LzssStrategy& search = mode_.wide() ? *wide_ : chains_;
    const LzssProgress done = search.code(part, total.pos, bits_);
    untilModeCheck_ -= done.tokens;
    period_.steps += done.steps;
    period_.matches += done.matches;
    period_.bytes += done.pos - total.pos;
    total.tokens += done.tokens;
    total.matches += done.matches;
    total.pos = done.pos;
  }
  return total;
}

}  // namespace kupack
