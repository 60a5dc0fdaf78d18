// The system's file layer: a readable file's size is learned at open and read for exactly
// that length; growing, shrinking and rewriting are noticed; what is no regular file is
// refused with the right error; a new file's failed writes are reported.
#include "app/status_text.h"
#include "platform/file.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/platform.h"
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

}  // namespace
}  // namespace kupack
