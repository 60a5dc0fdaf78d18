// The candidate-row search of the LZSS coder, for processors with 512-bit byte compares
// (AVX-512 BW and VL): the wide search where it is available (lzssRowSearchAvailable()).
#pragma once

#include <cstdint>
#include <vector>

#include "codec/lzss_search.h"

namespace kupack {

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
LzssProgress lzssCodeWithRows(LzssCandidateRows& rows, BitCursor& bits, std::int32_t pos,
                              const LzssSegment& segment);

// The candidate rows as a search strategy.
class LzssRowSearch final : public LzssStrategy {
 public:
  LzssProgress code(const LzssSegment& segment, std::int32_t pos, BitCursor& bits) override {
    return lzssCodeWithRows(rows_, bits, pos, segment);
  }
  void restart() override { rows_.forget(); }
  void shift(std::int32_t) override { rows_.forget(); }

 private:
  LzssCandidateRows rows_;
};

}  // namespace kupack
