// encodeEntry: which coding each name and file gets, and that each coding's bytes decode
// back to the file (or the picture) it came from.
#include "codec/entry_encoder.h"

#include <gtest/gtest.h>

#include "codec/lzss_decoder.h"
#include "codec/spb.h"
#include "codec/spb_decoder.h"
#include "common/console.h"
#include "tests/bmp_builder.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;
using test::sjis;

class EntryEncoderTest : public ::testing::Test {
 protected:
  EntryEncoderTest() : capture_([this](std::string_view text) { console_ += text; }) {}

  EncodedEntry encode(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    test::writeFile(dir_ / "source", bytes);
    console_.clear();
    return encodeEntry({name, (dir_ / "source").string()}, (dir_ / "temp.dat").string());
  }
  std::vector<std::uint8_t> encoded() const { return test::readBytes(dir_ / "temp.dat"); }

  test::TempDir dir_;
  std::string console_;
  ConsoleCapture capture_;
};

TEST_F(EntryEncoderTest, OnlyTheLastThreeBytesOfTheNameChooseTheBitmapBranches) {
  const auto bmp = test::makeBmp(test::randomPicture(5, 3, 1, 20));
  for (const std::string name :
       {"PICTURE.BMP", "pic.Bmp", "sub\\pic.bmp", "notes_bmp", "xbmp", "bmp"}) {
    const EncodedEntry entry = encode(name, bmp);
    ASSERT_TRUE(entry.status.isOk()) << name;
    EXPECT_EQ(entry.type, ENTRY_SPB) << name;
    EXPECT_EQ(console_.rfind(sjis("Type:24bit-BMP（SPB形式）\n"), 0), 0u) << name;
  }
  for (const std::string name : {"pic.bmp.txt", "pic.bm", "pic.bmpx", "mp", ""}) {
    const EncodedEntry entry = encode(name, bmp);
    ASSERT_TRUE(entry.status.isOk()) << name;
    EXPECT_EQ(entry.type, ENTRY_STORED) << name;
    EXPECT_EQ(encoded(), bmp) << name;
    EXPECT_EQ(console_.rfind(sjis("Type:その他（無圧縮）\n"), 0), 0u) << name;
  }
}

TEST_F(EntryEncoderTest, PaletteBitmapsAreLzssCodedWholeWhateverTheirCompression) {
  const auto picture = test::randomPicture(9, 7, 2, 4);
  for (const std::uint16_t bits : std::vector<std::uint16_t>{1, 4, 8}) {
    for (std::uint32_t compression : {0u, 1u, 2u}) {
      test::BmpLayout layout;
      layout.bitCount = bits;
      layout.compression = compression;
      layout.colorsUsed = 1u << bits;
      const auto file = test::makeBmp(picture, layout);
      const EncodedEntry entry = encode("p.bmp", file);
      ASSERT_TRUE(entry.status.isOk());
      EXPECT_EQ(entry.type, ENTRY_LZSS) << bits;
      EXPECT_EQ(console_.rfind(sjis("Type:256色BMP（変形LZSS形式）\n"), 0), 0u);
      std::vector<std::uint8_t> decoded;
      std::string error;
      ASSERT_TRUE(decodeLzss(encoded(), file.size(), decoded, error)) << error;
      EXPECT_EQ(decoded, file);
    }
  }
}

TEST_F(EntryEncoderTest, TrueColourPicturesDecodeToThePictureTheFileShows) {
  const auto picture = test::randomPicture(13, 6, 3, 60);
  for (bool topDown : {false, true}) {
    for (const std::uint16_t bits : std::vector<std::uint16_t>{24, 32}) {
      test::BmpLayout layout;
      layout.bitCount = bits;
      layout.topDown = topDown;
      const EncodedEntry entry = encode("p.bmp", test::makeBmp(picture, layout));
      ASSERT_TRUE(entry.status.isOk());
      ASSERT_EQ(entry.type, ENTRY_SPB);
      SpbPicture decoded;
      std::string error;
      ASSERT_TRUE(decodeSpb(encoded(), decoded, error)) << error;
      EXPECT_EQ(decoded.width, picture.width);
      EXPECT_EQ(decoded.height, picture.height);
      EXPECT_EQ(decoded.pixels, picture.pixels);
    }
  }
}

TEST_F(EntryEncoderTest, BitmapsSpbCannotHoldAreStoredUnchanged) {
  const auto picture = test::randomPicture(6, 4, 4, 30);
  test::BmpLayout alpha;
  alpha.bitCount = 32;
  alpha.fourthByte = [](std::size_t i) { return static_cast<std::uint8_t>(i * 7); };
  test::BmpLayout sixteen;
  sixteen.bitCount = 16;
  test::BmpLayout cut;
  cut.cutBytes = 5;
  test::BmpLayout rle24;
  rle24.compression = 1;
  const std::vector<std::vector<std::uint8_t>> files = {
      test::makeBmp(picture, alpha), test::makeBmp(picture, sixteen), test::makeBmp(picture, cut),
      test::makeBmp(picture, rle24), std::vector<std::uint8_t>{'B', 'M', 1, 2, 3}};
  for (const auto& file : files) {
    const EncodedEntry entry = encode("x.bmp", file);
    ASSERT_TRUE(entry.status.isOk());
    EXPECT_EQ(entry.type, ENTRY_STORED);
    EXPECT_EQ(encoded(), file);
    EXPECT_EQ(console_.rfind(sjis("Type:その他（無圧縮）\n"), 0), 0u);
  }
}

TEST_F(EntryEncoderTest, VanishedBitmapIsAFailureNamingIt) {
  for (const std::string name : {"gone.bmp", "gone.txt"}) {
    const EncodedEntry entry =
        encodeEntry({name, (dir_ / "gone").string()}, (dir_ / "temp.dat").string());
    ASSERT_FALSE(entry.status.isOk());
    EXPECT_NE(entry.status.message().find((dir_ / "gone").string()), std::string::npos);
  }
}

TEST_F(EntryEncoderTest, UnwritableDestinationFailsEveryBranch) {
  const auto picture = test::randomPicture(4, 4, 5, 10);
  test::BmpLayout palette;
  palette.bitCount = 8;
  const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> cases = {
      {"a.txt", {1, 2, 3}},
      {"b.bmp", test::makeBmp(picture)},
      {"c.bmp", test::makeBmp(picture, palette)}};
  for (const auto& [name, bytes] : cases) {
    test::writeFile(dir_ / "source", bytes);
    const EncodedEntry entry =
        encodeEntry({name, (dir_ / "source").string()}, (dir_ / "no" / "temp.dat").string());
    EXPECT_FALSE(entry.status.isOk()) << name;
  }
}

}  // namespace
}  // namespace kupack
