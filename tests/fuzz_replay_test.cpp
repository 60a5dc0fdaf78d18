// The fuzz targets' checks in the normal suite: on the seed inputs (valid archives and
// streams made by our own coders, which the fuzz script also starts from) and on every
// input kept in tests/fuzz/regressions/<target>/. With KUPACK_FUZZ_SEEDS set, the seeds
// are also written below that folder, one subfolder per target.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

#include "app/status_text.h"
#include "codec/lzss.h"
#include "common/byte_order.h"
#include "common/console.h"
#include "tests/archive_builder.h"
#include "tests/bmp_builder.h"
#include "tests/fuzz/fuzz_bodies.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }
std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

Bytes lzssStreamOf(const Bytes& source) {
  Bytes stream;
  SpanSource input(source);
  VectorSink output(stream);
  EXPECT_EQ(lzssCompress(input, output, source.size()), CodingResult::Done);
  return stream;
}

Bytes spbStreamOf(const SpbPicture& picture) { return encodeSpbToMemory(test::viewOf(picture)); }

// Bytes that look like a small palette bitmap: repeats and a few changes.
Bytes paletteLikeBytes(std::size_t size, unsigned seed) {
  Bytes bytes(size);
  unsigned state = seed;
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = (state >> 28) < 3 ? static_cast<std::uint8_t>(state >> 16) : bytes[i / 2];
  }
  return bytes;
}

Bytes lzssSeed(const Bytes& source) {
  Bytes seed(2);
  storeBE16(seed.data(), static_cast<std::uint32_t>(source.size()));
  const Bytes stream = lzssStreamOf(source);
  seed.insert(seed.end(), stream.begin(), stream.end());
  return seed;
}

std::map<std::string, std::vector<Bytes>> makeSeeds() {
  std::map<std::string, std::vector<Bytes>> seeds;
  const SpbPicture smooth = test::randomPicture(13, 7, 1, 3);
  const SpbPicture noisy = test::randomPicture(9, 5, 2, 255);
  const Bytes palette = paletteLikeBytes(700, 3);

  auto& archives = seeds["archive_reader"];
  archives.push_back(bytesOf(test::buildArchiveBytes(test::sampleEntries())));
  archives.push_back(bytesOf(test::buildArchiveBytes({})));
  archives.push_back(bytesOf(test::buildArchiveBytes(
      {test::storedEntry("a.txt", "0123456789"),
       {"pal.bmp", 2, textOf(lzssStreamOf(palette)), static_cast<std::uint32_t>(palette.size())},
       {"sub\\smooth.bmp", 1, textOf(spbStreamOf(smooth)), 327},
       {"sub\\noisy.bmp", 1, textOf(spbStreamOf(noisy)), 194},
       test::storedEntry("..\\up.txt", "u"),
       test::storedEntry("c:\\d.txt", "d"),
       test::storedEntry("\x83\x5c\\\x83\x61.txt", "sjis")})));

  auto& lzss = seeds["lzss_decoder"];
  lzss.push_back(lzssSeed(bytesOf("aaaa")));
  lzss.push_back(lzssSeed(bytesOf("  x")));
  lzss.push_back(lzssSeed(Bytes(40, ' ')));
  lzss.push_back(lzssSeed(palette));
  lzss.push_back(lzssSeed(paletteLikeBytes(2000, 4)));

  auto& spb = seeds["spb_decoder"];
  spb.push_back(bytesOf(test::SPB_2X1));
  spb.push_back(spbStreamOf(test::randomPicture(1, 1, 5, 0)));
  spb.push_back(spbStreamOf(smooth));
  spb.push_back(spbStreamOf(noisy));
  spb.push_back(spbStreamOf(test::randomPicture(1, 9, 6, 20)));
  spb.push_back(spbStreamOf(test::randomPicture(16, 16, 7, 70)));

  auto& bitmaps = seeds["bitmap_parser"];
  bitmaps.push_back(test::makeBmp(smooth));
  bitmaps.push_back(test::makeBmp(noisy, {.topDown = true}));
  bitmaps.push_back(test::makeBmp(smooth, {.bitCount = 32}));
  bitmaps.push_back(test::makeBmp(
      noisy, {.bitCount = 32, .compression = 3, .masks = {{0xFF00, 0xFF0000, 0xFF}}}));
  bitmaps.push_back(test::makeBmp(smooth, {.bitCount = 8, .colorsUsed = 256}));
  return seeds;
}

using Check = std::function<std::string(std::span<const std::uint8_t>)>;

const std::map<std::string, Check>& checks() {
  static const std::map<std::string, Check> all = {
      {"archive_reader", fuzz::checkArchiveReader},
      {"lzss_decoder", fuzz::checkLzssDecoder},
      {"spb_decoder", fuzz::checkSpbDecoder},
      {"bitmap_parser", fuzz::checkBitmapParser},
  };
  return all;
}

TEST(FuzzReplayTest, SeedsAreSoundInputsAndPassEveryCheck) {
  const auto seeds = makeSeeds();
  const char* seedFolder = std::getenv("KUPACK_FUZZ_SEEDS");
  for (const auto& [target, inputs] : seeds) {
    ASSERT_FALSE(inputs.empty()) << target;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      EXPECT_EQ(checks().at(target)(inputs[i]), "") << target << " seed " << i;
      if (seedFolder != nullptr) {
        test::writeFile(fs::path(seedFolder) / target / ("seed-" + std::to_string(i)), inputs[i]);
      }
    }
  }
  // The seeds are valid inputs, so the fuzzer starts from the paths that decode.
  for (const auto& archive : seeds.at("archive_reader")) {
    ArchiveDirectory directory;
    EXPECT_TRUE(parseArchiveDirectory(archive, archive.size(), "seed", directory));
  }
  for (const auto& input : seeds.at("lzss_decoder")) {
    Bytes out;
    Status status = Status::ok();
    const std::size_t expected = loadBE16(input.data());
    EXPECT_TRUE((status = decodeLzss(std::span(input).subspan(2), expected, out)).isOk())
        << statusText(status);
  }
  for (const auto& input : seeds.at("spb_decoder")) {
    SpbPicture picture;
    Status status = Status::ok();
    EXPECT_TRUE((status = decodeSpb(input, picture)).isOk()) << statusText(status);
  }
}

TEST(FuzzReplayTest, KeptInputsPassEveryCheck) {
  const fs::path kept = fs::path(KUPACK_SOURCE_DIR) / "tests" / "fuzz" / "regressions";
  std::size_t replayed = 0;
  for (const auto& [target, check] : checks()) {
    if (!fs::is_directory(kept / target)) continue;
    for (const auto& file : fs::directory_iterator(kept / target)) {
      if (!file.is_regular_file()) continue;
      EXPECT_EQ(check(test::readBytes(file.path())), "") << file.path();
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0u) << "no inputs below " << kept;
}

TEST(FuzzReplayTest, ReferenceLzssDecoderFollowsTheDocumentedVectors) {
  // The fuzz target compares the decoder with this reference, so it must be right itself.
  const std::vector<std::pair<std::string, std::string>> vectors = {
      {"aaaa", "\xB0\xBB\xC4"},
      {"  x", "\x77\x05\xE0"},
      {"a", "\xB0\x80"},
      {std::string(40, 'a'), "\xB0\xBB\xFC\x01\xE1\x13"},
      {std::string(40, ' '), "\x77\x7B\xFF\xC2\x08"},
  };
  for (const auto& [plain, stream] : vectors) {
    Bytes out;
    ASSERT_TRUE(fuzz::referenceDecodeLzss(bytesOf(stream), plain.size(), out)) << plain;
    EXPECT_EQ(textOf(out), plain);
    EXPECT_FALSE(fuzz::referenceDecodeLzss(bytesOf(stream), plain.size() + 9, out)) << plain;
  }
}

}  // namespace
}  // namespace kupack
