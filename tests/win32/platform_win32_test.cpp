// The Windows platform layer on a real file system: enumeration, file sizes, folder
// identities and names in the ANSI code page. The system's own calls serve as the reference.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/platform.h"
#include "platform/win32_text.h"
#include "tests/test_support.h"

namespace kupack::platform {
namespace {

namespace fs = std::filesystem;

// The folder's entries as the system's own enumeration gives them, in its order.
std::vector<std::string> systemListing(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW record{};
  const HANDLE find = FindFirstFileW((test::pathFromNative(folder) / "*").c_str(), &record);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(test::nativeOf(record.cFileName));
  } while (FindNextFileW(find, &record));
  FindClose(find);
  return names;
}

std::vector<std::string> namesOf(const std::vector<FolderEntry>& entries) {
  std::vector<std::string> names;
  for (const auto& entry : entries) names.push_back(entry.name);
  return names;
}

const FolderEntry* findEntry(const std::vector<FolderEntry>& entries, const std::string& name) {
  const auto it = std::find_if(entries.begin(), entries.end(),
                               [&](const FolderEntry& entry) { return entry.name == name; });
  return it == entries.end() ? nullptr : &*it;
}

using test::nativeOf;

TEST(Win32ListFolderTest, ListsEveryEntryInTheSystemsOrderWithKinds) {
  test::TempDir dir;
  test::writeFile(dir / "a.bmp", "a");
  test::writeFile(dir / "noext", "n");
  test::writeFile(dir / "hidden.txt", "h");
  test::writeFile(dir / "readonly.txt", "r");
  test::writeFile(dir / "sub" / "inner.txt", "i");
  fs::create_directory(dir / "x.bmp");  // a folder named like a bitmap
  ASSERT_TRUE(SetFileAttributesW((dir / "hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(SetFileAttributesW((dir / "readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY));

  std::vector<FolderEntry> entries;
  ASSERT_TRUE(listFolder(nativeOf(dir.path()), entries));
  EXPECT_EQ(namesOf(entries), systemListing(nativeOf(dir.path())));
  ASSERT_EQ(entries.size(), 8u);
  for (const char* folder : {".", "..", "sub", "x.bmp"}) {
    const FolderEntry* entry = findEntry(entries, folder);
    ASSERT_NE(entry, nullptr) << folder;
    EXPECT_EQ(entry->kind, EntryKind::Folder) << folder;
  }
  for (const char* file : {"a.bmp", "noext", "hidden.txt", "readonly.txt"}) {
    const FolderEntry* entry = findEntry(entries, file);
    ASSERT_NE(entry, nullptr) << file;
    EXPECT_EQ(entry->kind, EntryKind::File) << file;
  }
  SetFileAttributesW((dir / "readonly.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(Win32ListFolderTest, FolderGivenWithTrailingSeparatorAndEmptyFolder) {
  test::TempDir dir;
  fs::create_directory(dir / "empty");
  std::vector<FolderEntry> entries{{"stale", EntryKind::Other}};
  ASSERT_TRUE(listFolder(nativeOf(dir / "empty") + "\\", entries));
  std::vector<std::string> names = namesOf(entries);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".", ".."}));
}

TEST(Win32ListFolderTest, MissingFolderFailsWithErrno) {
  test::TempDir dir;
  std::vector<FolderEntry> entries;
  errno = 0;
  EXPECT_FALSE(listFolder(nativeOf(dir / "missing"), entries));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(entries.empty());
}

TEST(Win32ListFolderTest, JapaneseNamesWhateverTheAnsiCodePage) {
  test::TempDir dir;
  // 表 is 0x95 0x5C in code page 932: its second byte is the backslash's.
  const fs::path folder = dir.path() / fs::path(L"\u8868");
  test::writeFile(folder / fs::path(L"\u80CC\u666F.bmp"), "x");
  const std::string folderName = "表";
  const std::string fileName = "背景.bmp";

  std::vector<FolderEntry> entries;
  ASSERT_TRUE(listFolder(nativeOf(dir.path()), entries));
  const FolderEntry* entry = findEntry(entries, folderName);
  ASSERT_NE(entry, nullptr) << "ANSI code page " << win32::ansiCodePage();
  EXPECT_EQ(entry->kind, EntryKind::Folder);
  EXPECT_EQ(nativeNameToCp932(folderName), test::sjis("表"));
  EXPECT_EQ(cp932ToNativeName(test::sjis("表")), folderName);

  // Joining must add a separator after the trail byte 0x5C.
  const std::string inner = joinPath(nativeOf(dir.path()), folderName);
  EXPECT_EQ(joinPath(inner, fileName), inner + "\\" + fileName);
  ASSERT_TRUE(listFolder(inner, entries));
  ASSERT_NE(findEntry(entries, fileName), nullptr);
  EXPECT_EQ(regularFileLength(joinPath(inner, fileName)), 1u);
  EXPECT_TRUE(isFolder(inner));
}

TEST(Win32ListFolderTest, NamesWithoutAnAnsiFormGetNoLookAlike) {
  // The ANSI functions would list these as "a\b.txt" (a folder separator!) and "bady.txt"
  // under code page 932: names of other files.
  test::TempDir dir;
  test::writeFile(dir.path() / fs::path(L"a\u00A5b.txt"), "yen");
  test::writeFile(dir.path() / fs::path(L"bad\u00FF.txt"), "y");
  test::writeFile(dir / "bady.txt", "another file");
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(listFolder(nativeOf(dir.path()), entries));
  ASSERT_EQ(entries.size(), 5u);
  int refused = 0;
  for (const auto& entry : entries) {
    if (entry.name == "." || entry.name == ".." || entry.name == "bady.txt") continue;
    EXPECT_NE(entry.name, "a\\b.txt");
    EXPECT_FALSE(nativeNameToCp932(entry.name).has_value()) << entry.name;
    ++refused;
  }
  EXPECT_EQ(refused, 2);
}

TEST(Win32FileSizeTest, SizesThroughADescriptor) {
  test::TempDir dir;
  test::writeFile(dir / "empty", "");
  test::writeFile(dir / "one", "1");
  test::writeFile(dir / "many", std::string(123457, 'm'));
  EXPECT_EQ(regularFileLength(nativeOf(dir / "empty")), 0u);
  EXPECT_EQ(regularFileLength(nativeOf(dir / "one")), 1u);
  EXPECT_EQ(regularFileLength(nativeOf(dir / "many")), 123457u);
  EXPECT_FALSE(regularFileLength(nativeOf(dir / "missing")).has_value());
  EXPECT_FALSE(regularFileLength(nativeOf(dir.path())).has_value()) << "a folder has no file size";
  EXPECT_FALSE(regularFileLength("NUL").has_value()) << "nor has a device";
}

TEST(Win32FileSizeTest, SizesBeyondFourGibibytes) {
  test::TempDir dir;
  const fs::path big = dir / "big.bin";
  const long long length = (1LL << 32) + 7;
  {
    const HANDLE file = CreateFileW(big.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD ignored = 0;
    // Sparse, so that no disk space is taken where the file system knows such files.
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    LARGE_INTEGER end{};
    end.QuadPart = length;
    const bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    if (!sized) GTEST_SKIP() << "this file system cannot hold a file of 4 GiB";
  }
  EXPECT_EQ(regularFileLength(nativeOf(big)), static_cast<std::uint64_t>(length));
}

TEST(Win32FolderTest, IdentityExistenceAndCurrentDirectory) {
  test::TempDir dir;
  fs::create_directory(dir / "sub");
  test::writeFile(dir / "file", "f");
  const std::string root = nativeOf(dir.path());
  const std::string sub = nativeOf(dir / "sub");

  const auto rootId = folderIdentity(root);
  ASSERT_TRUE(rootId.has_value());
  EXPECT_EQ(folderIdentity(sub + "\\.."), rootId);
  EXPECT_NE(folderIdentity(sub), rootId);
  EXPECT_FALSE(folderIdentity(root + "\\missing").has_value());

  EXPECT_TRUE(isFolder(sub));
  EXPECT_FALSE(isFolder(nativeOf(dir / "file")));
  EXPECT_TRUE(pathExists(nativeOf(dir / "file")));
  EXPECT_FALSE(pathExists(root + "\\missing"));

  const auto before = currentDirectory();
  ASSERT_TRUE(before.has_value());
  ASSERT_TRUE(changeDirectory(sub));
  EXPECT_EQ(currentDirectory(), sub);
  errno = 0;
  EXPECT_FALSE(changeDirectory(root + "\\missing"));
  EXPECT_EQ(errno, ENOENT);
  ASSERT_TRUE(changeDirectory(*before));
}

TEST(Win32FolderTest, ReplaceAndRemoveFiles) {
  test::TempDir dir;
  test::writeFile(dir / "new", "new");
  test::writeFile(dir / "old", "old");
  EXPECT_TRUE(replaceFile(nativeOf(dir / "new"), nativeOf(dir / "old")));
  EXPECT_EQ(test::readFile(dir / "old"), "new");
  EXPECT_FALSE(pathExists(nativeOf(dir / "new")));
  errno = 0;
  EXPECT_FALSE(replaceFile(nativeOf(dir / "new"), nativeOf(dir / "old")));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(removeFile(nativeOf(dir / "old")));
  errno = 0;
  EXPECT_FALSE(removeFile(nativeOf(dir / "old")));
  EXPECT_EQ(errno, ENOENT);
}

TEST(Win32FolderTest, FolderFromArgument) {
  test::TempDir dir;
  fs::create_directory(dir / "sub");
  test::writeFile(dir / "file", "f");
  const std::string root = nativeOf(dir.path());
  const auto before = currentDirectory();
  ASSERT_TRUE(changeDirectory(root));

  FolderChoice choice = folderFromArgument("sub\\", root);
  EXPECT_EQ(choice.result, FolderChoiceResult::Chosen);
  EXPECT_EQ(choice.path, root + "\\sub");
  choice = folderFromArgument(".\\sub\\..\\sub", root);
  EXPECT_EQ(choice.path, root + "\\sub");
  EXPECT_EQ(folderFromArgument("file", root).result, FolderChoiceResult::NoFileSystemPath);
  EXPECT_EQ(folderFromArgument("missing", root).result, FolderChoiceResult::NoFileSystemPath);
  EXPECT_EQ(folderFromArgument("", root).result, FolderChoiceResult::NoFileSystemPath);

  // Against the start folder also when the current directory has moved on.
  ASSERT_TRUE(changeDirectory(*before));
  choice = folderFromArgument("sub", root);
  EXPECT_EQ(choice.result, FolderChoiceResult::Chosen);
  EXPECT_EQ(choice.path, root + "\\sub");
}

}  // namespace
}  // namespace kupack::platform
