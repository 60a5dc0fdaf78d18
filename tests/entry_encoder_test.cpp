// encodeEntry: which coding each name and file gets, and that each coding's bytes decode
// back to the file (or the picture) it came from.
#include "archive/entry_encoder.h"

#include <gtest/gtest.h>

#include "app/catalogue.h"
#include "app/pack_console.h"
#include "app/status_text.h"
#include "archive/bitmap_file.h"
#include "archive/stored_entry.h"
#include "codec/lzss_decoder.h"
#include "codec/spb.h"
#include "codec/spb_decoder.h"
#include "common/console.h"
#include "tests/bmp_builder.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;

class EntryEncoderTest : public ::testing::Test {
 protected:
  EntryEncoderTest() : capture_([this](std::string_view text) { console_ += text; }) {}

  EncodedEntry encode(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    test::writeFile(dir_ / "source", bytes);
    console_.clear();
    return encodeOrStore(name, (dir_ / "source").string());
  }
  // As the writer takes an entry: the coded bytes, or for a stored one the file's copy.
  EncodedEntry encodeOrStore(const std::string& name, const std::string& source) {
    coded_.clear();
    VectorSink sink(coded_);
    std::unique_ptr<platform::ReadableFile> file;
    if (Status opened = platform::realFileSystem().openReadable(source, file); !opened)
      return {opened, ENTRY_STORED};
    EncodedEntry entry = encodeEntry(name, *file, sink, events_);
    if (entry.status.isOk() && entry.type == ENTRY_STORED) {
      EXPECT_TRUE(coded_.empty()) << name;
      std::unique_ptr<platform::WritableFile> copy;
      EXPECT_TRUE(platform::realFileSystem().createUnique((dir_ / "stored").string(), "", nullptr, copy));
      std::uint64_t copied = 0;
      entry.status = storeEntry(*file, *copy, events_, copied);
      EXPECT_TRUE(copy->close());
      coded_ = test::readBytes(copy->path());
      fs::remove(copy->path());
      EXPECT_EQ(copied, coded_.size());
    }
    return entry;
  }
  const std::vector<std::uint8_t>& encoded() const { return coded_; }

  test::TempDir dir_;
  std::vector<std::uint8_t> coded_;
  std::string console_;
  test::JapaneseTexts japanese_;  // kupack's Japanese texts as they have always been
  ConsoleCapture capture_;
  ConsolePackListener events_;  // the events as the program shows them
};

TEST_F(EntryEncoderTest, OnlyTheLastThreeBytesOfTheNameChooseTheBitmapBranches) {
  const auto bmp = test::makeBmp(test::randomPicture(5, 3, 1, 20));
  for (const std::string name :
       {"PICTURE.BMP", "pic.Bmp", "sub\\pic.bmp", "notes_bmp", "xbmp", "bmp"}) {
    const EncodedEntry entry = encode(name, bmp);
    ASSERT_TRUE(entry.status.isOk()) << name;
    EXPECT_EQ(entry.type, ENTRY_SPB) << name;
    EXPECT_EQ(console_.rfind(std::string("Type:24bit-BMP（SPB形式）\n"), 0), 0u) << name;
  }
  for (const std::string name : {"pic.bmp.txt", "pic.bm", "pic.bmpx", "mp", ""}) {
    const EncodedEntry entry = encode(name, bmp);
    ASSERT_TRUE(entry.status.isOk()) << name;
    EXPECT_EQ(entry.type, ENTRY_STORED) << name;
    EXPECT_EQ(encoded(), bmp) << name;
    EXPECT_EQ(console_.rfind(std::string("Type:その他（無圧縮）\n"), 0), 0u) << name;
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
      EXPECT_EQ(console_.rfind(std::string("Type:256色BMP（変形LZSS形式）\n"), 0), 0u);
      std::vector<std::uint8_t> decoded;
      Status status = Status::ok();
      ASSERT_TRUE((status = decodeLzss(encoded(), file.size(), decoded)).isOk())
          << statusText(status);
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
      Status status = Status::ok();
      ASSERT_TRUE((status = decodeSpb(encoded(), decoded)).isOk()) << statusText(status);
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
    EXPECT_EQ(console_.rfind(std::string("Type:その他（無圧縮）\n"), 0), 0u);
  }
}

// The file ends of every coding: a source that cannot be opened or read fails naming it,
// whether the coder or the stored copy meets it; a destination that refuses bytes is the
// bare output error.
class EntryFileFailureTest : public EntryEncoderTest {
 protected:
  struct Case {
    std::string name;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Case> everyCoding() const {
    const auto picture = test::randomPicture(60, 50, 5, 255);
    return {{"a.txt", std::vector<std::uint8_t>(300000, 1)},
            {"b.bmp", test::makeBmp(picture)},
            {"c.bmp", test::makeBmp(picture, {.bitCount = 8, .colorsUsed = 256})}};
  }
};

TEST_F(EntryFileFailureTest, MissingOrUnreadableSourceFailsNamingIt) {
  fs::create_directory(dir_ / "folder.bmp");
  const std::string gone = (dir_ / "gone").string();
  const std::string folder = (dir_ / "folder.bmp").string();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"gone.bmp", gone}, {"gone.txt", gone}, {"folder.bmp", folder}, {"folder.txt", folder}};
  for (const auto& [name, source] : cases) {
    const EncodedEntry entry = encodeOrStore(name, source);
    ASSERT_FALSE(entry.status.isOk()) << name;
    EXPECT_NE(statusText(entry.status).find(source), std::string::npos) << name;
  }
}

// A destination that refuses bytes (the writer stopping) ends every coding that writes.
TEST_F(EntryFileFailureTest, RefusingDestinationIsTheOutputError) {
  class Refusing final : public ByteSink {
   public:
    bool put(std::span<const std::uint8_t>) override { return false; }
  } refusing;
  for (const Case& c : everyCoding()) {
    test::writeFile(dir_ / "source", c.bytes);
    const EncodedEntry entry = encodeEntry({c.name, (dir_ / "source").string()}, refusing, events_);
    if (entry.type == ENTRY_STORED) {
      EXPECT_TRUE(entry.status.isOk()) << c.name;  // copied later, by the writer
    } else {
      EXPECT_EQ(entry.status.kind(), Status::Kind::OutputError) << c.name;
    }
  }
}

// A picture is read a band at a time while it is coded: a file that becomes shorter once
// opened stops the coder with the failure that names it.
TEST_F(EntryFileFailureTest, PictureThatBecomesShorterWhileCodedFailsNamingIt) {
  const fs::path path = dir_ / "p.bmp";
  test::writeFile(path, test::makeBmp(test::randomPicture(301, 700, 7, 40)));  // three bands
  BitmapFile bitmap;
  BitmapVerdict verdict = BitmapVerdict::StoreUnchanged;
  ASSERT_TRUE(bitmap.open(path.string(), verdict).isOk());
  ASSERT_EQ(verdict, BitmapVerdict::CodeAsSpb);
  fs::resize_file(path, fs::file_size(path) / 2);
  CountingSink sink;
  EXPECT_EQ(encodeSpb(bitmap.rows(), sink), CodingResult::SourceFailed);
  EXPECT_EQ(bitmap.failure().code(), Status::Code::SourceChanged);
  EXPECT_NE(statusText(bitmap.failure()).find(path.string()), std::string::npos);
}

TEST_F(EntryEncoderTest, LzssEntryShowsTypeLineThenProgress) {
  std::vector<std::uint8_t> file =
      test::makeBmp(test::randomPicture(200, 150, 6, 3), {.bitCount = 8, .colorsUsed = 256});
  const EncodedEntry entry = encode("p.bmp", file);
  ASSERT_TRUE(entry.status.isOk());
  std::vector<std::uint8_t> decoded;
  Status status = Status::ok();
  ASSERT_TRUE((status = decodeLzss(encoded(), file.size(), decoded)).isOk()) << statusText(status);
  EXPECT_EQ(decoded, file);
  EXPECT_EQ(console_.rfind(tr("Type: 256-colour BMP (modified LZSS)\n"), 0), 0u);
  EXPECT_NE(console_.find(std::string("(")), std::string::npos);  // at least one progress line
  EXPECT_EQ(console_.back(), '\r');
}

}  // namespace
}  // namespace kupack
