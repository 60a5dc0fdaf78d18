// Creating folders and files below an extraction folder on Windows: names the system would
// not take literally, existing files and folders, and junctions, which are never followed.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "platform/file.h"
#include "platform/platform.h"
#include "platform/win32_text.h"
#include "tests/test_support.h"

namespace kupack::platform {
namespace {

namespace fs = std::filesystem;
using test::nativeOf;
using win32::CODE_PAGE_932;

constexpr unsigned CP1252 = 1252;

TEST(Win32NamesTest, OnlyNamesTheSystemTakesLiterally) {
  for (const char* name : {"a.txt", "noext", "COM10", "CONSOLE", "nul_", "x.con", "..a", "a b"}) {
    EXPECT_TRUE(win32::isLiteralFileName(name, CODE_PAGE_932)) << name;
  }
  for (const char* name :
       {"",        ".",   "..",   "a:b",      "a*b",      "a?b",    "a|b",       "a\"b",
        "a<b",     "a>b", "a/b",  "a\\b",     "a.",       "a ",     "\x01x",     "CON",
        "con.txt", "Nul", "COM1", "lpt9.log", "aux .txt", "CONIN$", "conout$.x", "PRN.a.b"}) {
    EXPECT_FALSE(win32::isLiteralFileName(name, CODE_PAGE_932)) << name;
  }
  // Second bytes 0x5C ('\') and 0x7C ('|') of code page 932 characters are no such signs.
  EXPECT_TRUE(win32::isLiteralFileName("\x95\x5C", CODE_PAGE_932));
  EXPECT_TRUE(win32::isLiteralFileName("\x83\x7C.bmp", CODE_PAGE_932));
  EXPECT_FALSE(win32::isLiteralFileName("\x95\x5C", CP1252));
}

TEST(Win32NamesTest, ParentFolders) {
  EXPECT_EQ(win32::parentFolder("C:\\a\\b", CODE_PAGE_932), "C:\\a");
  EXPECT_EQ(win32::parentFolder("C:\\a", CODE_PAGE_932), "C:\\");
  EXPECT_EQ(win32::parentFolder("C:\\", CODE_PAGE_932), "C:\\");
  EXPECT_EQ(win32::parentFolder("a", CODE_PAGE_932), "");
  EXPECT_EQ(win32::parentFolder("a/b", CODE_PAGE_932), "a");
  EXPECT_EQ(win32::parentFolder("\\\\srv\\share\\x", CODE_PAGE_932), "\\\\srv\\share\\");
  EXPECT_EQ(win32::parentFolder("C:\\x\\\x95\x5C", CODE_PAGE_932), "C:\\x");
  EXPECT_EQ(win32::parentFolder("C:\\\x95\x5C\\x", CODE_PAGE_932), "C:\\\x95\x5C");
}

TEST(Win32MakeFoldersTest, MakesEveryMissingLevel) {
  test::TempDir dir;
  const std::string deep = nativeOf(dir / "a/b/c");
  EXPECT_TRUE(makeFolders(deep));
  EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
  EXPECT_TRUE(makeFolders(deep)) << "an existing folder is fine";
  test::writeFile(dir / "file", "f");
  errno = 0;
  EXPECT_FALSE(makeFolders(nativeOf(dir / "file/sub")));
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_FALSE(makeFolders(""));
}

StagedCreation createBelow(const std::string& root, const std::vector<std::string>& levels,
                           bool replace) {
  return realFileSystem().createStaged(root, levels, replace);
}

std::span<const std::uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class Win32CreateBelowTest : public ::testing::Test {
 protected:
  std::string root() const { return nativeOf(dir_.path()); }

  // Creates the file and writes `content` into it; the outcome's result.
  CreateBelowResult create(const std::vector<std::string>& levels, bool replace,
                           const std::string& content = "new", int* errorNumber = nullptr) {
    StagedCreation created = createBelow(root(), levels, replace);
    if (errorNumber != nullptr) *errorNumber = created.failure.errorNumber();
    if (created.result == CreateBelowResult::Created) {
      EXPECT_NE(created.file, nullptr);
      EXPECT_TRUE(created.file->append(bytesOf(content)).isOk());
      EXPECT_TRUE(created.file->place().isOk());
    } else {
      EXPECT_EQ(created.file, nullptr);
    }
    return created.result;
  }

  test::TempDir dir_;
};

TEST_F(Win32CreateBelowTest, CreatesFoldersOnTheWayAndTheFile) {
  ASSERT_EQ(create({"a", "b", "c.txt"}, false, "abc\n"), CreateBelowResult::Created);
  EXPECT_EQ(test::readFile(dir_ / "a/b/c.txt"), "abc\n") << "written in binary, no CR added";
  ASSERT_EQ(create({"a", "d.txt"}, false), CreateBelowResult::Created);
  EXPECT_EQ(test::readFile(dir_ / "a/d.txt"), "new");
}

TEST_F(Win32CreateBelowTest, ExistingFileIsKeptUnlessReplacing) {
  test::writeFile(dir_ / "x/old.txt", "a longer old content");
  EXPECT_EQ(create({"x", "old.txt"}, false), CreateBelowResult::Exists);
  EXPECT_EQ(test::readFile(dir_ / "x/old.txt"), "a longer old content");
  EXPECT_EQ(create({"x", "old.txt"}, true, "short"), CreateBelowResult::Created);
  EXPECT_EQ(test::readFile(dir_ / "x/old.txt"), "short");
  // A file discarded unplaced leaves the old one as it was, and no temporary file.
  {
    StagedCreation created = createBelow(root(), {"x", "old.txt"}, true);
    ASSERT_EQ(created.result, CreateBelowResult::Created);
    EXPECT_TRUE(created.file->append(bytesOf("partial")).isOk());
    created.file->discard();
  }
  EXPECT_EQ(test::readFile(dir_ / "x/old.txt"), "short");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "x"), fs::directory_iterator()), 1);
}

TEST_F(Win32CreateBelowTest, FilesAndFoldersInTheWay) {
  test::writeFile(dir_ / "plain", "p");
  EXPECT_EQ(create({"plain", "x.txt"}, false), CreateBelowResult::NotAFolder);
  EXPECT_EQ(test::readFile(dir_ / "plain"), "p");
  fs::create_directories(dir_ / "folder");
  for (const bool replace : {false, true}) {
    int error = 0;
    EXPECT_EQ(create({"folder"}, replace, "x", &error), CreateBelowResult::Failed);
    EXPECT_EQ(error, EISDIR);
  }
  EXPECT_TRUE(fs::is_directory(dir_ / "folder"));
}

TEST_F(Win32CreateBelowTest, NamesTheSystemWouldChangeAreRefused) {
  for (const std::vector<std::string>& levels : std::vector<std::vector<std::string>>{{"NUL"},
                                                                                      {"con.txt"},
                                                                                      {"COM1", "x"},
                                                                                      {"a."},
                                                                                      {"b ", "x"},
                                                                                      {"s:stream"},
                                                                                      {"ok", "*"},
                                                                                      {}}) {
    int error = 0;
    EXPECT_EQ(create(levels, true, "x", &error), CreateBelowResult::Failed);
    EXPECT_EQ(error, EINVAL);
  }
  EXPECT_TRUE(fs::is_empty(dir_.path())) << "nothing made on the way";
}

TEST_F(Win32CreateBelowTest, MissingRootFails) {
  const StagedCreation created = createBelow(nativeOf(dir_ / "none"), {"x"}, false);
  EXPECT_EQ(created.result, CreateBelowResult::Failed);
  EXPECT_EQ(created.failure.errorNumber(), ENOENT);
  EXPECT_FALSE(fs::exists(dir_ / "none"));
}

TEST_F(Win32CreateBelowTest, JapaneseLevelsEndingIn5C) {
  // 表 is 0x95 0x5C in code page 932; the native names are UTF-8 on every Windows.
  const std::string table = "表";
  ASSERT_EQ(create({table, table + ".txt"}, false, "t"), CreateBelowResult::Created);
  EXPECT_EQ(test::readFile(dir_ / "表/表.txt"), "t");
}

// Makes `link` (an empty folder) a junction to `target`; false where the system refuses.
bool makeJunction(const fs::path& link, const fs::path& target) {
  fs::create_directories(link);
  const HANDLE handle =
      CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const std::wstring substitute = L"\\??\\" + fs::absolute(target).native();
  const auto nameBytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
  // Tag, data length, reserved; then the mount point's four offsets and lengths, the
  // substitute name with its NUL and an empty print name with its NUL.
  std::vector<BYTE> buffer(8 + 8 + nameBytes + 4, 0);
  const WORD dataLength = static_cast<WORD>(buffer.size() - 8);
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  const WORD fields[] = {0, nameBytes, static_cast<WORD>(nameBytes + 2), 0};
  std::memcpy(buffer.data(), &tag, 4);
  std::memcpy(buffer.data() + 4, &dataLength, 2);
  std::memcpy(buffer.data() + 8, fields, sizeof fields);
  std::memcpy(buffer.data() + 16, substitute.data(), nameBytes);
  DWORD ignored = 0;
  const BOOL made =
      DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(),
                      static_cast<DWORD>(buffer.size()), nullptr, 0, &ignored, nullptr);
  CloseHandle(handle);
  return made && (GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

TEST_F(Win32CreateBelowTest, JunctionsAreNeverFollowed) {
  const fs::path outside = dir_ / "outside";
  test::writeFile(outside / "victim.txt", "keep");
  if (!makeJunction(dir_ / "out/sub", outside)) {
    GTEST_SKIP() << "this system makes no junctions (wine does not)";
  }
  const std::string out = nativeOf(dir_ / "out");
  for (const bool replace : {false, true}) {
    for (const char* name : {"x.txt", "victim.txt"}) {
      const StagedCreation created = createBelow(out, {"sub", name}, replace);
      EXPECT_EQ(created.result, CreateBelowResult::ThroughLink) << name;
      EXPECT_EQ(created.file, nullptr);
    }
    // The junction itself in the file's place.
    EXPECT_NE(createBelow(out, {"sub"}, replace).result, CreateBelowResult::Created);
  }
  EXPECT_EQ(test::readFile(outside / "victim.txt"), "keep");
  EXPECT_FALSE(fs::exists(outside / "x.txt"));
}

}  // namespace
}  // namespace kupack::platform
