// The file collector: pre-order walk, its console lines, and what it leaves out.
#include "archive/collector.h"

#include <gtest/gtest.h>

#include "app/pack_console.h"
#include "common/console.h"
#include "platform/platform.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;
using test::sjis;

std::vector<std::string> namesOf(const Collection& collection) {
  std::vector<std::string> names;
  for (const auto& file : collection.files) names.push_back(file.name);
  return names;
}

class CollectorTest : public ::testing::Test {
 protected:
  CollectorTest() : capture_([this](std::string_view text) { console_ += text; }) {}

  bool collect(Collection& collection, std::vector<std::string> excluded = {},
               std::string program = "") {
    return collectFiles({dir_.path().string(), std::move(program), std::move(excluded)}, collection,
                        events_);
  }

  test::TempDir dir_;
  std::string console_;
  test::JapaneseTexts japanese_;  // kupack's Japanese texts as they have always been
  ConsoleCapture capture_;
  ConsolePackListener events_;  // the events as the program shows them
};

TEST_F(CollectorTest, WalksDepthFirstWithNestedMessages) {
  // Names chosen so that every listing order the platforms use agrees.
  test::writeFile(dir_ / "a.bmp", std::string("1"));
  test::writeFile(dir_ / "bg" / "day" / "01.bmp", std::string("2"));
  test::writeFile(dir_ / "bg" / "x.txt", std::string("3"));
  test::writeFile(dir_ / "z.txt", std::string("4"));
  fs::create_directories(dir_ / "empty");
  Collection collection;
  ASSERT_TRUE(collect(collection));
  EXPECT_EQ(namesOf(collection),
            (std::vector<std::string>{"a.bmp", "bg\\day\\01.bmp", "bg\\x.txt", "z.txt"}));
  ASSERT_EQ(collection.files.size(), 4u);
  EXPECT_EQ(collection.files[1].nativePath, test::withNativeSeparators("bg/day/01.bmp"));
  const std::string root = dir_.path().string();
  const auto folder = [&](const std::string& relative) {
    return root + test::withNativeSeparators(relative);
  };
  EXPECT_EQ(console_,
            std::string("サブディレクトリ" + folder("/bg/") + "を発見しました。\n") +
                std::string("サブディレクトリ" + folder("/bg/day/") + "を発見しました。\n") +
                std::string("サブディレクトリ" + folder("/bg/day/") + "終了\n") +
                std::string("サブディレクトリ" + folder("/bg/") + "終了\n") +
                std::string("サブディレクトリ" + folder("/empty/") + "を発見しました。\n") +
                std::string("サブディレクトリ" + folder("/empty/") + "終了\n"));
}

TEST_F(CollectorTest, LeavesOutTheProgramInTheRootOnlyAndExcludedFiles) {
  test::writeFile(dir_ / "kupack", std::string("program"));
  test::writeFile(dir_ / "sub" / "kupack", std::string("a file of that name deeper down"));
  test::writeFile(dir_ / "out.kup", std::string("archive"));
  test::writeFile(dir_ / "sub" / "temp.dat", std::string("temporary"));
  Collection collection;
  ASSERT_TRUE(collect(
      collection, {(dir_ / "out.kup").string(), (dir_ / "sub" / "temp.dat").string()}, "kupack"));
  EXPECT_EQ(namesOf(collection), (std::vector<std::string>{"sub\\kupack"}));
}

TEST_F(CollectorTest, ExcludedFileIsRecognisedThroughALinkedFolder) {
  test::writeFile(dir_ / "real" / "arc.kup", std::string("archive"));
  if (!test::makeFolderLink(dir_ / "real", dir_ / "alias")) {
    GTEST_SKIP() << "this system does not let the test make a folder link";
  }
  Collection collection;
  ASSERT_TRUE(collect(collection, {(dir_ / "alias" / "arc.kup").string()}));
  EXPECT_TRUE(namesOf(collection).empty());
}

TEST_F(CollectorTest, LinksToTheRootOrAboveAndBackIntoTheWalkAreNotEntered) {
  test::writeFile(dir_ / "root" / "d" / "e" / "f", std::string("x"));
  test::writeFile(dir_ / "outside.txt", std::string("not below the root"));
  const fs::path root = dir_ / "root";
  if (!test::makeFolderLink(root, root / "d" / "loop") ||
      !test::makeFolderLink(dir_.path(), root / "d" / "up") ||
      !test::makeFolderLink(root / "d", root / "d" / "e" / "back")) {
    GTEST_SKIP() << "this system does not let the test make a folder link";
  }
  Collection collection;
  ASSERT_TRUE(collectFiles({root.string(), "", {}}, collection, events_));
  EXPECT_EQ(namesOf(collection), (std::vector<std::string>{"d\\e\\f"}));
  const auto path = [&](const std::string& relative) {
    return root.string() + test::withNativeSeparators(relative);
  };
  for (const char* link : {"/d/loop", "/d/up"}) {
    EXPECT_TRUE(test::contains(
        console_, std::string("リンク" + path(link) +
                              "は選んだフォルダかその上位のフォルダを指すので入りません。\n")))
        << link << console_;
    EXPECT_FALSE(
        test::contains(console_, std::string("サブディレクトリ" + path(link) + "/を発見")));
  }
  EXPECT_TRUE(
      test::contains(console_, std::string("サブディレクトリ" + path("/d/e/back/") +
                                           "は上位のフォルダへのリンクなので入りません。\n")))
      << console_;
}

TEST_F(CollectorTest, JapaneseNamesBecomeCodePage932) {
  if (!test::nativeCanName("画像ア")) GTEST_SKIP() << "the system's code page has no such names";
  test::writeFile(dir_ / "画像/ア.txt", std::string("x"));
  Collection collection;
  ASSERT_TRUE(collect(collection));
  EXPECT_EQ(namesOf(collection), (std::vector<std::string>{sjis("画像\\ア.txt")}));
  ASSERT_EQ(collection.files.size(), 1u);
  EXPECT_EQ(collection.files[0].nativePath,
            test::nativeName(test::withNativeSeparators("画像/ア.txt")));
}

TEST_F(CollectorTest, UnconvertibleAndBackslashNamesAreNotedNotCollected) {
  if (platform::nativeSeparator() == '\\') {
    GTEST_SKIP() << "Windows file names hold neither a backslash nor bytes without a character";
  }
  test::writeFile(dir_ / "bad\xff\xfe.txt", std::string("x"));
  test::writeFile(dir_ / "back\\slash", std::string("x"));
  test::writeFile(dir_ / "ok", std::string("x"));
  Collection collection;
  ASSERT_TRUE(collect(collection));
  EXPECT_EQ(namesOf(collection), (std::vector<std::string>{"ok"}));
  EXPECT_EQ(collection.namesWithoutCp932, (std::vector<std::string>{"bad\xff\xfe.txt"}));
  EXPECT_EQ(collection.namesWithBackslash, (std::vector<std::string>{"back\\slash"}));
}

TEST_F(CollectorTest, MissingRootReportsFailureAndPrintsNothing) {
  Collection collection;
  EXPECT_FALSE(collectFiles({(dir_ / "none").string(), "", {}}, collection, events_));
  EXPECT_TRUE(console_.empty());
}

}  // namespace
}  // namespace kupack
