#include "codec/lzss_mode.h"

#include <algorithm>

namespace kupack {

void LzssModeChoice::periodEnded(const LzssPeriod& period) {
  if (search_ != LzssSearch::Adaptive) return;
  if (wide_) {
    --widePeriodsLeft_;
    const bool wideStillPays =
        rows_ ? period.bytes >= MIN_BYTES_TO_STAY_IN_ROWS : period.matches >= MIN_RING_MATCHES;
    if (widePeriodsLeft_ <= 0 && !wideStillPays) {
      wide_ = false;
      justLeftWide_ = true;
    }
  } else {
    if (period.steps > MAX_CHAIN_STEPS || (rows_ && period.bytes >= MIN_BYTES_FOR_ROWS)) {
      wide_ = true;
      wideSpell_ = justLeftWide_ ? std::min(2 * wideSpell_, MAX_WIDE_SPELL) : 1;
      widePeriodsLeft_ = wideSpell_;
    }
    justLeftWide_ = false;
  }
}

}  // namespace kupack
