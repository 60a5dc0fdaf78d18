// Whole runs for choosing entries and comparing archives: tar's form of -x with -C and its
// refusal of a target folder given as a name, --exclude against packing a pruned copy,
// -l --long's CRC-32 against known values, and --diff on archives that differ in each way.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/archive_builder.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;
using test::contains;
using test::runKupack;

class SelectionCliTest : public ::testing::Test {
 protected:
  SelectionCliTest() {
    test::writeFile(dir_ / "tree" / "gfx" / "tux" / "ice.bmp", std::string("ice"));
    test::writeFile(dir_ / "tree" / "gfx" / "tux" / "notes.txt", std::string("n"));
    test::writeFile(dir_ / "tree" / "gfx" / "ui" / "button.bmp", std::string("b"));
    test::writeFile(dir_ / "tree" / "readme.txt", std::string("r"));
    EXPECT_EQ(runKupack({"-q", "tree", "a.kup"}, dir_.path()).exitCode, 0);
  }

  // The files below `folder`, as relative generic paths.
  std::vector<std::string> filesBelow(const fs::path& folder) {
    std::vector<std::string> files;
    if (!fs::exists(folder)) return files;
    for (const auto& item : fs::recursive_directory_iterator(folder))
      if (item.is_regular_file())
        files.push_back(fs::relative(item.path(), folder).generic_string());
    std::sort(files.begin(), files.end());
    return files;
  }

  test::TempDir dir_;
};

TEST_F(SelectionCliTest, ExtractTakesNamesAfterTheArchiveAndItsFolderFromC) {
  fs::create_directories(dir_ / "here");
  const auto one = runKupack({"-x", "../a.kup", "gfx/tux/ice.bmp"}, dir_ / "here");
  EXPECT_EQ(one.exitCode, 0) << one.err;
  EXPECT_EQ(filesBelow(dir_ / "here"), std::vector<std::string>{"gfx/tux/ice.bmp"});

  const auto patterned = runKupack({"-x", "a.kup", "-C", "out", "gfx/**/*.bmp"}, dir_.path());
  EXPECT_EQ(patterned.exitCode, 0) << patterned.err;
  EXPECT_EQ(filesBelow(dir_ / "out"),
            (std::vector<std::string>{"gfx/tux/ice.bmp", "gfx/ui/button.bmp"}));
  const auto directory = runKupack({"-x", "--directory=d", "a.kup", "gfx/ui"}, dir_.path());
  EXPECT_EQ(directory.exitCode, 0) << directory.err;
  EXPECT_EQ(filesBelow(dir_ / "d"), std::vector<std::string>{"gfx/ui/button.bmp"});
}

TEST_F(SelectionCliTest, ATargetFolderGivenAsANameIsRefusedWithAHint) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  fs::create_directories(dir_ / "out");
  for (const std::string target : {"out", "new"}) {
    const auto run = runKupack({"-x", "a.kup", target}, dir_.path());
    EXPECT_EQ(run.exitCode, 1) << target;
    EXPECT_TRUE(contains(
        run.err, "no entry " + target + " (to extract into a folder, use -C " + target + ")"))
        << run.err;
  }
  // A name that exists as a file is no folder meant: no hint; a pattern selecting nothing is
  // named; nothing at all is extracted whatever else was named.
  const auto mixed = runKupack({"-x", "a.kup", "readme.txt", "a.kup", "*.none"}, dir_.path());
  EXPECT_EQ(mixed.exitCode, 1);
  EXPECT_TRUE(contains(mixed.err, "no entry a.kup\n")) << mixed.err;
  EXPECT_TRUE(contains(mixed.err, "no entry *.none")) << mixed.err;
  EXPECT_FALSE(fs::exists(dir_ / "new"));
  EXPECT_FALSE(fs::exists(dir_ / "readme.txt"));
  EXPECT_TRUE(filesBelow(dir_ / "out").empty());
  // -p and -l take the same patterns, and refuse the same way.
  const auto printed = runKupack({"-p", "a.kup", "*.txt", "gfx/ui"}, dir_.path());
  EXPECT_EQ(printed.exitCode, 0);
  EXPECT_EQ(printed.out, "rb");
  EXPECT_EQ(runKupack({"-p", "a.kup", "*.none"}, dir_.path()).out, "");
  const auto listed = runKupack({"-l", "a.kup", "gfx/*/*.txt"}, dir_.path());
  EXPECT_TRUE(contains(listed.out, "gfx\\tux\\notes.txt")) << listed.out;
  EXPECT_TRUE(contains(listed.out, " 1 entry\n")) << listed.out;
  EXPECT_EQ(runKupack({"-l", "a.kup", "gfx/none"}, dir_.path()).exitCode, 1);
}

TEST_F(SelectionCliTest, ExcludingIsPackingAPrunedCopy) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  test::writeFile(dir_ / "tree" / "Thumbs.db", std::string("t"));
  test::writeFile(dir_ / "tree" / "gfx" / "x.DB", std::string("t"));
  test::writeFile(dir_ / "tree" / ".git" / "HEAD", std::string("h"));
  test::writeFile(dir_ / "tree" / "gfx" / "ice.bmp~", std::string("~"));
  test::writeFile(dir_ / "list", std::string("*~\r\n\n.git\n"));
  const auto run =
      runKupack({"-q", "--exclude=*.db", "--exclude-from", "list", "tree", "ex.kup"}, dir_.path());
  ASSERT_EQ(run.exitCode, 0) << run.err;
  // -t against the folder leaves out what packing left out, and only then finds it equal.
  EXPECT_EQ(
      runKupack({"-t", "--exclude=*.db", "--exclude-from=list", "ex.kup", "tree"}, dir_.path())
          .exitCode,
      0);
  EXPECT_EQ(runKupack({"-t", "ex.kup", "tree"}, dir_.path()).exitCode, 1);
  for (const char* gone : {"Thumbs.db", "gfx/x.DB", ".git", "gfx/ice.bmp~"})
    fs::remove_all(dir_ / "tree" / gone);
  ASSERT_EQ(runKupack({"-q", "tree", "pruned.kup"}, dir_.path()).exitCode, 0);
  EXPECT_EQ(test::readFile(dir_ / "ex.kup"), test::readFile(dir_ / "pruned.kup"));
  EXPECT_EQ(test::readFile(dir_ / "ex.kup"), test::readFile(dir_ / "a.kup"));

  const auto missing = runKupack({"--exclude-from=nowhere", "tree", "b.kup"}, dir_.path());
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_TRUE(contains(missing.err, "cannot read nowhere")) << missing.err;
  EXPECT_EQ(runKupack({"-l", "--exclude=x", "a.kup"}, dir_.path()).exitCode, 2);
}

TEST_F(SelectionCliTest, LongListingGivesTheCrcOfWhatExtractionWrites) {
  // CRC-32 values from an independent computation (Python's zlib.crc32).
  test::writeFile(dir_ / "c.kup", test::buildArchiveBytes({{"aaaa.bin", 2, test::LZSS_AAAA, 4},
                                                           {"pic.bmp", 1, test::SPB_2X1, 62},
                                                           test::storedEntry("empty", "")}));
  const auto run = runKupack({"-l", "--long", "--json", "c.kup"}, dir_.path());
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const auto list = nlohmann::json::parse(run.out);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0]["crc32"], 2912478533u);
  EXPECT_EQ(list[1]["crc32"], 31067984u);
  EXPECT_EQ(list[2]["crc32"], 0u);
  const auto table = runKupack({"-l", "--long", "c.kup", "aaaa.bin"}, dir_.path());
  EXPECT_TRUE(contains(table.out, "  ad98e545  aaaa.bin\n")) << table.out;
  const auto plain = runKupack({"-l", "--json", "c.kup"}, dir_.path());
  EXPECT_FALSE(contains(plain.out, "crc32"));
}

TEST_F(SelectionCliTest, DiffNamesEachKindOfChange) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  const auto write = [&](const char* name, const std::vector<test::BuiltEntry>& entries) {
    test::writeFile(dir_ / name, test::buildArchiveBytes(entries));
  };
  const test::BuiltEntry keep = test::storedEntry("keep.txt", "same");
  write("old.kup", {keep, test::storedEntry("gone.txt", "g"), test::storedEntry("edit.txt", "abc"),
                    test::storedEntry("a.bin", "aaaa")});
  const struct {
    const char* archive;
    std::vector<test::BuiltEntry> entries;
    int exitCode;
    const char* line;
  } cases[] = {
      {"same.kup",
       {keep,
        test::storedEntry("gone.txt", "g"),
        test::storedEntry("edit.txt", "abc"),
        {"a.bin", 2, test::LZSS_AAAA, 4}},
       1,
       "recoded  a.bin (stored -> lzss, the same bytes)\n"},
      {"added.kup",
       {keep, test::storedEntry("gone.txt", "g"), test::storedEntry("edit.txt", "abc"),
        test::storedEntry("a.bin", "aaaa"), test::storedEntry("new.txt", "n")},
       1,
       "added    new.txt\n"},
      {"removed.kup",
       {keep, test::storedEntry("edit.txt", "abc"), test::storedEntry("a.bin", "aaaa")},
       1,
       "removed  gone.txt\n"},
      {"changed.kup",
       {keep, test::storedEntry("gone.txt", "g"), test::storedEntry("edit.txt", "abd"),
        test::storedEntry("a.bin", "aaaa")},
       1,
       "changed  edit.txt\n"},
      {"broken.kup",
       {keep,
        test::storedEntry("gone.txt", "g"),
        test::storedEntry("edit.txt", "abc"),
        {"a.bin", 2, test::LZSS_AAAA, 10}},
       2,
       nullptr},  // a broken entry is trouble
  };
  for (const auto& c : cases) {
    write(c.archive, c.entries);
    const auto run = runKupack({"--diff", "old.kup", c.archive}, dir_.path());
    EXPECT_EQ(run.exitCode, c.exitCode) << c.archive << run.err;
    if (c.line) {
      EXPECT_EQ(run.out, c.line) << c.archive;
    }
  }
  EXPECT_EQ(runKupack({"--diff", "old.kup", "old.kup"}, dir_.path()).exitCode, 0);
  EXPECT_EQ(runKupack({"--diff", "old.kup", "none.kup"}, dir_.path()).exitCode, 2);
  const auto json = runKupack({"--diff", "--json", "old.kup", "same.kup"}, dir_.path());
  EXPECT_EQ(nlohmann::json::parse(json.out),
            nlohmann::json::parse(R"({"added": [], "removed": [], "changed": [],
              "recoded": [{"name": "a.bin", "old_type": "stored", "new_type": "lzss"}]})"));
}

}  // namespace
}  // namespace kupack
