#include "codec/lzss.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <random>
#include <thread>

#include "app/catalogue.h"
#include "app/pack_console.h"
#include "app/status_text.h"
#include "codec/lzss_decoder.h"
#include "codec/lzss_search.h"
#include "codec/raw_bytes.h"
#include "codec/worker_pool.h"
#include "common/console.h"
#include "tests/lzss_oracle.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The progress the coder reports, as the program's console lines.
class ProgressLines final : public ProgressListener {
 public:
  void progress(std::uint64_t done, std::uint64_t total) override {
    lines += packEventText({PackEvent::Kind::CodingProgress, {}, done, total});
  }
  std::string lines;
};

// The pool whose idle thread the coder leases, one for all tests as for a whole packing run.
WorkerPool& worker() {
  static WorkerPool pool(1);
  return pool;
}

struct Coded {
  CodingResult result = CodingResult::Done;
  Bytes stream;
  std::string console;
};

Coded compress(const Bytes& source, std::size_t blockSize = LZSS_DEFAULT_BLOCK,
               LzssTuning tuning = {}) {
  Coded coded;
  ProgressLines progress;
  SpanSource input(source);
  VectorSink output(coded.stream);
  coded.result =
      lzssCompressTuned(input, output, source.size(), &progress, &worker(), blockSize, tuning);
  coded.console = progress.lines;
  return coded;
}

// Every way of searching, each of which must give the same stream: the adaptive choice and
// each method alone, with the candidate rows (where this processor has them) and the slot ring.
struct NamedTuning {
  const char* name;
  LzssTuning tuning;
};
// Every method also runs on one thread alone and, with stretches as short as 1 KiB, on two
// threads that join their parses many times.
const NamedTuning ALL_SEARCHES[] = {
    {"adaptive", {LzssSearch::Adaptive, LzssWideSearch::Best}},
    {"adaptive, one thread", {LzssSearch::Adaptive, LzssWideSearch::Best, false}},
    {"adaptive, short stretches", {LzssSearch::Adaptive, LzssWideSearch::Best, true, 1024}},
    {"adaptive with the slot ring", {LzssSearch::Adaptive, LzssWideSearch::SlotRing, true, 1024}},
    {"chains only", {LzssSearch::ChainsOnly, LzssWideSearch::Best, true, 1024}},
    {"chains only, one thread", {LzssSearch::ChainsOnly, LzssWideSearch::Best, false}},
    {"candidate rows only", {LzssSearch::WideOnly, LzssWideSearch::Best, true, 1024}},
    {"candidate rows only, one thread", {LzssSearch::WideOnly, LzssWideSearch::Best, false}},
    {"slot ring only", {LzssSearch::WideOnly, LzssWideSearch::SlotRing, true, 1024}},
    {"slot ring only, one thread", {LzssSearch::WideOnly, LzssWideSearch::SlotRing, false}},
};

Bytes decode(const Bytes& stream, std::size_t size) {
  Bytes out;
  Status status = Status::ok();
  EXPECT_TRUE((status = decodeLzss(stream, size, out)).isOk()) << statusText(status);
  return out;
}

// One token of a stream, read back for checks on the token sequence itself.
struct Token {
  bool literal = true;
  int value = 0;   // the byte of a literal, the ring position of a match
  int length = 1;  // bytes covered
};

std::vector<Token> tokensOf(const Bytes& stream, std::size_t sourceSize) {
  std::vector<Token> tokens;
  std::size_t bit = 0;
  auto take = [&](int count) {
    int value = 0;
    for (int i = 0; i < count; ++i, ++bit) {
      value = value << 1 | ((stream.at(bit / 8) >> (7 - bit % 8)) & 1);
    }
    return value;
  };
  for (std::size_t covered = 0; covered < sourceSize;) {
    Token token;
    token.literal = take(1) == 1;
    if (token.literal) {
      token.value = take(8);
    } else {
      token.value = take(8);
      token.length = take(4) + 2;
    }
    covered += static_cast<std::size_t>(token.length);
    tokens.push_back(token);
  }
  return tokens;
}

// Codes `source` with the coder and with the exhaustive oracle: the streams must be equal
// and decode to the source, whichever way the coder searches.
void expectSameAsOracle(const Bytes& source, const std::string& what,
                        std::size_t blockSize = LZSS_DEFAULT_BLOCK) {
  const test::OracleLzss oracle = test::oracleLzss(source);
  for (const NamedTuning& search : ALL_SEARCHES) {
    const Coded coded = compress(source, blockSize, search.tuning);
    ASSERT_EQ(coded.result, CodingResult::Done) << what << ", " << search.name;
    ASSERT_EQ(coded.stream.size(), oracle.stream.size()) << what << ", " << search.name;
    ASSERT_TRUE(coded.stream == oracle.stream) << what << ", " << search.name;
  }
  EXPECT_TRUE(decode(oracle.stream, source.size()) == source) << what;
}

// ---- Inputs ---------------------------------------------------------------------------

Bytes randomBytes(std::mt19937& random, std::size_t length, unsigned alphabet) {
  Bytes bytes(length);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random() % alphabet);
  return bytes;
}

// Runs of random length and value, some of them spaces.
Bytes runs(std::mt19937& random, std::size_t length) {
  Bytes bytes;
  while (bytes.size() < length) {
    const std::size_t run = 1 + random() % 60;
    const auto value = static_cast<std::uint8_t>(random() % 3 == 0 ? 0x20 : random() % 8);
    bytes.insert(bytes.end(), std::min(run, length - bytes.size()), value);
  }
  return bytes;
}

// Words from a small vocabulary: many repeats of equal length at several distances.
Bytes text(std::mt19937& random, std::size_t length) {
  static const char* const words[] = {"the ", "palette ", "bitmap ", "ring ", "slot ", "match ",
                                      "a ",   "an ",      "window ", "\r\n",  "    ",  "aaab "};
  std::string out;
  while (out.size() < length) out += words[random() % std::size(words)];
  out.resize(length);
  return bytesOf(out);
}

void putLE16(Bytes& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}
void putLE32(Bytes& out, std::uint32_t value) {
  putLE16(out, value & 0xFFFF);
  putLE16(out, value >> 16);
}

// A palette bitmap file as a paint program saves it: file header, info header, colour
// table, bottom-up rows packed most significant pixel first and padded to 4 bytes.
Bytes paletteBitmap(int width, int height, int bitCount,
                    const std::function<int(int, int)>& pixel) {
  const int colours = 1 << bitCount;
  const auto stride = static_cast<std::uint32_t>((width * bitCount + 31) / 32 * 4);
  const std::uint32_t pixelOffset = 14 + 40 + 4 * static_cast<std::uint32_t>(colours);
  const std::uint32_t imageSize = stride * static_cast<std::uint32_t>(height);
  Bytes out = {'B', 'M'};
  putLE32(out, pixelOffset + imageSize);
  putLE32(out, 0);
  putLE32(out, pixelOffset);
  putLE32(out, 40);
  putLE32(out, static_cast<std::uint32_t>(width));
  putLE32(out, static_cast<std::uint32_t>(height));
  putLE16(out, 1);
  putLE16(out, static_cast<std::uint32_t>(bitCount));
  putLE32(out, 0);
  putLE32(out, imageSize);
  putLE32(out, 2835);
  putLE32(out, 2835);
  putLE32(out, static_cast<std::uint32_t>(colours));
  putLE32(out, 0);
  for (int i = 0; i < colours; ++i) {
    const int level = i * 255 / (colours - 1);
    out.insert(out.end(), {static_cast<std::uint8_t>(level), static_cast<std::uint8_t>(255 - level),
                           static_cast<std::uint8_t>(level / 2), 0});
  }
  for (int y = height - 1; y >= 0; --y) {
    Bytes row(stride, 0);
    for (int x = 0; x < width; ++x) {
      const int bitPosition = x * bitCount;
      const int shift = 8 - bitCount - bitPosition % 8;
      row[static_cast<std::size_t>(bitPosition / 8)] |=
          static_cast<std::uint8_t>((pixel(x, y) & (colours - 1)) << shift);
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

// A smooth "photograph" in 0..1: soft waves and a bright disc.
double scene(int x, int y) {
  const double wave = 0.5 + 0.25 * std::sin(x * 0.031) * std::cos(y * 0.047);
  const double dx = x - 150.0;
  const double dy = y - 90.0;
  const double disc = dx * dx + dy * dy < 3600.0 ? 0.3 : 0.0;
  return std::min(1.0, wave + disc);
}

// Ordered (Bayer) dithering of the scene onto `levels` palette entries, with grain.
std::function<int(int, int)> ditheredScene(int levels, std::uint32_t seed) {
  return [levels, seed](int x, int y) {
    static const int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    const auto grain =
        static_cast<double>((static_cast<std::uint32_t>(x * 7919 + y * 104729) ^ seed) % 97) /
            97.0 -
        0.5;
    const double value = scene(x, y) * (levels - 1) + bayer[y & 3][x & 3] / 16.0 + grain * 0.3;
    return std::clamp(static_cast<int>(value), 0, levels - 1);
  };
}

// The scene cut into flat bands, as a picture with few colours and no dithering.
std::function<int(int, int)> posterizedScene(int levels) {
  return [levels](int x, int y) { return static_cast<int>(scene(x, y) * (levels - 1) + 0.5); };
}

// ---- Stream vectors -------------------------------------------------------------------

// The coder's large buffers: one given up is handed to the next one of at most its size (of
// an odd size, so that no block another test left on the shelf fits as well), also on another
// thread; blocks alive at once never share memory, and a larger request gets a block of its
// own. However many threads give blocks up, the shelf keeps to its bound.
TEST(RawBytesTest, LargeBlocksAreReusedAndTheShelfKeepsToItsBound) {
  const std::size_t large = (std::size_t{1} << 20) + 4321;
  const std::uint8_t* given = nullptr;
  {
    RawBytes first(large);
    given = first.data();
  }
  std::thread([&] {
    RawBytes smaller(large - 7);
    RawBytes another(large - 7);
    RawBytes larger(2 * large);
    EXPECT_EQ(smaller.data(), given);
    EXPECT_NE(another.data(), given);
    EXPECT_NE(larger.data(), given);
    std::fill_n(smaller.data(), smaller.size(), std::uint8_t{1});
    std::fill_n(another.data(), another.size(), std::uint8_t{2});
    std::fill_n(larger.data(), larger.size(), std::uint8_t{3});
    EXPECT_EQ(smaller.data()[smaller.size() - 1], 1);
    EXPECT_EQ(another.data()[another.size() - 1], 2);
  }).join();

  std::vector<std::thread> threads;
  for (int i = 0; i < 12; ++i) threads.emplace_back([] { RawBytes block(std::size_t{9} << 20); });
  for (std::thread& thread : threads) thread.join();
  EXPECT_LE(raw_bytes_detail::shelvedBytes(), raw_bytes_detail::SHELF_BYTES);
  EXPECT_GE(raw_bytes_detail::shelvedBytes(), std::size_t{9} << 20);
}

TEST(LzssTest, KnownStreams) {
  const struct {
    std::string source;
    Bytes stream;
  } cases[] = {
      {"", {}},
      {"aaaa", {0xB0, 0xBB, 0xC4}},
      {"  x", {0x77, 0x05, 0xE0}},
      {"a", {0xB0, 0x80}},
      {std::string(40, 'a'), {0xB0, 0xBB, 0xFC, 0x01, 0xE1, 0x13}},
      {std::string(40, ' '), {0x77, 0x7B, 0xFF, 0xC2, 0x08}},
  };
  for (const auto& c : cases) {
    const Bytes source = bytesOf(c.source);
    for (const NamedTuning& search : ALL_SEARCHES) {
      const Coded coded = compress(source, LZSS_DEFAULT_BLOCK, search.tuning);
      ASSERT_EQ(coded.result, CodingResult::Done);
      EXPECT_EQ(coded.stream, c.stream) << '"' << c.source << "\", " << search.name;
    }
    EXPECT_EQ(test::oracleLzss(source).stream, c.stream) << "oracle, \"" << c.source << '"';
    EXPECT_EQ(decode(c.stream, source.size()), source);
  }
}

TEST(LzssTest, FortyBytesAreOneLiteralAndThreeMatches) {
  const std::vector<Token> tokens = tokensOf(compress(Bytes(40, 'a')).stream, 40);
  ASSERT_EQ(tokens.size(), 4u);
  EXPECT_TRUE(tokens[0].literal);
  EXPECT_EQ(tokens[1].value, 239);
  EXPECT_EQ(tokens[1].length, 17);
  EXPECT_EQ(tokens[2].value, 0);
  EXPECT_EQ(tokens[2].length, 17);
  EXPECT_EQ(tokens[3].value, 17);
  EXPECT_EQ(tokens[3].length, 5);
}

TEST(LzssTest, NearestOfEqualMatchesWins) {
  // "abc" occurs at offsets 0 and 4, both give 3 bytes (the source ends): the nearer one,
  // offset 4, is coded as ring position (4 + 239) mod 256.
  const std::vector<Token> tokens = tokensOf(compress(bytesOf("abcdabceabc")).stream, 11);
  ASSERT_FALSE(tokens.empty());
  EXPECT_FALSE(tokens.back().literal);
  EXPECT_EQ(tokens.back().value, 243);
  EXPECT_EQ(tokens.back().length, 3);
}

TEST(LzssTest, ReachEndsAt239Bytes) {
  // Sixteen distinct bytes, distinct filler, then the sixteen again, 239 or 240 bytes after
  // their first copy: found at 239 (ring position 239), not at 240.
  for (const int distance : {239, 240}) {
    Bytes source;
    for (int i = 0; i < 16; ++i) source.push_back(static_cast<std::uint8_t>(i));
    for (int i = 16; i < distance; ++i) source.push_back(static_cast<std::uint8_t>(i));
    for (int i = 0; i < 16; ++i) source.push_back(static_cast<std::uint8_t>(i));
    const std::vector<Token> tokens = tokensOf(compress(source).stream, source.size());
    const Token& last = tokens.back();
    if (distance == 239) {
      ASSERT_EQ(tokens.size(), static_cast<std::size_t>(distance + 1));
      EXPECT_FALSE(last.literal);
      EXPECT_EQ(last.value, 239);
      EXPECT_EQ(last.length, 16);
    } else {
      EXPECT_EQ(tokens.size(), source.size());
      EXPECT_TRUE(last.literal);
    }
    expectSameAsOracle(source, "reach " + std::to_string(distance));
  }
}

TEST(LzssTest, SpacesAtTheStartMatchTheInitialFill) {
  const Bytes source = bytesOf("   indented line\n");
  const std::vector<Token> tokens = tokensOf(compress(source).stream, source.size());
  EXPECT_FALSE(tokens[0].literal);
  EXPECT_EQ(tokens[0].value, 238);  // the last fill space, running on into the source
  EXPECT_EQ(tokens[0].length, 3);
  expectSameAsOracle(source, "indented");
}

// ---- The fast search against the exhaustive one ---------------------------------------

TEST(LzssTest, EveryShortStringMatchesOracle) {
  // All strings of up to 7 bytes over 'a', 'b' and space: every way a source can end.
  const std::uint8_t letters[] = {'a', 'b', ' '};
  for (int length = 0; length <= 7; ++length) {
    int count = 1;
    for (int i = 0; i < length; ++i) count *= 3;
    for (int n = 0; n < count; ++n) {
      Bytes source;
      for (int i = 0, rest = n; i < length; ++i, rest /= 3) source.push_back(letters[rest % 3]);
      const Coded coded = compress(source);
      ASSERT_EQ(coded.stream, test::oracleLzss(source).stream)
          << std::string(source.begin(), source.end());
    }
  }
}

TEST(LzssTest, RandomSourcesMatchOracle) {
  std::mt19937 random(20240607);
  const std::size_t lengths[] = {1,   2,   16,  17,  18,   255,  256,  272,
                                 273, 274, 511, 512, 1000, 4097, 70000};
  for (const unsigned alphabet : {1u, 2u, 3u, 4u, 16u, 256u}) {
    for (const std::size_t length : lengths) {
      expectSameAsOracle(randomBytes(random, length, alphabet),
                         "alphabet " + std::to_string(alphabet) + ", " + std::to_string(length));
    }
  }
  expectSameAsOracle(randomBytes(random, 300 * 1024, 2), "300 KiB over 2");
  expectSameAsOracle(randomBytes(random, 300 * 1024, 256), "300 KiB over 256");
}

TEST(LzssTest, RunsAndTextMatchOracle) {
  std::mt19937 random(77);
  for (const std::size_t length : {100u, 5000u, 40000u, 200000u}) {
    expectSameAsOracle(runs(random, length), "runs " + std::to_string(length));
    expectSameAsOracle(text(random, length), "text " + std::to_string(length));
  }
}

TEST(LzssTest, PaletteBitmapsMatchOracle) {
  expectSameAsOracle(paletteBitmap(320, 200, 8, ditheredScene(256, 1)), "8-bit dithered");
  expectSameAsOracle(paletteBitmap(317, 211, 8, posterizedScene(24)), "8-bit posterized");
  expectSameAsOracle(paletteBitmap(640, 300, 4, ditheredScene(16, 2)), "4-bit dithered");
  expectSameAsOracle(paletteBitmap(333, 250, 4, posterizedScene(16)), "4-bit posterized");
  expectSameAsOracle(paletteBitmap(800, 400, 1, ditheredScene(2, 3)), "1-bit dithered");
  expectSameAsOracle(paletteBitmap(640, 480, 8, [](int, int) { return 7; }), "8-bit single colour");
  expectSameAsOracle(paletteBitmap(640, 480, 1, [](int x, int) { return (x / 3) & 1; }),
                     "1-bit stripes");
}

TEST(LzssTest, BundledPaletteBitmapsMatchOracle) {
  const std::filesystem::path folder = std::filesystem::path(KUPACK_SOURCE_DIR) / "examples/assets";
  int checked = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error)) {
    if (!entry.is_regular_file()) continue;
    const Bytes bytes = test::readBytes(entry.path());
    const bool palette = bytes.size() >= 30 && bytes[0] == 'B' && bytes[1] == 'M' &&
                         (bytes[28] == 1 || bytes[28] == 4 || bytes[28] == 8) && bytes[29] == 0;
    if (!palette) continue;
    expectSameAsOracle(bytes, entry.path().string());
    ++checked;
  }
  if (checked == 0) GTEST_SKIP() << "no palette bitmaps in " << folder;
}

TEST(LzssTest, SmallRefillBlocksGiveTheSameStream) {
  // Refills every 4 KiB move the window often; matches and chains cross every shift.
  std::mt19937 random(5);
  for (const unsigned alphabet : {1u, 2u, 5u, 256u}) {
    expectSameAsOracle(randomBytes(random, 50000, alphabet), "alphabet " + std::to_string(alphabet),
                       LZSS_MIN_BLOCK);
  }
  expectSameAsOracle(runs(random, 60000), "runs", LZSS_MIN_BLOCK);
  expectSameAsOracle(paletteBitmap(300, 180, 8, ditheredScene(64, 9)), "bitmap", LZSS_MIN_BLOCK);
}

TEST(LzssTest, SearchMethodChangesKeepTheStream) {
  // Noise over two values makes long chains and many matches, noise over all values short
  // chains and few: the coder changes its way of searching between them, back and forth.
  std::mt19937 random(21);
  Bytes alternating;
  for (int round = 0; round < 4; ++round) {
    for (const unsigned alphabet : {2u, 256u}) {
      const Bytes part = randomBytes(random, 60000, alphabet);
      alternating.insert(alternating.end(), part.begin(), part.end());
    }
  }
  expectSameAsOracle(alternating, "alternating noise");
  expectSameAsOracle(alternating, "alternating noise, small blocks", LZSS_MIN_BLOCK);

  // A pair followed by three bytes of noise, over and over: long chains, but few matches.
  Bytes pairs;
  while (pairs.size() < 300000) {
    pairs.insert(pairs.end(), {'a', 'b'});
    for (int i = 0; i < 3; ++i) pairs.push_back(static_cast<std::uint8_t>(2 + random() % 248));
  }
  expectSameAsOracle(pairs, "pair then noise");
}

TEST(LzssTest, RunsAmongLongChainsKeepTheStream) {
  // Two-value noise makes the coder search the slot ring; runs of 1 to 40 equal bytes laid
  // into it take the shortcut for a run that continues through a whole match (at 17 and 18
  // bytes and around them, up to the end of the source), and stretches of 256-value noise
  // send the coder back to the chains, which must then be exact for everything in reach.
  std::mt19937 random(33);
  Bytes source;
  for (int round = 0; round < 6; ++round) {
    for (int piece = 0; piece < 1500; ++piece) {
      const Bytes noise = randomBytes(random, 20 + random() % 60, 2);
      source.insert(source.end(), noise.begin(), noise.end());
      const auto value = static_cast<std::uint8_t>(random() % 3 == 0 ? 7 : random() % 2);
      source.insert(source.end(), 1 + random() % 40, value);
    }
    const Bytes noise = randomBytes(random, 30000 + random() % 1000, 256);
    source.insert(source.end(), noise.begin(), noise.end());
  }
  expectSameAsOracle(source, "runs in two-value noise");
  expectSameAsOracle(source, "runs in two-value noise, small blocks", LZSS_MIN_BLOCK);
  for (const std::size_t tail : {16u, 17u, 18u, 19u, 35u}) {
    Bytes ending = randomBytes(random, 40000, 2);
    ending.insert(ending.end(), tail, 1);
    expectSameAsOracle(ending, "run of " + std::to_string(tail) + " at the end");
  }
}

TEST(LzssTest, StreamEndingJustAfterAFullOutputBlockKeepsItsLastBits) {
  // Counting bytes are all literals, 9 bits each: 58255 of them fill the coder's 64 KiB
  // output block exactly when the last one leaves 7 bits pending in a partial byte.
  for (const std::size_t size : {58254u, 58255u, 58256u, 116510u}) {
    Bytes counting(size);
    for (std::size_t i = 0; i < size; ++i) counting[i] = static_cast<std::uint8_t>(i);
    expectSameAsOracle(counting, "counting bytes, " + std::to_string(size));
  }
}

// Reads `count` bits from bit `bit` of `bytes`, the first bit highest.
std::uint64_t bitsAt(const std::uint8_t* bytes, std::size_t bit, int count) {
  std::uint64_t value = 0;
  for (int i = 0; i < count; ++i, ++bit)
    value = value << 1 | ((bytes[bit / 8] >> (7 - bit % 8)) & 1);
  return value;
}

TEST(BitCursorTest, WholeBytesGoAfterAnyNumberOfPendingBits) {
  // A joined piece's bytes are appended 8 at a time, moved by the bits still pending; the
  // result must be the same bits as putting them one byte at a time, also on a partial byte
  // that was written before.
  std::mt19937 random(45);
  for (int pending = 0; pending < 8; ++pending) {
    for (const std::size_t count : {1u, 7u, 8u, 9u, 63u, 200u}) {
      Bytes source = randomBytes(random, count + 8, 256);
      Bytes expected(count + 64, 0);
      Bytes actual(count + 64, 0xEE);
      BitCursor one{expected.data(), 0, 0};
      BitCursor bulk{actual.data(), 0, 0};
      const std::uint64_t head = random() & ((1u << (pending + 9)) - 1);
      one.put(pending + 9, head);  // a literal's worth and `pending` bits more
      bulk.put(pending + 9, head);
      for (std::size_t i = 0; i < count; ++i) one.put(8, source[i]);
      bulk.putBytes(source.data(), count);
      // The partial byte is in place too: flushing an output block keeps it from memory.
      EXPECT_EQ(*bulk.out, *one.out) << pending << " pending bits, " << count << " bytes";
      one.put(3, 5);  // what follows lands right after
      bulk.put(3, 5);
      const std::size_t bits = static_cast<std::size_t>(9 + pending) + 8 * count + 3;
      ASSERT_EQ(one.out, expected.data() + bits / 8);
      ASSERT_EQ(bulk.out - actual.data(), one.out - expected.data());
      ASSERT_EQ(bulk.bitCount, one.bitCount);
      EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + (bits + 7) / 8, actual.begin()))
          << pending << " pending bits, " << count << " bytes";
      EXPECT_EQ(bitsAt(actual.data(), 9 + pending, 8), source[0]);
    }
  }
}

TEST(LzssStartsTest, TokenStartsAreMarkedAcrossWordBoundaries) {
  for (int pos = 100; pos < 230; ++pos) {
    for (int count = 1; count <= 5; ++count) {
      std::uint64_t starts[6] = {};
      lzssMarkStarts(starts, 64, pos, count);
      for (int bit = 0; bit < 6 * 64; ++bit) {
        const bool marked = (starts[bit / 64] >> (bit % 64) & 1) != 0;
        const bool wanted = bit >= pos - 64 && bit < pos - 64 + count;
        ASSERT_EQ(marked, wanted) << "pos " << pos << ", count " << count << ", bit " << bit;
      }
    }
  }
}

TEST(LzssTest, PiecesJoinAfterALongRunAcrossTheirBoundary) {
  // On two threads a piece of the source is coded as if a token started at its first byte.
  // Inside a long run of one byte that parse and the one coming from before go in steps of
  // 17 without meeting; they meet only after the run, thousands of bytes into the piece.
  std::mt19937 random(44);
  for (const std::size_t runLength : {5000u, 20000u, 70000u}) {
    Bytes source = randomBytes(random, 55000, 256);
    source.insert(source.end(), runLength, 'x');
    const Bytes tail = randomBytes(random, 65000, 4);
    source.insert(source.end(), tail.begin(), tail.end());
    expectSameAsOracle(source, "run of " + std::to_string(runLength) + " across a piece boundary");
  }
}

TEST(LzssTest, LongSourceCrossesWholeBlocks) {
  // More than two default blocks, mixing stretches that match well and stretches that do not.
  std::mt19937 random(11);
  Bytes source;
  while (source.size() < 2'300'000) {
    const Bytes part = random() % 2 ? runs(random, 70000) : randomBytes(random, 70000, 4);
    source.insert(source.end(), part.begin(), part.end());
  }
  expectSameAsOracle(source, "2.3 MB");
}

// ---- Console ----------------------------------------------------------------------------

std::string expectedConsole(const Bytes& source) {
  std::string console;
  for (const std::uint32_t bytesRead : test::oracleLzss(source).progressBytes) {
    console +=
        formatText(tr("Source: %10lu(%lu%%)\r"), static_cast<unsigned long>(bytesRead),
                   static_cast<unsigned long>(std::uint64_t{bytesRead} * 100 / source.size()));
  }
  return console;
}

TEST(LzssTest, AWorkerFreedWhileAStretchIsCodedJoinsInWithTheSameStreamAndProgress) {
  // The pool's one thread is busy (another entry) when the coding starts and is freed once
  // the coder has reported about a third of the source: it then codes pieces of the rest.
  std::mt19937 random(12);
  Bytes source;
  while (source.size() < 3'000'000) {
    const Bytes part = random() % 2 ? runs(random, 50000) : randomBytes(random, 50000, 6);
    source.insert(source.end(), part.begin(), part.end());
  }
  const test::OracleLzss oracle = test::oracleLzss(source);
  std::atomic<bool> released{false};
  WorkerPool pool(1);
  pool.post([&] {
    while (!released.load()) std::this_thread::yield();
  });
  // Whatever ends the test, the busy task ends before the pool joins its thread.
  struct ReleaseAtEnd {
    std::atomic<bool>& released;
    ~ReleaseAtEnd() { released = true; }
  } releaseAtEnd{released};
  struct Release final : ProgressListener {
    std::atomic<bool>& released;
    WorkerPool& pool;
    std::string lines;
    Release(std::atomic<bool>& r, WorkerPool& p) : released(r), pool(p) {}
    void progress(std::uint64_t done, std::uint64_t total) override {
      lines += packEventText({PackEvent::Kind::CodingProgress, {}, done, total});
      if (done > total / 3 && !released.exchange(true)) {
        // The thread is idle once the busy task sees the release; until then a lease fails.
        while (!pool.lease()) std::this_thread::yield();
      }
    }
  } progress(released, pool);
  Bytes stream;
  SpanSource input(source);
  VectorSink output(stream);
  ASSERT_EQ(lzssCompress(input, output, source.size(), &progress, &pool), CodingResult::Done);
  EXPECT_TRUE(released.load());
  EXPECT_GT(pool.helperJobsDone(), 0u) << "the freed thread never coded a piece";
  EXPECT_TRUE(stream == oracle.stream);
  EXPECT_EQ(progress.lines, expectedConsole(source));
}

TEST(LzssTest, ProgressComesBeforeEvery5000thToken) {
  // Counting bytes repeat no byte pair within reach: every token is a literal, so the line
  // before token 5000 (source offset 4999, in the window step from offset 4864) shows the
  // source up to 273 bytes past that step: 5137 bytes.
  Bytes counting(23000);
  for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<std::uint8_t>(i);
  const test::JapaneseTexts japanese;  // kupack's Japanese lines as they have always been
  const Coded coded = compress(counting);
  EXPECT_EQ(coded.console, expectedConsole(counting));
  EXPECT_EQ(coded.console, std::string("元データ：      5137(22%)\r") +
                               "元データ：     10257(44%)\r" + "元データ：     15121(65%)\r" +
                               "元データ：     20241(88%)\r");

  // Long matches: the lines come late in the source; small blocks move the window often.
  // The lines fall between the same tokens whichever way the coder searches.
  std::mt19937 random(3);
  const Bytes matches = runs(random, 400000);
  const std::string expected = expectedConsole(matches);
  for (const NamedTuning& search : ALL_SEARCHES) {
    EXPECT_EQ(compress(matches, LZSS_DEFAULT_BLOCK, search.tuning).console, expected)
        << search.name;
    EXPECT_EQ(compress(matches, LZSS_MIN_BLOCK, search.tuning).console, expected) << search.name;
  }
}

TEST(LzssTest, FewTokensReportNoProgress) {
  EXPECT_EQ(compress({}).console, "");
  std::mt19937 random(4);
  EXPECT_EQ(compress(randomBytes(random, 4999, 256)).console, "");
  EXPECT_EQ(compress(Bytes(80000, 'q')).console, "");  // about 4700 matches
}

// Serves `size` zero bytes without holding them.
class ZeroInput final : public ByteSource {
 public:
  explicit ZeroInput(std::uint64_t size) : left_(size) {}
  bool read(std::span<std::uint8_t> buffer, std::size_t& count) override {
    count = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), left_));
    std::fill_n(buffer.begin(), count, std::uint8_t{0});
    left_ -= count;
    return true;
  }

 private:
  std::uint64_t left_;
};

// The figures of every progress line in `console`.
std::vector<std::pair<std::uint64_t, std::uint64_t>> progressFigures(const std::string& console) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> figures;
  for (std::size_t open = console.find('('); open != std::string::npos;
       open = console.find('(', open + 1)) {
    std::size_t digits = open;
    while (digits > 0 && (std::isdigit(static_cast<unsigned char>(console[digits - 1])) != 0)) {
      --digits;
    }
    figures.emplace_back(std::stoull(console.substr(digits, open - digits)),
                         std::stoull(console.substr(open + 1)));
  }
  return figures;
}

TEST(LzssTest, ProgressPercentStaysExactBeyond42MB) {
  // Bytes × 100 no longer fits 32 bits past 42,949,672 bytes; the percentage must not wrap.
  const std::uint64_t size = 50'000'000;
  ProgressLines progress;
  ZeroInput input(size);
  Bytes stream;
  VectorSink output(stream);
  ASSERT_EQ(lzssCompress(input, output, size, &progress), CodingResult::Done);
  const auto figures = progressFigures(progress.lines);
  ASSERT_GT(figures.size(), 500u);
  for (const auto& [shown, percent] : figures) EXPECT_EQ(percent, shown * 100 / size) << shown;
  EXPECT_GE(figures.back().second, 99u);
  EXPECT_EQ(decode(stream, size), Bytes(size, 0));
}

TEST(LzssTest, ProgressSurvivesAWrongTotal) {
  // The file grew after its size was taken: the share exceeds 100, a zero total shows 0.
  Bytes counting(12000);
  for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<std::uint8_t>(i);
  for (const std::uint64_t total : {0ull, 1000ull}) {
    ProgressLines progress;
    SpanSource input(counting);
    Bytes stream;
    VectorSink output(stream);
    ASSERT_EQ(lzssCompress(input, output, total, &progress), CodingResult::Done);
    const auto figures = progressFigures(progress.lines);
    ASSERT_EQ(figures.size(), 2u);
    EXPECT_EQ(figures[0].first, 5137u);
    EXPECT_EQ(figures[0].second, total == 0 ? 0u : 513u);
  }
}

// ---- Failures ---------------------------------------------------------------------------

class FailingOutput final : public ByteSink {
 public:
  explicit FailingOutput(int writesBeforeFailure) : left_(writesBeforeFailure) {}
  bool put(std::span<const std::uint8_t>) override {
    ++calls;
    return left_-- > 0;
  }
  int calls = 0;

 private:
  int left_;
};

class FailingInput final : public ByteSource {
 public:
  bool read(std::span<std::uint8_t> buffer, std::size_t& count) override {
    if (served_) return false;
    served_ = true;
    count = std::min<std::size_t>(buffer.size(), 1000);
    std::fill_n(buffer.begin(), count, std::uint8_t{'z'});
    return true;
  }

 private:
  bool served_ = false;
};

TEST(LzssTest, FailedWriteStopsTheCoder) {
  std::mt19937 random(6);
  const Bytes source = randomBytes(random, 500000, 256);
  for (const bool twoThreads : {false, true}) {
    for (const int writes : {0, 2}) {
      SpanSource input(source);
      FailingOutput output(writes);
      LzssTuning tuning;
      tuning.twoThreads = twoThreads;  // on two threads the writes fail while pieces are joined
      EXPECT_EQ(lzssCompressTuned(input, output, source.size(), nullptr, &worker(),
                                  LZSS_DEFAULT_BLOCK, tuning),
                CodingResult::SinkFailed);
      EXPECT_EQ(output.calls, writes + 1);
    }
  }
  // The last, partial byte is a write of its own.
  const Bytes one = {'a'};
  SpanSource input(one);
  FailingOutput output(0);
  EXPECT_EQ(lzssCompress(input, output, 1), CodingResult::SinkFailed);
}

TEST(LzssTest, FailedReadIsPassedOn) {
  FailingInput input;
  Bytes stream;
  VectorSink output(stream);
  EXPECT_EQ(lzssCompress(input, output, 5000), CodingResult::SourceFailed);
}

// ---- Decoder ----------------------------------------------------------------------------

TEST(LzssDecoderTest, StreamThatEndsEarlyIsRefused) {
  std::mt19937 random(12);
  const Bytes source = runs(random, 3000);
  const Bytes stream = compress(source).stream;
  for (std::size_t cut = 0; cut < stream.size(); ++cut) {
    const Bytes shortStream(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
    Bytes out;
    const Status status = decodeLzss(shortStream, source.size(), out);
    ASSERT_EQ(status.code(), Status::Code::Corrupt) << cut;
    EXPECT_NE(status.reason(), Status::Reason::None);
    ASSERT_LT(out.size(), source.size());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), source.begin())) << cut;
  }
}

TEST(LzssDecoderTest, StopsAtExpectedSizeAndIgnoresWhatFollows) {
  const Bytes source = bytesOf("abcabcabcabcabcabcabcabc and more");
  Bytes stream = compress(source).stream;
  EXPECT_EQ(decode(stream, 10), Bytes(source.begin(), source.begin() + 10));
  stream.insert(stream.end(), {0xFF, 0x00, 0x12});
  EXPECT_EQ(decode(stream, source.size()), source);
  EXPECT_EQ(decode({}, 0), Bytes());
}

TEST(LzssDecoderTest, HugeExpectedSizeIsRefusedBeforeAllocating) {
  Bytes out;
  const Status status = decodeLzss(Bytes{0x00, 0x0F}, std::numeric_limits<std::size_t>::max(), out);
  EXPECT_EQ(status.code(), Status::Code::Corrupt);
  EXPECT_TRUE(out.empty());
  EXPECT_NE(status.reason(), Status::Reason::None);
}

TEST(LzssDecoderTest, RefusingSinkIsAnOutputErrorWithItsReason) {
  const Bytes source = bytesOf("abcabcabcabcabcabcabcabc and more");
  const Bytes stream = compress(source).stream;
  SpanPositionedSource input(stream);
  FailingOutput sink(0);
  LzssDecoded decoded;
  const Status status = decodeLzss(input, source.size(), sink, decoded);
  EXPECT_EQ(status.code(), Status::Code::OutputError);
  EXPECT_EQ(status.reason(), Status::Reason::DecodedBytesNotWritten);
}

TEST(LzssDecoderTest, FollowsTheRingRulesForAnyPosition) {
  // A match at ring position 239 straight away reads slots that were never written (they
  // start as spaces too); a match at the write slot repeats the byte 256 back.
  EXPECT_EQ(decode(Bytes{0x77, 0xF0}, 2), Bytes(2, 0x20));  // 0, 11101111, 0000, padding
  // 256 literals, then a match at slot 239 (where the write slot is again): the first
  // literals come back.
  Bytes source;
  for (int i = 0; i < 256; ++i) source.push_back(static_cast<std::uint8_t>(i * 7));
  Bytes stream;
  int accumulator = 0;
  int bits = 0;
  auto put = [&](int value, int count) {
    for (int b = count - 1; b >= 0; --b) {
      accumulator = accumulator << 1 | ((value >> b) & 1);
      if (++bits == 8) {
        stream.push_back(static_cast<std::uint8_t>(accumulator));
        accumulator = bits = 0;
      }
    }
  };
  for (const std::uint8_t byte : source) put(0x100 | byte, 9);
  put(239 << 4 | 3, 13);  // 5 bytes
  put(0, 8 - bits);
  Bytes expected = source;
  expected.insert(expected.end(), source.begin(), source.begin() + 5);
  EXPECT_EQ(decode(stream, expected.size()), expected);
}

}  // namespace
}  // namespace kupack
