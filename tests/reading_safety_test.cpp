// Reading hostile or huge archives safely: sizes checked at the edges of 32-bit size_t,
// memory bounded whatever an entry claims (sparse archives under a memory limit), extraction
// that replaces instead of writing through and leaves the old file on a full disk, junk
// after an LZSS stream, and pack -> extract -> test of real bitmaps.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>

#include "app/read_commands.h"
#include "app/status_text.h"
#include "archive/entry_decoding.h"
#include "codec/bmp_writer.h"
#include "codec/lzss_decoder.h"
#include "codec/spb_decoder.h"
#include "common/checked_size.h"
#include "common/console.h"
#include "platform/platform.h"
#include "tests/archive_builder.h"
#include "tests/bmp_builder.h"
#include "tests/test_support.h"

#if !defined(_WIN32)
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kupack {
namespace {

namespace fs = std::filesystem;
using test::buildArchiveBytes;
using test::BuiltEntry;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool UNDER_ADDRESS_SANITIZER = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool UNDER_ADDRESS_SANITIZER = true;
#else
constexpr bool UNDER_ADDRESS_SANITIZER = false;
#endif
#else
constexpr bool UNDER_ADDRESS_SANITIZER = false;
#endif

// A stream of zero bytes, as long as asked, held nowhere.
class ZeroSource final : public PositionedSource {
 public:
  ZeroSource(std::uint64_t size, std::span<const std::uint8_t> head) : size_(size), head_(head) {}
  std::uint64_t size() const override { return size_; }
  bool read(std::uint64_t position, std::span<std::uint8_t> buffer) override {
    for (std::size_t i = 0; i < buffer.size(); ++i) {
      buffer[i] = position + i < head_.size() ? head_[static_cast<std::size_t>(position + i)] : 0;
    }
    return true;
  }

 private:
  std::uint64_t size_;
  std::span<const std::uint8_t> head_;
};

// The byte length of the all-zero SPB stream of a width x height picture (every plane one
// zero first value and zero-width groups): the smallest valid stream of that size.
std::uint64_t zeroSpbStreamSize(std::uint64_t width, std::uint64_t height) {
  const std::uint64_t groups = (width * height - 1 + 3) / 4;
  return (32 + 3 * (8 + 3 * groups) + 7) / 8;
}

TEST(SizeBoundsTest, ProductsAndSumsAtThe32BitEdges) {
  EXPECT_EQ(checkedMultiply<std::uint32_t>(65536, 65535), 0xFFFF0000u);
  EXPECT_EQ(checkedMultiply<std::uint32_t>(65536, 65536), std::nullopt);
  EXPECT_EQ(checkedMultiply<std::uint32_t>(0, 0xFFFFFFFFFFull), 0u);
  EXPECT_EQ(checkedAdd<std::uint32_t>(0xFFFFFFFEu, 1), 0xFFFFFFFFu);
  EXPECT_EQ(checkedAdd<std::uint32_t>(0xFFFFFFFFu, 1), std::nullopt);
  EXPECT_EQ(fitSize<std::uint32_t>(0x100000000ull), std::nullopt);
  // The picture of the hostile archive: 65535 x 21846 x 3 = 2^32 + 65534 bytes.
  EXPECT_EQ(pictureBytes<std::uint32_t>(65535, 21846, 3), std::nullopt);
  EXPECT_EQ(pictureBytes<std::uint64_t>(65535, 21846, 3), 0x100000000ull + 65534);
  EXPECT_EQ(pictureBytes<std::uint32_t>(65535, 21845, 3), 4294836225u);
  EXPECT_EQ(bmp24FileSize(65535, 21846), std::nullopt);
  EXPECT_EQ(maxLzssOutput(0xFFFFFFFFull), 0xFFFFFFFFull * 8 / 13 * 17 + 1);
}

TEST(SizeBoundsTest, PictureBeyondTheAddressSpaceIsRefusedBeforeDecoding) {
  const std::uint8_t header[] = {0xFF, 0xFF, 0x55, 0x56};
  ZeroSource stream(zeroSpbStreamSize(65535, 21846), header);
  if (sizeof(std::size_t) > 4) GTEST_SKIP() << "the picture fits a 64-bit address space";
  SpbPicture picture;
  Status status = Status::ok();
  EXPECT_FALSE((status = decodeSpb(stream, picture)).isOk());
  EXPECT_EQ(status.reason(), Status::Reason::PictureTooLargeForMemory);
  EXPECT_TRUE(picture.pixels.empty());
}

// ---- Archives on disk ------------------------------------------------------------------

class ReadingSafetyTest : public ::testing::Test {
 protected:
  // Writes an archive of one entry whose stored bytes are `head` followed by zeros up to
  // `storedSize`, the zeros as a hole (no disk space where the file system has holes).
  std::string writeSparseArchive(const std::string& name, std::uint8_t type,
                                 std::uint64_t storedSize, std::uint32_t sourceSize,
                                 const std::string& head) {
    std::string bytes = buildArchiveBytes({{name, type, head, sourceSize}});
    const std::size_t sizeField = 6 + name.size() + 1 + 1 + 4;
    std::string field;
    test::appendBE32(field, static_cast<std::uint32_t>(storedSize));
    bytes.replace(sizeField, 4, field);
    const fs::path path = dir_ / (name + ".kup");
    test::writeFile(path, bytes);
    fs::resize_file(path, bytes.size() - head.size() + storedSize);
    return path.string();
  }

  test::RunResult kupack(const std::vector<std::string>& args) {
    return test::runKupack(args, dir_.path());
  }

  test::TempDir dir_;
};

#if !defined(_WIN32)
TEST_F(ReadingSafetyTest, TestingHugeEntriesStaysUnderAMemoryLimit) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  if (UNDER_ADDRESS_SANITIZER) GTEST_SKIP() << "AddressSanitizer reserves more than the limit";
  // An LZSS stream of zero bytes: 2-byte matches of spaces, 13 bits each, so 13 MiB code
  // 16 MiB and 104 MiB code 128 MiB, exactly to the stream's last byte.
  const std::uint64_t lzssStream = 13ull << 23;
  const std::string lzss = writeSparseArchive("pal.bmp", 2, lzssStream,
                                              static_cast<std::uint32_t>(lzssStream / 13 * 16), "");
  // An all-zero 8192 x 8192 picture: 201 MB of pixels from an 18 MB stream.
  const std::string spb =
      writeSparseArchive("true.bmp", 1, zeroSpbStreamSize(8192, 8192), 8192u * 8192 * 3 + 54,
                         std::string("\x20\x00\x20\x00", 4));
  for (const std::string& archive : {lzss, spb}) {
    // 96 MiB of address space: the decoders keep far less, the whole entry would not fit.
    const auto run = test::runCommand(
        {"sh", "-c", "ulimit -v 98304 && exec \"$0\" -t \"$1\"", KUPACK_BINARY, archive},
        dir_.path());
    EXPECT_EQ(run.exitCode, 0) << archive << "\n" << run.out << run.err;
    EXPECT_TRUE(test::contains(run.out, "1 entry tested: all match")) << run.out;
  }
}

// Packing a picture and comparing it with its file read it a band at a time: an 8192 x 8192
// true-colour bitmap of zeros (201 MB, a hole on disk) packs and tests against the folder
// within the same 96 MiB of address space.
TEST_F(ReadingSafetyTest, PackingAndComparingAHugePictureStaysUnderAMemoryLimit) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  if (UNDER_ADDRESS_SANITIZER) GTEST_SKIP() << "AddressSanitizer reserves more than the limit";
  auto header = test::makeBmp(test::randomPicture(1, 1, 1, 0));
  header.resize(54);
  header[19] = header[23] = 0x20;  // biWidth and biHeight 8192 (0x2000, little-endian)
  header[18] = header[22] = 0;
  fs::create_directories(dir_ / "tree");
  test::writeFile(dir_ / "tree" / "huge.bmp", header);
  fs::resize_file(dir_ / "tree" / "huge.bmp", 54 + 8192ull * 8192 * 3);
  const std::string limited = "ulimit -v 98304 && exec \"$0\" \"$@\"";
  const auto packed = test::runCommand(
      {"sh", "-c", limited, KUPACK_BINARY, "-j", "1", "tree", "out.kup"}, dir_.path());
  ASSERT_EQ(packed.exitCode, 0) << packed.out << packed.err;
  const auto tested =
      test::runCommand({"sh", "-c", limited, KUPACK_BINARY, "-t", "out.kup", "tree"}, dir_.path());
  EXPECT_EQ(tested.exitCode, 0) << tested.out << tested.err;
  EXPECT_TRUE(test::contains(tested.out, "1 entry tested against tree: all match")) << tested.out;
}

// The system's own full disk, which may show only when the file is closed (the fault layer's
// in extract_faults_test.cpp shows every place an extraction can meet one).
TEST_F(ReadingSafetyTest, AFailedWriteOnAFullDiskKeepsTheOldFile) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const fs::path full = dir_ / "full";
  fs::create_directories(full);
  if (mount("kupack-test", full.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "this system does not let the test mount a tmpfs";
  }
  struct Unmount {
    fs::path path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{full};
  test::writeFile(full / "big.txt", std::string(1000, 'o'));
  const std::string archive = (dir_ / "a.kup").string();
  test::writeFile(archive,
                  buildArchiveBytes({test::storedEntry("big.txt", std::string(200000, 'n'))}));
  std::string console;
  ConsoleCapture capture([&console](std::string_view text) { console += text; });
  EXPECT_EQ(extractArchiveCommand(archive, full.string(), true), 1);
  EXPECT_TRUE(test::contains(console, "failed big.txt: cannot write ")) << console;
  EXPECT_TRUE(test::contains(console, std::strerror(ENOSPC))) << console;
  EXPECT_EQ(test::readFile(full / "big.txt"), std::string(1000, 'o'));
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& item : fs::directory_iterator(full)) ++files;
  EXPECT_EQ(files, 1u) << "no temporary file left behind";
}

TEST_F(ReadingSafetyTest, APipeIsRefusedAtOnce) {
  const fs::path pipe = dir_ / "pipe.kup";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  for (const char* option : {"-l", "-t", "-x"}) {
    const auto run = kupack({option, pipe.string()});
    EXPECT_EQ(run.exitCode, option == std::string("-t") ? 2 : 1) << option;
    EXPECT_TRUE(test::contains(run.err, "is not a regular file")) << option << run.err;
  }
}
#endif

TEST_F(ReadingSafetyTest, JunkAfterAnLzssStreamFailsTheTest) {
  const std::string junk = test::LZSS_AAAA + std::string("\x00", 1);
  for (const auto& [stream, good] : {std::pair{test::LZSS_AAAA, true}, std::pair{junk, false}}) {
    test::writeFile(dir_ / "a.kup", buildArchiveBytes({{"pal.bmp", 2, stream, 4}}));
    const auto run = kupack({"-t", "a.kup"});
    EXPECT_EQ(run.exitCode, good ? 0 : 2) << run.out;
    if (!good && test::englishShown()) {
      EXPECT_TRUE(test::contains(run.err, "pal.bmp: 1 bytes follow the end of its LZSS stream"))
          << run.out;
    }
  }
}

TEST_F(ReadingSafetyTest, RunningOutOfMemoryIsAFailureNamingTheEntry) {
  // A sink whose every write finds no memory, as a full address space would.
  class StarvedSink final : public ByteSink {
   public:
    bool put(std::span<const std::uint8_t>) override { throw std::bad_alloc(); }
  };
  test::writeFile(dir_ / "a.kup", buildArchiveBytes(test::sampleEntries()));
  ArchiveReader reader;
  ASSERT_TRUE(reader.open((dir_ / "a.kup").string()));
  for (const ArchiveEntry& entry : reader.entries()) {
    if (entry.sourceSize == 0) continue;
    StarvedSink sink;
    const Status status = decodeEntry(reader, entry, sink);
    EXPECT_FALSE(status);
    EXPECT_EQ(statusText(status), entry.name + ": not enough memory to decode it\n");
  }
}

TEST_F(ReadingSafetyTest, PackExtractTestMatchesPictureForPicture) {
  const fs::path assets = fs::path(KUPACK_SOURCE_DIR) / "examples" / "assets";
  fs::copy(assets, dir_ / "tree", fs::copy_options::recursive);
  ASSERT_EQ(kupack({"tree", "out.kup"}).exitCode, 0);
  const auto extracted = kupack({"-x", "out.kup", "-C", "back"});
  ASSERT_EQ(extracted.exitCode, 0) << extracted.out;
  // The 32-bit bitmap without alpha comes back as a 24-bit one of the same picture.
  EXPECT_NE(fs::file_size(dir_ / "back" / "sprites" / "no_alpha32.bmp"),
            fs::file_size(dir_ / "tree" / "sprites" / "no_alpha32.bmp"));
  for (const char* folder : {"tree", "back"}) {
    const auto tested = kupack({"-t", "out.kup", folder});
    EXPECT_EQ(tested.exitCode, 0) << folder << "\n" << tested.out;
    EXPECT_TRUE(test::contains(tested.out, test::englishShown()
                                               ? ": all match"
                                               : test::sjis(": すべて一致しました")))
        << tested.out;
  }
  // A changed pixel is still found.
  std::string changed = test::readFile(dir_ / "back" / "sprites" / "no_alpha32.bmp");
  changed[54] = static_cast<char>(changed[54] ^ 0x40);  // the bottom row's first byte
  test::writeFile(dir_ / "back" / "sprites" / "no_alpha32.bmp", changed);
  const auto differs = kupack({"-t", "out.kup", "back"});
  EXPECT_EQ(differs.exitCode, 1);
  if (test::englishShown()) {
    EXPECT_TRUE(test::contains(differs.err, "the picture differs from the file in the folder"))
        << differs.out;
  }
}

}  // namespace
}  // namespace kupack
