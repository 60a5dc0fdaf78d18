// The public reading library (include/kupack/archive.h) on archives built byte by byte:
// entries as recorded, each coding decoded into a sink, and failures thrown as
// kupack::Error naming the archive and entry, with nothing of a broken entry handed on.
#include <gtest/gtest.h>
#include <kupack/archive.h>

#include "tests/archive_builder.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

class RecordingSink : public EntrySink {
 public:
  void write(std::span<const std::uint8_t> bytes) override {
    written.insert(written.end(), bytes.begin(), bytes.end());
  }
  void picture(const Picture& picture) override {
    width = picture.width;
    height = picture.height;
    pixels.assign(picture.pixels.begin(), picture.pixels.end());
  }
  Bytes written;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  Bytes pixels;
};

TEST(LibraryTest, ListsEntriesAndDecodesEachCoding) {
  test::TempDir dir;
  test::writeFile(dir / "sample.kup", test::buildArchiveBytes(test::sampleEntries()));
  Archive archive(test::nativeOf(dir / "sample.kup"));
  const auto& entries = archive.entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[1].name, "pic\\pal.bmp");
  EXPECT_EQ(entries[1].coding, Coding::lzss);
  EXPECT_EQ(entries[1].offset, 6u);
  EXPECT_EQ(entries[1].storedSize, 3u);
  EXPECT_EQ(entries[1].sourceSize, 4u);
  EXPECT_EQ(entries[2].coding, Coding::spb);
  EXPECT_EQ(entries[3].coding, Coding::stored);

  EXPECT_EQ(archive.decode(entries[0]), bytesOf("hello\n"));
  EXPECT_EQ(archive.decode(entries[1]), bytesOf("aaaa"));
  EXPECT_TRUE(archive.decode(entries[3]).empty());

  RecordingSink sink;
  archive.decode(entries[2], sink);
  EXPECT_TRUE(sink.written.empty());
  EXPECT_EQ(sink.width, 2u);
  EXPECT_EQ(sink.height, 1u);
  EXPECT_EQ(sink.pixels, (Bytes{10, 20, 30, 11, 18, 30}));
  // By default a picture arrives as a 24-bit BMP file: headers, one row padded to 8 bytes.
  const Bytes bmp = archive.decode(entries[2]);
  ASSERT_EQ(bmp.size(), 54u + 8u);
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[2], 62u);
  EXPECT_EQ(Bytes(bmp.begin() + 54, bmp.end()), (Bytes{10, 20, 30, 11, 18, 30, 0, 0}));
}

TEST(LibraryTest, FailuresNameTheArchiveAndEntryAndHandOnNothing) {
  test::TempDir dir;
  const std::string missing = test::nativeOf(dir / "missing.kup");
  EXPECT_THROW(Archive{missing}, Error);

  // An LZSS entry that claims more bytes than its stream codes.
  auto entries = test::sampleEntries();
  entries[1].sourceSize = 400;
  test::writeFile(dir / "broken.kup", test::buildArchiveBytes(entries));
  Archive broken(test::nativeOf(dir / "broken.kup"));
  RecordingSink sink;
  try {
    broken.decode(broken.entries()[1], sink);
    FAIL() << "a broken LZSS entry was decoded";
  } catch (const Error& error) {
    EXPECT_TRUE(test::contains(error.what(), "broken.kup")) << error.what();
    EXPECT_TRUE(test::contains(error.what(), "pic\\pal.bmp")) << error.what();
    EXPECT_FALSE(test::contains(error.what(), "\n"));
  }
  EXPECT_TRUE(sink.written.empty());

  // An entry of another archive is refused, not decoded from this one's bytes.
  Entry foreign = broken.entries()[0];
  foreign.name = "elsewhere.txt";
  EXPECT_THROW(broken.decode(foreign), Error);

  // A picture whose pixels do not fill it has no BMP form.
  const std::uint8_t pixel[3] = {1, 2, 3};
  EXPECT_THROW(sink.EntrySink::picture(Picture{2, 1, pixel}), Error);
  EXPECT_TRUE(sink.written.empty());

  test::writeFile(dir / "cut.kup", test::buildArchiveBytes(test::sampleEntries()).substr(0, 20));
  try {
    Archive cut(test::nativeOf(dir / "cut.kup"));
    FAIL() << "a cut archive was opened";
  } catch (const Error& error) {
    EXPECT_TRUE(test::contains(error.what(), "cut.kup")) << error.what();
  }
}

TEST(LibraryTest, DecodeInPiecesGivesWhatDecodeGivesAndPassesTheSinksExceptionsOn) {
  test::TempDir dir;
  test::writeFile(dir / "sample.kup", test::buildArchiveBytes(test::sampleEntries()));
  Archive archive(test::nativeOf(dir / "sample.kup"));
  for (const Entry& entry : archive.entries()) {
    RecordingSink sink;
    archive.decodeInPieces(entry, sink);
    EXPECT_EQ(sink.written, archive.decode(entry)) << entry.name;  // SPB: its BMP file
    EXPECT_EQ(sink.width, 0u) << "picture() is never called";
  }

  // A broken entry throws Error naming the archive and entry.
  auto entries = test::sampleEntries();
  entries[1].sourceSize = 400;
  test::writeFile(dir / "broken.kup", test::buildArchiveBytes(entries));
  Archive broken(test::nativeOf(dir / "broken.kup"));
  RecordingSink sink;
  try {
    broken.decodeInPieces(broken.entries()[1], sink);
    FAIL() << "a broken LZSS entry was decoded";
  } catch (const Error& error) {
    EXPECT_TRUE(test::contains(error.what(), "broken.kup")) << error.what();
    EXPECT_TRUE(test::contains(error.what(), "pic\\pal.bmp")) << error.what();
  }

  // What the caller's sink throws comes out unchanged.
  struct Refusal {};
  class RefusingSink final : public EntrySink {
   public:
    void write(std::span<const std::uint8_t>) override { throw Refusal{}; }
  } refusing;
  for (const std::size_t index : {0u, 1u, 2u})
    EXPECT_THROW(archive.decodeInPieces(archive.entries()[index], refusing), Refusal) << index;
}

}  // namespace
}  // namespace kupack
