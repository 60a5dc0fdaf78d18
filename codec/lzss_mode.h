// The pure choice between the LZSS coder's searches: after every period of 4096 tokens it
// decides from what the period saw whether the chain walk or the wide search serves next.
// Both find the same matches; this only decides which finds them faster. It holds no window
// and no bytes, so it can be tested with made-up figures.
#pragma once

#include <cstdint>

#include "codec/lzss_search.h"

namespace kupack {

// What one period's tokens saw.
struct LzssPeriod {
  std::int32_t steps = 0;    // chain candidates visited
  std::int32_t matches = 0;  // match tokens
  std::int32_t bytes = 0;    // bytes the tokens covered
};

// Chain walks serve while they stay short, at most 3 candidates per token on average, and,
// where the candidate rows do the wide search, while tokens cover less than 2.2 bytes on
// average (many literals, which the chains find at once and the rows do not). The wide search
// then serves for at least one period, and for as long as 30 % of the tokens are matches
// (the slot ring) or tokens cover 1.6 bytes (the rows); when chains were still long right
// after a spell of the wide search, the next spell lasts twice as long (up to 64 periods).
class LzssModeChoice {
 public:
  static constexpr std::int32_t PERIOD = 4096;
  static constexpr std::int32_t MAX_CHAIN_STEPS = 3 * PERIOD;
  static constexpr std::int32_t MIN_RING_MATCHES = PERIOD * 3 / 10;
  static constexpr std::int32_t MIN_BYTES_FOR_ROWS = PERIOD * 22 / 10;
  static constexpr std::int32_t MIN_BYTES_TO_STAY_IN_ROWS = PERIOD * 16 / 10;
  static constexpr std::int32_t MAX_WIDE_SPELL = 64;

  // `rows`: the wide search is done by candidate rows (else by the slot ring).
  LzssModeChoice(LzssSearch search, bool rows)
      : search_(search), rows_(rows), wide_(search == LzssSearch::WideOnly) {}

  // Whether the wide search serves now.
  bool wide() const { return wide_; }

  // Decides the next period's search from the period that just ended.
  void periodEnded(const LzssPeriod& period);

 private:
  const LzssSearch search_;
  const bool rows_;
  bool wide_;
  bool justLeftWide_ = false;
  std::int32_t wideSpell_ = 1;        // periods the wide search serves at least
  std::int32_t widePeriodsLeft_ = 0;  // of the current spell
};

}  // namespace kupack
