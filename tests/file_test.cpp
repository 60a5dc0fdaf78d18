// The system's file layer: a readable file's size is learned at open and read for exactly
// that length; growing, shrinking and rewriting are noticed; what is no regular file is
// refused with the right error; a new file's failed writes are reported.
#include "app/status_text.h"
#include "platform/file.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/platform.h"
#include "tests/fault_file_system.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;

std::unique_ptr<platform::ReadableFile> openOrFail(const fs::path& path) {
  std::unique_ptr<platform::ReadableFile> file;
  const Status status = platform::realFileSystem().openReadable(test::nativeOf(path), file);
  EXPECT_TRUE(status.isOk()) << statusText(status);
  return file;
}

// A change made once the file is open: whether a read of the first bytes still gives them,
// and whether the file still counts as the one opened.
TEST(FileTest, ReadsTheOpenedLengthAndNoticesEveryChange) {
  test::TempDir dir;
  const fs::path path = dir / "source.bin";
  struct Case {
    const char* what;
    std::uintmax_t after;  // the length set once the file is open (0: rewritten, see below)
    Status::Code read;     // of all 100 bytes opened
  };
  for (const Case& c : {Case{"unchanged", 100, Status::Code::Ok},
                        Case{"grown", 1000, Status::Code::Ok},
                        Case{"shrunk", 20, Status::Code::SourceChanged},
                        Case{"emptied", 0, Status::Code::SourceChanged}}) {
    SCOPED_TRACE(c.what);
    test::writeFile(path, std::string(100, 'a'));
    const auto file = openOrFail(path);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->size(), 100u);
    EXPECT_TRUE(file->unchangedSinceOpen());
    if (c.after != 100) fs::resize_file(path, c.after);  // (a cut to the same length is a change)
    std::vector<std::uint8_t> bytes(100);
    const Status read = file->readAt(0, bytes);
    EXPECT_EQ(read.code(), c.read);
    if (!read) {
      EXPECT_NE(statusText(read).find("source.bin"), std::string::npos);
    }
    // Never past the opened length, whatever has been added.
    std::size_t got = 1;
    EXPECT_TRUE(file->readSome(100, bytes, got));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(file->unchangedSinceOpen(), c.after == 100) << c.what;
    EXPECT_EQ(file->checkUnchanged().code(),
              c.after == 100 ? Status::Code::Ok : Status::Code::SourceChanged);
  }
}

TEST(FileTest, WhatCannotBeOpenedIsCannotOpenWithItsReason) {
  test::TempDir dir;
  fs::create_directories(dir / "folder");
  struct Case {
    fs::path path;
    int error;
  };
  for (const Case& c : {Case{dir / "none", ENOENT}, Case{dir / "folder", EISDIR}}) {
    std::unique_ptr<platform::ReadableFile> file;
    const Status status = platform::realFileSystem().openReadable(test::nativeOf(c.path), file);
    EXPECT_EQ(status.code(), Status::Code::CannotOpen) << c.path;
    // A folder on Windows is refused when opened (EACCES) or when looked at (EISDIR).
    if (c.error != EISDIR || platform::nativeSeparator() == '/') {
      EXPECT_EQ(status.errorNumber(), c.error) << c.path;
    }
    EXPECT_EQ(file, nullptr);
  }
  EXPECT_EQ(platform::regularFileLength(test::nativeOf(dir / "folder")), std::nullopt);
  EXPECT_EQ(platform::regularFileLength(test::nativeOf(dir / "none")), std::nullopt);
}

TEST(FileTest, NewFileIsWrittenSoughtAndClosed) {
  test::TempDir dir;
  std::unique_ptr<platform::WritableFile> file;
  ASSERT_TRUE(platform::realFileSystem().createUnique(test::nativeOf(dir / "out"), ".part",
                                                      nullptr, file));
  const std::uint8_t tail[] = {'c', 'd'};
  const std::uint8_t head[] = {'a', 'b'};
  ASSERT_TRUE(file->seek(2));
  ASSERT_TRUE(file->append(tail));
  ASSERT_TRUE(file->seek(0));
  ASSERT_TRUE(file->append(head));
  ASSERT_TRUE(file->close());
  EXPECT_TRUE(file->close());  // once closed, nothing more
  EXPECT_EQ(test::readFile(test::pathFromNative(file->path())), "abcd");
  EXPECT_EQ(test::namesEndingIn(dir.path(), ".part").size(), 1u);
}

// Ranges of a readable file appended after `lead` bytes: those that line up with their new
// place by whole pages are copied by the system, the others read through the write buffer;
// either way every byte lands where it belongs, across the buffer's block boundaries too,
// and a source that has become shorter is SourceChanged naming it.
TEST(FileTest, AppendedRangesLandExactlyAndAShortenedSourceIsNamed) {
  test::TempDir dir;
  std::string source(300000, '\0');
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>(i * 7 + i / 251);
  struct Case {
    std::size_t lead;        // bytes written before the range
    std::uint64_t position;  // of the range in the source
    std::uint64_t length;
    std::uintmax_t cutTo;  // the source's length once it is open (its own: unchanged)
  };
  const std::size_t block = std::size_t{1} << 20;
  for (const Case& c : {Case{0, 0, 300000, 300000}, Case{5, 5, 290000, 300000},
                        Case{5, 0, 300000, 300000}, Case{block - 3, 4093, 200000, 300000},
                        Case{4096, 8192, 100, 300000}, Case{0, 0, 300000, 100000},
                        Case{1, 0, 300000, 100000}}) {
    SCOPED_TRACE(testing::Message() << c.lead << " " << c.position << " " << c.length);
    const fs::path path = dir / "source.bin";
    test::writeFile(path, source);
    const auto file = openOrFail(path);
    ASSERT_NE(file, nullptr);
    if (c.cutTo != source.size()) fs::resize_file(path, c.cutTo);
    std::unique_ptr<platform::WritableFile> out;
    ASSERT_TRUE(platform::realFileSystem().createUnique(test::nativeOf(dir / "out"), ".part",
                                                        nullptr, out));
    const std::vector<std::uint8_t> lead(c.lead, 'L');
    const std::vector<std::uint8_t> trail(2 * block + 7, 'T');  // whole blocks go out directly
    ASSERT_TRUE(out->append(lead));
    const Status appended = out->appendFrom(*file, c.position, c.length);
    if (c.cutTo != source.size()) {
      EXPECT_EQ(appended.code(), Status::Code::SourceChanged);
      EXPECT_NE(statusText(appended).find("source.bin"), std::string::npos);
      continue;
    }
    ASSERT_TRUE(appended) << statusText(appended);
    ASSERT_TRUE(out->append(trail));
    ASSERT_TRUE(out->close());
    const std::string written = test::readFile(test::pathFromNative(out->path()));
    const std::string range =
        source.substr(static_cast<std::size_t>(c.position), static_cast<std::size_t>(c.length));
    EXPECT_TRUE(written == std::string(c.lead, 'L') + range + std::string(trail.size(), 'T'));
    fs::remove(test::pathFromNative(out->path()));
  }
}

// A list the user names (--exclude-from) is read whole through the layer, its failures
// naming it.
TEST(FileTest, ListIsReadWholeAndItsFailuresNameIt) {
  test::TempDir dir;
  fs::create_directories(dir / "folder");
  test::writeFile(dir / "list", std::string("*.db\r\n\n.git"));
  const std::string list = test::nativeOf(dir / "list");
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(platform::realFileSystem().readList(list, 100, bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "*.db\r\n\n.git");
  struct Case {
    std::string path;
    std::uint64_t limit;
    bool failRead;
    Status::Code code;
  };
  for (const Case& c : {Case{test::nativeOf(dir / "none"), 100, false, Status::Code::CannotOpen},
                        Case{test::nativeOf(dir / "folder"), 100, false, Status::Code::CannotOpen},
                        Case{list, 5, false, Status::Code::FileTooLarge},
                        Case{list, 100, true, Status::Code::CannotRead}}) {
    SCOPED_TRACE(c.path);
    test::FaultFileSystem faults;
    if (c.failRead) faults.failRead(1, EIO);
    const Status status = faults.readList(c.path, c.limit, bytes);
    EXPECT_EQ(status.code(), c.code);
    EXPECT_EQ(status.path(), c.path);
  }
}

// A range of one file appended to another: between two of the system's files by the
// system's own copy (to a file on another file system, here /dev/shm, it refuses and blocks
// are copied instead), from any other readable file in blocks through its own reads, so
// that a wrapper's faults reach the copy.
TEST(FileTest, AppendCopyOfCopiesRangesExactlyAndNamesTheSourceWhenItFails) {
  test::TempDir dir;
  std::string source(3 * 1048576 + 77, '\0');
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>((i * 131) >> 3);
  const std::string sourcePath = test::nativeOf(dir / "source.bin");
  test::writeFile(dir / "source.bin", source);
  std::vector<fs::path> stems{dir / "copy"};
  if (fs::is_directory("/dev/shm")) stems.push_back(fs::path("/dev/shm") / dir.path().filename());
  for (const bool wrapped : {false, true}) {
    for (const fs::path& stem : stems) {
      SCOPED_TRACE(stem.string() + (wrapped ? ", through a wrapper" : ""));
      test::FaultFileSystem faults;
      platform::FileSystem& files = wrapped ? faults : platform::realFileSystem();
      std::unique_ptr<platform::ReadableFile> in;
      ASSERT_TRUE(files.openReadable(sourcePath, in));
      std::unique_ptr<platform::WritableFile> out;
      ASSERT_TRUE(platform::realFileSystem().createUnique(test::nativeOf(stem), ".bin", nullptr, out));
      const std::string outPath = out->path();
      ASSERT_TRUE(out->append({reinterpret_cast<const std::uint8_t*>("head"), 4}));
      std::string expected = "head";
      struct Range {
        std::uint64_t position, length;
      };
      for (const Range range : {Range{0, 0}, Range{5, 1}, Range{1000, 1048576 + 3},
                                Range{0, source.size()}, Range{source.size() - 9, 9}}) {
        EXPECT_TRUE(out->appendCopyOf(*in, range.position, range.length));
        expected += source.substr(static_cast<std::size_t>(range.position),
                                  static_cast<std::size_t>(range.length));
      }
      ASSERT_TRUE(out->append({reinterpret_cast<const std::uint8_t*>("tail"), 4}));
      expected += "tail";
      const Status pastEnd = out->appendCopyOf(*in, source.size() - 3, 10);  // the file ends first
      EXPECT_FALSE(pastEnd);
      EXPECT_EQ(pastEnd.path(), sourcePath) << statusText(pastEnd);
      if (wrapped) {
        faults.failRead(faults.reads() + 2, EIO);  // the second block of the next copy
        const Status failed = out->appendCopyOf(*in, 0, source.size());
        EXPECT_EQ(failed.code(), Status::Code::CannotRead);
        EXPECT_EQ(failed.errorNumber(), EIO);
        EXPECT_EQ(failed.path(), sourcePath);
      }
      ASSERT_TRUE(out->close());
      EXPECT_EQ(test::readFile(test::pathFromNative(outPath)).substr(0, expected.size()), expected);
      fs::remove(test::pathFromNative(outPath));
    }
  }
}

}  // namespace
}  // namespace kupack
