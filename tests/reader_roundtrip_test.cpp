// Round trips through the reader: a tree with every kind of file is coded by our own
// coders (palette bitmaps by LZSS, true-colour ones by SPB, the rest stored), put into an
// archive (the same bytes the kupack writer makes of the tree), extracted and tested
// against its source. Also the small pieces the reader is built from: entry paths, the
// 24-bit BMP writer and the LZSS size bound.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "app/read_commands.h"
#include "app/status_text.h"
#include "archive/collector.h"
#include "archive/entry_decoding.h"
#include "archive/entry_path.h"
#include "codec/bitmap.h"
#include "codec/bmp_writer.h"
#include "codec/lzss.h"
#include "codec/lzss_decoder.h"
#include "common/console.h"
#include "platform/platform.h"
#include "tests/archive_builder.h"
#include "tests/bmp_builder.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// ---- Entry paths, BMP writer, LZSS bound --------------------------------------------------

TEST(EntryPathTest, SplitsOnlyAtSingleByteBackslashes) {
  using Levels = std::vector<std::string>;
  EXPECT_EQ(splitEntryName("a\\b\\c.txt"), (Levels{"a", "b", "c.txt"}));
  EXPECT_EQ(splitEntryName("\x83\x5c\\\x95\x5c"), (Levels{"\x83\x5c", "\x95\x5c"}));
  EXPECT_EQ(splitEntryName("x\\"), (Levels{"x", ""}));
  EXPECT_EQ(splitEntryName("end\x83"), (Levels{"end\x83"}));
  Status refusal;
  if (test::nativeCanName("ソ")) {
    const auto levels = entryPathLevels("\x83\x5c\\a.txt", refusal);
    ASSERT_TRUE(levels) << statusText(refusal);
    EXPECT_EQ(*levels, (Levels{test::nativeName("ソ"), "a.txt"}));
  }
  EXPECT_FALSE(entryPathLevels("end\x83", refusal));
  EXPECT_EQ(refusal.reason(), Status::Reason::NameNotShiftJis);
  // A trail byte 0x3A is no ':'; a single-byte ':' anywhere is refused.
  EXPECT_FALSE(entryPathLevels("a\\b:c", refusal));
  // A trailing dot: an ordinary name, except where Windows would drop it.
  EXPECT_EQ(entryPathLevels("..a\\b..", refusal).has_value(), !platform::reservesDeviceNames())
      << statusText(refusal);
}

TEST(EntryPathTest, NamesLowerCasingMayHaveChangedAreKnown) {
  EXPECT_TRUE(mayHaveLoweredSecondByte("\x83\x61.txt"));            // ヂ, perhaps once ア
  EXPECT_TRUE(mayHaveLoweredSecondByte("dir\\\x83\x7a"));          // its second byte 'z'
  EXPECT_FALSE(mayHaveLoweredSecondByte("\x83\x41.txt"));           // ア itself
  EXPECT_FALSE(mayHaveLoweredSecondByte("plain name.txt"));
  EXPECT_FALSE(mayHaveLoweredSecondByte("\xb1\x61"));              // half-width ｱ, then 'a'
  EXPECT_FALSE(mayHaveLoweredSecondByte("end\x83"));
  EXPECT_EQ(statusText(loweredNamesNote("a", 3)).rfind("note: a and 2 other names: ", 0), 0u);
}

TEST(BmpWriterTest, HeadersAndSizeLimits) {
  EXPECT_EQ(bmp24RowStride(1), 4u);
  EXPECT_EQ(bmp24RowStride(4), 12u);
  EXPECT_EQ(bmp24RowStride(5), 16u);
  EXPECT_EQ(bmp24FileSize(3, 2), 54u + 24u);
  EXPECT_EQ(bmp24FileSize(65535, 21000), 54u + 196608u * 21000u);
  EXPECT_FALSE(bmp24FileSize(65535, 21846));  // over 4 GiB
  EXPECT_FALSE(bmp24FileSize(65535, 65535));
  const auto headers = bmp24Headers(3, 2);
  EXPECT_EQ(std::string(headers.begin(), headers.begin() + 2), "BM");
  EXPECT_EQ(headers[2], 78);   // bfSize
  EXPECT_EQ(headers[10], 54);  // bfOffBits
  EXPECT_EQ(headers[18], 3);   // biWidth
  EXPECT_EQ(headers[22], 2);   // biHeight, positive: bottom-up rows
  EXPECT_EQ(headers[28], 24);  // biBitCount
  EXPECT_EQ(headers[34], 24);  // biSizeImage
  // A picture whose pixels do not match its size is refused, not read past.
  SpbPicture picture{2, 2, Bytes(11)};
  EXPECT_FALSE(writeBmp24(picture, [](std::span<const std::uint8_t>) { return true; }));
}

TEST(LzssBoundTest, TheReaderBoundIsReachedButNeverPassed) {
  // Matches of 17 bytes ("0 slot 1111") as densely as a stream can hold them.
  for (std::size_t size : {1u, 2u, 3u, 13u, 26u, 100u}) {
    std::string bits;
    while (bits.size() + 13 <= size * 8) bits += "0111011111111";
    if (size * 8 - bits.size() >= 9) bits += "101100001";  // a literal fits the rest
    bits.resize(size * 8, '0');
    Bytes stream(size);
    for (std::size_t i = 0; i < bits.size(); ++i) {
      if (bits[i] == '1') stream[i / 8] |= static_cast<std::uint8_t>(0x80 >> (i % 8));
    }
    Bytes out;
    Status status = Status::ok();
    const auto bound = static_cast<std::size_t>(maxLzssOutput(size));
    EXPECT_TRUE((status = decodeLzss(stream, bound, out)).isOk())
        << size << " " << statusText(status);
    EXPECT_FALSE((status = decodeLzss(stream, bound + 1, out)).isOk()) << size;
  }
}

// ---- Round trip ---------------------------------------------------------------------------

// Codes one file the way the entry encoder chooses: palette bitmaps by LZSS, bitmaps the
// SPB coding holds by SPB, everything else stored.
test::BuiltEntry codeFile(const std::string& name, const fs::path& path) {
  const Bytes source = test::readBytes(path);
  test::BuiltEntry entry{name, ENTRY_STORED, std::string(source.begin(), source.end()),
                         static_cast<std::uint32_t>(source.size())};
  const auto lower = normalizeName(name);
  if (lower.size() < 3 || lower.substr(lower.size() - 3) != "bmp") return entry;
  BitmapImage image;
  if (image.readBitmapHeaders(source) && image.paletteCount() != 0) {
    Bytes stream;
    SpanSource input(source);
    VectorSink output(stream);
    EXPECT_EQ(lzssCompress(input, output, source.size()), CodingResult::Done);
    entry.type = ENTRY_LZSS;
    entry.data.assign(stream.begin(), stream.end());
    return entry;
  }
  Bytes pixels = source;
  if (image.parseBitmap(pixels) != BitmapVerdict::CodeAsSpb) return entry;
  const Bytes stream = encodeSpbToMemory(image.picture());
  entry.type = ENTRY_SPB;
  entry.data.assign(stream.begin(), stream.end());
  return entry;
}

// The picture a bitmap file holds, as the SPB coding sees it, top row first.
SpbPicture pictureOf(const fs::path& path) {
  BitmapImage image;
  Bytes bytes = test::readBytes(path);
  EXPECT_EQ(image.parseBitmap(bytes), BitmapVerdict::CodeAsSpb) << path;
  const SpbSource& view = image.picture();
  SpbPicture picture{view.width, view.height, {}};
  for (std::uint32_t y = 0; y < view.height; ++y) {
    const std::uint8_t* row = view.topRow + static_cast<std::ptrdiff_t>(y) * view.stride;
    picture.pixels.insert(picture.pixels.end(), row, row + std::size_t{view.width} * 3);
  }
  return picture;
}

class ReaderRoundTripTest : public ::testing::Test {
 protected:
  ReaderRoundTripTest() : capture_([this](std::string_view text) { console_ += text; }) {
    const SpbPicture picture = test::randomPicture(37, 23, 11, 30);
    const SpbPicture noisy = test::randomPicture(19, 4, 12, 255);
    write("ReadMe.txt", Bytes{'h', 'i', '\n'});
    write("empty.dat", Bytes{});
    write("data/Level1.dat", test::randomPicture(40, 25, 13, 255).pixels);
    write("pics/pal8.bmp", test::makeBmp(picture, {.bitCount = 8, .colorsUsed = 256}));
    write("pics/pal4.bmp", test::makeBmp(picture, {.bitCount = 4, .colorsUsed = 16}));
    write("pics/mono.BMP", test::makeBmp(picture, {.bitCount = 1, .colorsUsed = 2}));
    write("pics/true24.bmp", test::makeBmp(picture));
    write("pics/topdown.bmp", test::makeBmp(noisy, {.topDown = true}));
    write("pics/rgb32.bmp", test::makeBmp(picture, {.bitCount = 32}));
    write("pics/hi16.bmp", test::makeBmp(picture, {.bitCount = 16}));
    write("pics/notabitmap.bmp", Bytes{'B', 'M', '?'});
    write("\xE6\x97\xA5\xE6\x9C\xAC/\xE3\x82\xBD\xE8\xA1\xA8.bmp", test::makeBmp(noisy));

    // Every file, in the collector's order, coded into one archive.
    CollectRequest request;
    request.rootFolder = source().string();
    Collection collection;
    SilentPackListener quiet;
    EXPECT_TRUE(collectFiles(request, collection, quiet));
    std::vector<test::BuiltEntry> entries;
    for (const auto& file : collection.files) {
      entries.push_back(
          codeFile(normalizeName(file.name), source() / test::pathFromNative(file.nativePath)));
    }
    for (const auto& entry : entries) ++typeCount_[entry.type];
    archive_ = (dir_ / "tree.kup").string();
    test::writeFile(archive_, test::buildArchiveBytes(entries));
  }

  void SetUp() override {
    if (!test::nativeCanName("\xE6\x97\xA5\xE6\x9C\xAC\xE3\x82\xBD\xE8\xA1\xA8")) {
      GTEST_SKIP() << "the system's code page cannot name the tree's Japanese file";
    }
  }

  void write(const std::string& relative, const Bytes& bytes) {
    test::writeFile(source() / test::u8path(relative), bytes);
    files_.push_back(relative);
  }

  fs::path source() const { return dir_ / "source"; }
  fs::path out() const { return dir_ / "out"; }

  test::TempDir dir_;
  std::string console_;
  ConsoleCapture capture_;
  std::string archive_;
  std::vector<std::string> files_;
  std::map<int, int> typeCount_;
};

TEST_F(ReaderRoundTripTest, TheWriterMakesTheSameArchive) {
  const std::string written = (dir_ / "written.kup").string();
  const test::RunResult run = test::runKupack({source().string(), written}, dir_.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(test::readBytes(written) == test::readBytes(archive_));
  EXPECT_EQ(testArchiveCommand(written, source().string()), 0) << console_;
}

TEST_F(ReaderRoundTripTest, EveryKindOfFileComesBack) {
  EXPECT_EQ(typeCount_[ENTRY_LZSS], 3);
  EXPECT_EQ(typeCount_[ENTRY_SPB], 4);
  EXPECT_EQ(typeCount_[ENTRY_STORED], 5);
  ASSERT_EQ(extractArchiveCommand(archive_, out().string(), false), 0) << console_;
  const std::set<std::string> pictures = {"pics/true24.bmp", "pics/topdown.bmp", "pics/rgb32.bmp",
                                          "\xE6\x97\xA5\xE6\x9C\xAC/\xE3\x82\xBD\xE8\xA1\xA8.bmp"};
  for (const auto& relative : files_) {
    // Names are recorded in lower case, so that is how they come back.
    std::string lower = relative;
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    const fs::path extracted = out() / test::u8path(lower);
    ASSERT_TRUE(fs::is_regular_file(extracted)) << extracted;
    if (pictures.count(relative) != 0) {
      const SpbPicture expected = pictureOf(source() / test::u8path(relative));
      const SpbPicture actual = pictureOf(extracted);
      EXPECT_EQ(actual.width, expected.width) << relative;
      EXPECT_EQ(actual.height, expected.height) << relative;
      EXPECT_TRUE(actual.pixels == expected.pixels) << relative;
      EXPECT_EQ(fs::file_size(extracted), *bmp24FileSize(expected.width, expected.height));
    } else {
      EXPECT_TRUE(test::readBytes(extracted) == test::readBytes(source() / test::u8path(relative)))
          << relative;
    }
  }
}

TEST_F(ReaderRoundTripTest, TestPassesAgainstTheSourceAndFailsAfterAnyChange) {
  EXPECT_EQ(testArchiveCommand(archive_, source().string()), 0) << console_;
  EXPECT_NE(console_.find("12 entries tested against "), std::string::npos) << console_;
  for (const auto& relative : files_) {
    const fs::path path = source() / test::u8path(relative);
    const Bytes original = test::readBytes(path);
    Bytes changed = original;
    if (changed.empty()) {
      changed.push_back(0);
    } else if (changed.size() > 60) {
      // Inside the first pixel of a bitmap, where its picture changes too (row padding
      // would not: an SPB entry keeps the picture, not the padding).
      changed[55] ^= 0x01;
    } else {
      changed.back() ^= 0x01;
    }
    test::writeFile(path, changed);
    console_.clear();
    EXPECT_EQ(testArchiveCommand(archive_, source().string()), 1) << relative;
    EXPECT_NE(console_.find(": 1 problem\n"), std::string::npos) << relative << "\n" << console_;
    test::writeFile(path, original);
  }
  console_.clear();
  EXPECT_EQ(testArchiveCommand(archive_, source().string()), 0) << console_;
}

}  // namespace
}  // namespace kupack
