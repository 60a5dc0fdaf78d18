// TokenCoder: finds and codes the LZSS tokens in a window it is given, with the search the
// mode choice picks for each period: the chain walk, or the wide search (candidate rows where
// the processor has 512-bit compares, else the slot ring). Whichever serves, the tokens are
// exactly those an exhaustive scan of all 239 candidates finds: the longest match, and the
// nearest among equal lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/lzss_chains.h"
#include "codec/lzss_mode.h"
#include "codec/lzss_search.h"

namespace kupack {

class TokenCoder {
 public:
  // `windowSize`: the bytes of the window from index 0 on, slack past the data included.
  TokenCoder(LzssTuning tuning, std::size_t windowSize);

  // The stream bits the tokens go to.
  BitCursor& bits() { return bits_; }

  // Codes tokens from `pos` within the limits of `segment`.
  LzssProgress code(const LzssSegment& segment, std::int32_t pos);

  // Makes the searches exact for coding from anywhere in the window, whatever positions they
  // saw before.
  void restart() {
    chains_.restart();
    wide_->restart();
  }

  // The window moved down by `shift` bytes, a multiple of 256.
  void shift(std::int32_t shift) {
    chains_.shift(shift);
    wide_->shift(shift);
  }

 private:
  LzssModeChoice mode_;
  LzssChainSearch chains_;
  std::unique_ptr<LzssStrategy> wide_;  // the candidate rows or the slot ring
  LzssPeriod period_;                   // what this period's tokens saw so far
  std::int32_t untilModeCheck_ = LzssModeChoice::PERIOD - 1;  // tokens before the next choice
  BitCursor bits_{};
};

}  // namespace kupack
