// The LZSS coder's parts on their own: each search strategy against the exhaustive oracle,
// and the choice between them with made-up figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "codec/lzss_chains.h"
#include "codec/lzss_mode.h"
#include "codec/lzss_ring.h"
#include "codec/lzss_rows.h"
#include "codec/lzss_window.h"
#include "tests/lzss_oracle.h"

namespace kupack {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Codes all of `source` with `search` alone, in one window, as the encoder lays it out; the
// strategy is restarted before every third call, which must leave it exact.
Bytes codeWith(LzssStrategy& search, const Bytes& source, std::int32_t tokensPerCall) {
  const std::size_t front = LzssWindow::FRONT;
  const std::size_t size = LZSS_INITIAL_FILL + source.size() + LzssWindow::SLACK;
  std::vector<std::uint8_t> bytes(front + size, 0);
  std::uint8_t* const window = bytes.data() + front;
  std::fill_n(window, LZSS_INITIAL_FILL, LZSS_FILL_BYTE);
  std::copy(source.begin(), source.end(), window + LZSS_INITIAL_FILL);
  const auto end = static_cast<std::int32_t>(LZSS_INITIAL_FILL + source.size());

  std::vector<std::uint8_t> out(source.size() * 9 / 8 + 64, 0);
  BitCursor bits{out.data(), 0, 0};
  std::int32_t pos = LZSS_INITIAL_FILL;
  for (int calls = 0; pos < end; ++calls) {
    if (calls % 3 == 2) search.restart();
    const LzssSegment segment{window, end, end, tokensPerCall, out.data() + out.size() - 16};
    pos = search.code(segment, pos, bits).pos;
  }
  bits.padToByte();
  return Bytes(out.data(), bits.out);
}

std::vector<Bytes> sources() {
  std::mt19937 random(21);
  std::vector<Bytes> all;
  for (const unsigned alphabet : {2u, 4u, 256u}) {
    Bytes noise(30000);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random() % alphabet);
    all.push_back(noise);
  }
  Bytes runs;
  while (runs.size() < 30000)
    runs.insert(runs.end(), 1 + random() % 40, static_cast<std::uint8_t>(random() % 3));
  all.push_back(runs);
  all.push_back(Bytes(5000, ' '));  // continues the fill spaces
  all.push_back({});
  all.push_back({'a'});
  return all;
}

void expectOracleStreams(const char* name,
                         const std::function<std::unique_ptr<LzssStrategy>(std::size_t)>& make) {
  for (const Bytes& source : sources()) {
    const Bytes expected = test::oracleLzss(source).stream;
    for (const std::int32_t tokens : {1, 37, std::numeric_limits<std::int32_t>::max()}) {
      const auto search = make(LZSS_INITIAL_FILL + source.size() + LzssWindow::SLACK);
      EXPECT_EQ(codeWith(*search, source, tokens), expected)
          << name << ", " << source.size() << " bytes, " << tokens << " tokens per call";
    }
  }
}

TEST(LzssStrategyTest, ChainWalkFindsTheOraclesMatches) {
  expectOracleStreams("chains",
                      [](std::size_t size) { return std::make_unique<LzssChainSearch>(size); });
}

TEST(LzssStrategyTest, SlotRingFindsTheOraclesMatches) {
  expectOracleStreams("ring", [](std::size_t) { return std::make_unique<LzssRingSearch>(); });
}

TEST(LzssStrategyTest, CandidateRowsFindTheOraclesMatches) {
  if (!lzssRowSearchAvailable()) GTEST_SKIP() << "no 512-bit byte compares on this processor";
  expectOracleStreams("rows", [](std::size_t) { return std::make_unique<LzssRowSearch>(); });
}

// ---- The choice between them, from made-up figures ----------------------------------------

constexpr LzssPeriod LONG_CHAINS{LzssModeChoice::MAX_CHAIN_STEPS + 1, 0, 0};
constexpr LzssPeriod SHORT_CHAINS{LzssModeChoice::MAX_CHAIN_STEPS, 0, 0};
constexpr LzssPeriod FEW_MATCHES{0, LzssModeChoice::MIN_RING_MATCHES - 1, 0};
constexpr LzssPeriod MANY_MATCHES{0, LzssModeChoice::MIN_RING_MATCHES, 0};

TEST(LzssModeChoiceTest, FixedSearchesNeverChange) {
  LzssModeChoice chains(LzssSearch::ChainsOnly, false);
  LzssModeChoice wide(LzssSearch::WideOnly, false);
  for (const LzssPeriod& period : {LONG_CHAINS, FEW_MATCHES, MANY_MATCHES}) {
    chains.periodEnded(period);
    wide.periodEnded(period);
    EXPECT_FALSE(chains.wide());
    EXPECT_TRUE(wide.wide());
  }
}

TEST(LzssModeChoiceTest, LongChainsSwitchToTheRingWhileMatchesPay) {
  LzssModeChoice choice(LzssSearch::Adaptive, false);
  EXPECT_FALSE(choice.wide());
  choice.periodEnded(SHORT_CHAINS);
  EXPECT_FALSE(choice.wide());
  choice.periodEnded(LONG_CHAINS);
  EXPECT_TRUE(choice.wide());
  for (int i = 0; i < 5; ++i) {
    choice.periodEnded(MANY_MATCHES);  // the ring still pays
    EXPECT_TRUE(choice.wide());
  }
  choice.periodEnded(FEW_MATCHES);
  EXPECT_FALSE(choice.wide());
}

TEST(LzssModeChoiceTest, SpellsDoubleWhileChainsStayLongUpToTheLimit) {
  LzssModeChoice choice(LzssSearch::Adaptive, false);
  std::int32_t expectedSpell = 1;
  for (int spell = 0; spell < 9; ++spell) {
    choice.periodEnded(LONG_CHAINS);  // chains were long right after the last spell
    ASSERT_TRUE(choice.wide());
    for (std::int32_t i = 1; i < expectedSpell; ++i) {
      choice.periodEnded(FEW_MATCHES);
      EXPECT_TRUE(choice.wide()) << "spell " << spell << " period " << i;
    }
    choice.periodEnded(FEW_MATCHES);
    EXPECT_FALSE(choice.wide()) << "spell " << spell;
    expectedSpell = std::min(2 * expectedSpell, LzssModeChoice::MAX_WIDE_SPELL);
  }
  // A period of short chains in between starts the spells over at one period.
  choice.periodEnded(SHORT_CHAINS);
  choice.periodEnded(LONG_CHAINS);
  choice.periodEnded(FEW_MATCHES);
  EXPECT_FALSE(choice.wide());
}

TEST(LzssModeChoiceTest, RowsServeForLongTokensAndStayWhileTheyCoverEnough) {
  LzssModeChoice choice(LzssSearch::Adaptive, true);
  choice.periodEnded({0, 0, LzssModeChoice::MIN_BYTES_FOR_ROWS - 1});
  EXPECT_FALSE(choice.wide());
  choice.periodEnded({0, 0, LzssModeChoice::MIN_BYTES_FOR_ROWS});
  EXPECT_TRUE(choice.wide());
  choice.periodEnded({0, 0, LzssModeChoice::MIN_BYTES_TO_STAY_IN_ROWS});
  EXPECT_TRUE(choice.wide());
  choice.periodEnded({0, LzssModeChoice::PERIOD, LzssModeChoice::MIN_BYTES_TO_STAY_IN_ROWS - 1});
  EXPECT_FALSE(choice.wide());  // matches do not count for the rows, covered bytes do
}

}  // namespace
}  // namespace kupack
