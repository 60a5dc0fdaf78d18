// The list, extract and test commands on archives made by the test builder: exact output,
// hostile names and links, existing files, broken entries, comparisons with a folder.
#include "app/read_commands.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/console.h"
#include "platform/platform.h"
#include "tests/archive_builder.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;
using test::buildArchiveBytes;
using test::BMP_2X1;
using test::BuiltEntry;
using test::storedEntry;


class ReaderCommandsTest : public ::testing::Test {
 protected:
  ReaderCommandsTest() : capture_([this](std::string_view text) { console_ += text; }) {}

  std::string archiveOf(const std::vector<BuiltEntry>& entries, const std::string& name = "a.kup") {
    const fs::path path = dir_ / name;
    test::writeFile(path, buildArchiveBytes(entries));
    return path.string();
  }

  fs::path out() const { return dir_ / "out"; }

  int extract(const std::string& archive, bool force = false) {
    return extractArchiveCommand(archive, out().string(), force);
  }

  test::TempDir dir_;
  std::string console_;
  ConsoleCapture capture_;
};

TEST_F(ReaderCommandsTest, ListShowsEveryEntryAndATotal) {
  std::vector<BuiltEntry> entries = test::sampleEntries();
  entries.push_back({"big.bmp", 2, std::string(300, '\0'), 100});
  EXPECT_EQ(listArchiveCommand(archiveOf(entries)), 0);
  EXPECT_EQ(console_,
            "      Stored       Source  Ratio  Type    Name\n"
            "           6            6   100%  stored  readme.txt\n"
            "           3            4    75%  LZSS    pic\\pal.bmp\n"
            "          11           60    18%  SPB     pic\\true.bmp\n"
            "           0            0     0%  stored  sub\\deep\\empty.dat\n"
            "         300          100   300%  LZSS    big.bmp\n"
            "         320          170   188%          5 entries\n");
}

TEST_F(ReaderCommandsTest, ListRefusesABrokenArchive) {
  const std::string path = (dir_ / "bad.kup").string();
  test::writeFile(path, buildArchiveBytes(test::sampleEntries()) + "x");
  EXPECT_EQ(listArchiveCommand(path), 1);
  EXPECT_NE(console_.find("bad.kup: the file is"), std::string::npos) << console_;
}

TEST_F(ReaderCommandsTest, ExtractWritesOriginalBytesAndBitmaps) {
  EXPECT_EQ(extract(archiveOf(test::sampleEntries())), 0) << console_;
  EXPECT_EQ(test::readFile(out() / "readme.txt"), "hello\n");
  EXPECT_EQ(test::readFile(out() / "pic" / "pal.bmp"), "aaaa");
  EXPECT_EQ(test::readFile(out() / "pic" / "true.bmp"), BMP_2X1);
  EXPECT_TRUE(fs::is_regular_file(out() / "sub" / "deep" / "empty.dat"));
  EXPECT_EQ(fs::file_size(out() / "sub" / "deep" / "empty.dat"), 0u);
  EXPECT_NE(console_.find("extracted pic\\true.bmp\n"), std::string::npos);
  EXPECT_NE(console_.find("4 extracted, 0 refused, 0 failed\n"), std::string::npos);
}

TEST_F(ReaderCommandsTest, ExtractConvertsShiftJisNamesAndKeepsTrailBackslashes) {
  // "ソ" is 0x83 0x5C: its second byte is no folder separator.
  if (!test::nativeCanName("ソ表")) GTEST_SKIP() << "the system's code page has no such names";
  EXPECT_EQ(extract(archiveOf({storedEntry("\x83\x5c\\\x95\x5c.txt", "x")})), 0) << console_;
  EXPECT_EQ(test::readFile(out() / test::u8path("\xE3\x82\xBD/\xE8\xA1\xA8.txt")), "x");
}

TEST_F(ReaderCommandsTest, ExtractIntoTheCurrentFolderByDefault) {
  const std::string archive = archiveOf({storedEntry("here.txt", "h")});
  fs::create_directories(out());
  const auto previous = platform::currentDirectory();
  ASSERT_TRUE(previous);
  ASSERT_TRUE(platform::changeDirectory(out().string()));
  const int status = extractArchiveCommand(archive, "", false);
  ASSERT_TRUE(platform::changeDirectory(*previous));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(test::readFile(out() / "here.txt"), "h");
}

TEST_F(ReaderCommandsTest, ExtractRefusesNamesThatLeaveTheFolder) {
  const std::vector<std::string> hostile = {
      "..\\evil.txt", "\\abs.txt", "c:\\drive.txt", "c:drive2.txt", "a\\..\\..\\up.txt",
      "ok\\..",       "a\\\\b",    "a\\.\\b",       "a\\. .\\b",    "x\\"};
  std::vector<BuiltEntry> entries;
  for (const auto& name : hostile) entries.push_back(storedEntry(name, "bad"));
  entries.push_back(storedEntry("good.txt", "good"));
  fs::create_directories(out() / "inner");
  const std::string archive = archiveOf(entries);
  EXPECT_EQ(extractArchiveCommand(archive, (out() / "inner").string(), false), 1);
  EXPECT_EQ(test::readFile(out() / "inner" / "good.txt"), "good");
  // Nothing but the good file anywhere below the test folder.
  std::size_t files = 0;
  for (const auto& item : fs::recursive_directory_iterator(dir_.path())) {
    if (item.is_regular_file() && item.path() != fs::path(archive)) ++files;
  }
  EXPECT_EQ(files, 1u);
  for (const auto& name : hostile) {
    EXPECT_NE(console_.find("refused " + name + ": "), std::string::npos) << name;
  }
  EXPECT_NE(console_.find("a\\..\\..\\up.txt: the name holds a \"..\" level"), std::string::npos);
  EXPECT_NE(console_.find("c:\\drive.txt: the name holds a drive letter"), std::string::npos);
  EXPECT_NE(console_.find("\\abs.txt: the name is absolute"), std::string::npos);
  EXPECT_NE(console_.find("1 extracted, 10 refused, 0 failed"), std::string::npos) << console_;
}

TEST_F(ReaderCommandsTest, ExtractNeverFollowsALink) {
  const fs::path outside = dir_ / "outside";
  fs::create_directories(outside);
  test::writeFile(outside / "victim.txt", std::string("keep"));
  test::writeFile(outside / "linked.txt", std::string("keep"));
  fs::create_directories(out());
  std::error_code hardLinkError;
  fs::create_hard_link(outside / "linked.txt", out() / "hard.txt", hardLinkError);
  if (hardLinkError || !test::makeFolderLink(outside, out() / "sub") ||
      !test::makeFileLink(outside / "victim.txt", out() / "victim.txt") ||
      !test::makeFileLink(outside / "new.txt", out() / "dangling.txt")) {
    GTEST_SKIP() << "this system does not let the test make links";
  }
  const std::string archive =
      archiveOf({storedEntry("sub\\x.txt", "bad"), storedEntry("sub\\victim.txt", "bad"),
                 storedEntry("victim.txt", "new"), storedEntry("dangling.txt", "new"),
                 storedEntry("hard.txt", "new")});
  // Without -f every link is refused; with it, the links at the file names are replaced by
  // the extracted files (never written through), and folder links are still refused.
  for (const bool force : {false, true}) {
    console_.clear();
    EXPECT_EQ(extract(archive, force), 1);
    EXPECT_NE(console_.find(force ? "3 extracted, 2 refused" : "0 extracted, 5 refused"),
              std::string::npos)
        << console_;
    EXPECT_NE(console_.find("refused sub\\x.txt: its path below the target folder leads through "
                            "a link"),
              std::string::npos)
        << console_;
    EXPECT_EQ(test::readFile(outside / "victim.txt"), "keep");
    EXPECT_EQ(test::readFile(outside / "linked.txt"), "keep");
    EXPECT_FALSE(fs::exists(outside / "x.txt"));
    EXPECT_FALSE(fs::exists(outside / "new.txt"));
  }
  for (const char* name : {"victim.txt", "dangling.txt", "hard.txt"}) {
    EXPECT_FALSE(fs::is_symlink(out() / name)) << name;
    EXPECT_EQ(test::readFile(out() / name), "new") << name;
  }
  EXPECT_EQ(fs::hard_link_count(outside / "linked.txt"), 1u);
  // No temporary file is left in the target folder.
  for (const auto& item : fs::directory_iterator(out())) {
    EXPECT_EQ(item.path().filename().string().find(".kupack-"), std::string::npos);
  }
}

TEST_F(ReaderCommandsTest, ExtractKeepsExistingFilesUnlessForced) {
  const std::string archive = archiveOf({storedEntry("a.txt", "new"), storedEntry("b.txt", "b")});
  test::writeFile(out() / "a.txt", std::string("old"));
  EXPECT_EQ(extract(archive), 1);
  EXPECT_EQ(test::readFile(out() / "a.txt"), "old");
  EXPECT_EQ(test::readFile(out() / "b.txt"), "b");
  EXPECT_NE(console_.find("refused a.txt: "), std::string::npos);
  EXPECT_NE(console_.find("exists (-f replaces it)"), std::string::npos);
  console_.clear();
  EXPECT_EQ(extract(archive, true), 0) << console_;
  EXPECT_EQ(test::readFile(out() / "a.txt"), "new");
}

TEST_F(ReaderCommandsTest, ExtractNeverReplacesTheArchiveItself) {
  fs::create_directories(out());
  const std::string archive = (out() / "self.kup").string();
  test::writeFile(
      archive, buildArchiveBytes({storedEntry("self.kup", "gone"), storedEntry("other.txt", "o")}));
  const std::string before = test::readFile(archive);
  EXPECT_EQ(extract(archive, true), 1);
  EXPECT_EQ(test::readFile(archive), before);
  EXPECT_EQ(test::readFile(out() / "other.txt"), "o");
  EXPECT_NE(console_.find("self.kup is the archive being read"), std::string::npos) << console_;
}

TEST_F(ReaderCommandsTest, ExtractReportsFilesInTheWayOfFolders) {
  test::writeFile(out() / "sub", std::string("file"));
  fs::create_directories(out() / "dir.txt");
  const std::string archive =
      archiveOf({storedEntry("sub\\x.txt", "x"), storedEntry("dir.txt", "d")});
  EXPECT_EQ(extract(archive, true), 1);
  EXPECT_NE(console_.find("refused sub\\x.txt: a folder on its path exists as a file"),
            std::string::npos)
      << console_;
  EXPECT_NE(console_.find("failed dir.txt: cannot create"), std::string::npos) << console_;
  EXPECT_EQ(test::readFile(out() / "sub"), "file");
}

TEST_F(ReaderCommandsTest, BrokenEntriesFailAndLeaveNothingBehind) {
  const std::string archive = archiveOf({
      {"short.bmp", 2, test::LZSS_AAAA, 10},  // the stream ends before 10 bytes
      {"huge.bmp", 2, test::LZSS_AAAA, 0xFFFFFFFFu},
      {"cut.bmp", 1, test::SPB_2X1.substr(0, 7), 62},
      {"tiny.bmp", 1, std::string("\x00\x02", 2), 62},
      storedEntry("fine.txt", "fine"),
  });
  test::writeFile(out() / "short.bmp", std::string("keep"));
  EXPECT_EQ(extract(archive, true), 1);
  EXPECT_EQ(test::readFile(out() / "short.bmp"), "keep");
  EXPECT_FALSE(fs::exists(out() / "huge.bmp"));
  EXPECT_FALSE(fs::exists(out() / "cut.bmp"));
  EXPECT_FALSE(fs::exists(out() / "tiny.bmp"));
  EXPECT_NE(console_.find("failed short.bmp: broken LZSS stream"), std::string::npos) << console_;
  EXPECT_NE(console_.find("failed huge.bmp: its source size 4294967295 is more than its 3-byte"),
            std::string::npos);
  EXPECT_NE(console_.find("failed cut.bmp: broken SPB stream"), std::string::npos);
  EXPECT_NE(console_.find("failed tiny.bmp: its SPB stream of 2 bytes is shorter"),
            std::string::npos);
  EXPECT_NE(console_.find("1 extracted, 0 refused, 4 failed"), std::string::npos);
}

TEST_F(ReaderCommandsTest, ExtractMakesAMissingTargetFolder) {
  const std::string archive = archiveOf({storedEntry("a.txt", "a")});
  EXPECT_EQ(extractArchiveCommand(archive, (out() / "new" / "deeper").string(), false), 0);
  EXPECT_EQ(test::readFile(out() / "new" / "deeper" / "a.txt"), "a");
  test::writeFile(dir_ / "plain", std::string("p"));
  EXPECT_EQ(extractArchiveCommand(archive, (dir_ / "plain").string(), false), 1);
  EXPECT_NE(console_.find("cannot make the folder"), std::string::npos) << console_;
}

// ---- Testing --------------------------------------------------------------------------

class ReaderTestCommandTest : public ReaderCommandsTest {
 protected:
  // The sample entries, with the true source size of the picture, and a folder that
  // holds exactly the files they came from (letter case as a user would have it).
  ReaderTestCommandTest() {
    entries_ = test::sampleEntries();
    entries_[2].sourceSize = static_cast<std::uint32_t>(BMP_2X1.size());
    test::writeFile(source() / "ReadMe.txt", std::string("hello\n"));
    test::writeFile(source() / "pic" / "pal.bmp", std::string("aaaa"));
    test::writeFile(source() / "Pic" / "True.BMP", BMP_2X1);
    test::writeFile(source() / "sub" / "deep" / "empty.dat", std::string());
  }
  fs::path source() const { return dir_ / "source"; }
  int testAgainstSource(const std::string& archive) {
    console_.clear();
    return testArchiveCommand(archive, source().string());
  }

  std::vector<BuiltEntry> entries_;
};

TEST_F(ReaderTestCommandTest, SoundArchivePassesAlone) {
  EXPECT_EQ(testArchiveCommand(archiveOf(entries_), std::nullopt), 0) << console_;
  EXPECT_EQ(console_, "4 entries tested: all match\n");
}

TEST_F(ReaderTestCommandTest, BrokenEntriesAndRepeatedNamesFail) {
  std::vector<BuiltEntry> entries = entries_;
  entries.push_back({"short.bmp", 2, test::LZSS_AAAA, 10});
  entries.push_back({"cut.bmp", 1, test::SPB_2X1 + std::string(1, '\0'), 62});
  entries.push_back(storedEntry("readme.txt", "again"));
  EXPECT_EQ(testArchiveCommand(archiveOf(entries), std::nullopt), 2);
  EXPECT_NE(console_.find("short.bmp: broken LZSS stream"), std::string::npos) << console_;
  EXPECT_NE(console_.find("cut.bmp: broken SPB stream"), std::string::npos) << console_;
  EXPECT_NE(console_.find("readme.txt: an earlier entry has the same name"), std::string::npos);
  EXPECT_NE(console_.find("7 entries tested: 3 problems\n"), std::string::npos) << console_;
}

TEST_F(ReaderTestCommandTest, MatchesItsSourceFolderEvenWhenTheArchiveLiesInIt) {
  EXPECT_EQ(testAgainstSource(archiveOf(entries_)), 0) << console_;
  EXPECT_NE(console_.find("4 entries tested against "), std::string::npos);
  fs::copy_file(dir_ / "a.kup", source() / "arc.kup");
  EXPECT_EQ(testAgainstSource((source() / "arc.kup").string()), 0) << console_;
}

TEST_F(ReaderTestCommandTest, AnyChangedSourceFileFails) {
  const std::string archive = archiveOf(entries_);
  struct Change {
    fs::path file;
    std::string content;
    std::string expected;
  };
  std::string otherPicture = BMP_2X1;
  otherPicture[54 + 2] = 0x1F;  // one red value
  const std::vector<Change> changes = {
      {source() / "ReadMe.txt", "hellO\n", "readme.txt: differs from the file in the folder"},
      {source() / "ReadMe.txt", "hello", "readme.txt: the file in the folder has 5 bytes"},
      {source() / "pic" / "pal.bmp", "aaab", "pic\\pal.bmp: differs from the file in the folder"},
      {source() / "Pic" / "True.BMP", otherPicture, "pic\\true.bmp: the picture differs"},
      {source() / "sub" / "deep" / "empty.dat", "x", "sub\\deep\\empty.dat: the file in the"},
  };
  for (const auto& change : changes) {
    const std::string original = test::readFile(change.file);
    test::writeFile(change.file, change.content);
    EXPECT_EQ(testAgainstSource(archive), 1) << change.expected;
    EXPECT_NE(console_.find(change.expected), std::string::npos) << console_;
    EXPECT_NE(console_.find("4 entries tested against "), std::string::npos);
    EXPECT_NE(console_.find(": 1 problem\n"), std::string::npos) << console_;
    test::writeFile(change.file, original);
  }
  EXPECT_EQ(testAgainstSource(archive), 0) << console_;
}

TEST_F(ReaderTestCommandTest, FilesMissingOnEitherSideAreReported) {
  const std::string archive = archiveOf(entries_);
  test::writeFile(source() / "extra" / "New.txt", std::string("n"));
  fs::remove(source() / "pic" / "pal.bmp");
  EXPECT_EQ(testAgainstSource(archive), 1);
  EXPECT_NE(console_.find("extra\\new.txt: missing from the archive\n"), std::string::npos)
      << console_;
  EXPECT_NE(console_.find("pic\\pal.bmp: missing from the folder\n"), std::string::npos);
  EXPECT_NE(console_.find(": 2 problems\n"), std::string::npos);
  EXPECT_EQ(testArchiveCommand(archive, (dir_ / "nowhere").string()), 2);
  EXPECT_NE(console_.find("nowhere: cannot read the folder"), std::string::npos) << console_;
}

}  // namespace
}  // namespace kupack
