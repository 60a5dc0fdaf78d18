// Updating an archive in place of a repack (-u, --delete, -n): whole runs on temporary trees,
// each compared byte for byte with a full pack of the merged tree.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "app/update_command.h"
#include "platform/platform.h"
#include "tests/archive_builder.h"
#include "tests/bmp_builder.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;
using test::contains;

using test::runKupack;
using test::said;

std::string bytesOf(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// A 24-bit picture (SPB) and an 8-bit palette bitmap (LZSS) of `seed`.
std::string truePicture(unsigned seed) {
  return bytesOf(test::makeBmp(test::randomPicture(40, 30, seed, 20)));
}
std::string palettePicture(unsigned seed) {
  test::BmpLayout layout;
  layout.bitCount = 8;
  layout.colorsUsed = 256;
  return bytesOf(test::makeBmp(test::randomPicture(40, 30, seed, 3), layout));
}

struct Tree {
  std::vector<std::pair<std::string, std::string>> files;  // relative path ('/'), bytes
};

void writeTree(const fs::path& root, const Tree& tree) {
  fs::create_directories(root);
  for (const auto& [name, bytes] : tree.files) test::writeFile(root / name, bytes);
}

class ArchiveUpdateTest : public ::testing::Test {
 protected:
  // The base tree: pictures of both codings, files at the top and in folders "pics" and "zz".
  static Tree base() {
    return {{{"a.bmp", palettePicture(1)},
             {"b.txt", "bee"},
             {"pics/t.bmp", truePicture(2)},
             {"pics/x.txt", "x-old"},
             {"zz/y.txt", "y"},
             {"zz/z.bmp", palettePicture(3)}}};
  }

  void packBase() {
    writeTree(dir_ / "base", base());
    const auto run = runKupack({"-q", "base", "game.kup"}, dir_.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
  }

  // The full pack of `merged` (written as a tree), for comparison.
  std::string fullPack(const Tree& merged, const std::string& name) {
    writeTree(dir_ / name, merged);
    const auto run = runKupack({"-q", name, name + ".kup"}, dir_.path());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return test::readFile(dir_ / (name + ".kup"));
  }

  // No part file or other leftover beside the archives.
  void expectNoPartFiles() {
    for (const auto& entry : fs::directory_iterator(dir_.path()))
      EXPECT_FALSE(entry.path().filename().string().ends_with(".part")) << entry.path();
  }

  test::TempDir dir_;
};

// Every case: the patch tree, the names deleted, and the merged tree a full pack is made of.
TEST_F(ArchiveUpdateTest, UpdateEqualsAFullPackOfTheMergedTree) {
  struct Case {
    const char* what;
    Tree patch;
    std::vector<std::string> deleted;
    std::vector<std::string> mergedWithout;
  };
  const std::vector<Case> cases = {
      {"replace",
       {{{"pics/x.txt", "x-new, longer"},
         {"a.bmp", palettePicture(9)},
         {"pics/t.bmp", truePicture(8)}}},
       {},
       {}},
      // "q" sorts between "pics" and "zz"; "c.txt" between the top files and the folders.
      {"add",
       {{{"q/new.txt", "new"},
         {"q/deeper/n.bmp", truePicture(5)},
         {"c.txt", "c"},
         {"0first.txt", "0"}}},
       {},
       {}},
      {"delete", {}, {"zz/y.txt", "A.BMP"}, {"zz/y.txt", "a.bmp"}},
      {"delete a whole folder", {}, {"zz\\y.txt", "zz/Z.bmp"}, {"zz/y.txt", "zz/z.bmp"}},
      {"all at once",
       {{{"pics/x.txt", "x3"}, {"q/new.txt", "new"}, {"zz/aa.txt", "aa"}}},
       {"b.txt"},
       {"b.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir_ / "base");
    packBase();
    const std::string before = test::readFile(dir_ / "game.kup");
    UpdateArguments arguments;
    arguments.archive = (dir_ / "game.kup").string();
    if (!c.patch.files.empty()) {
      fs::remove_all(dir_ / "patch");
      writeTree(dir_ / "patch", c.patch);
      arguments.folder = (dir_ / "patch").string();
    }
    arguments.deleteNames = c.deleted;
    arguments.jobs = 2;
    ASSERT_EQ(updateArchiveCommand(arguments), 0);

    Tree merged = base();
    for (const auto& file : c.patch.files) {
      std::erase_if(merged.files, [&](const auto& old) { return old.first == file.first; });
      merged.files.push_back(file);
    }
    for (const auto& gone : c.mergedWithout)
      std::erase_if(merged.files, [&](const auto& old) { return old.first == gone; });
    fs::remove_all(dir_ / "merged");
    EXPECT_EQ(test::readFile(dir_ / "game.kup"), fullPack(merged, "merged"));
    EXPECT_NE(test::readFile(dir_ / "game.kup"), before);
    expectNoPartFiles();
  }
}

TEST_F(ArchiveUpdateTest, CommandLineUpdatesAndDeletesAndNamesWhatMatchesNothing) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  packBase();
  writeTree(dir_ / "patch", {{{"pics/x.txt", "x-new"}, {"q/new.txt", "new"}}});
  auto run = runKupack({"-u", "game.kup", "patch"}, dir_.path(), "", test::JAPANESE);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  // New files show the packing lines; kept entries one summary line.
  EXPECT_TRUE(contains(run.out, said("ファイルpics\\x.txt圧縮中(1/2)\n")));
  EXPECT_TRUE(contains(run.out, said("ファイルq\\new.txt圧縮中(2/2)\n")));
  EXPECT_TRUE(contains(run.out, said("そのままコピーするファイル：5個")));
  EXPECT_TRUE(contains(run.out, said("終了しました。\n")));

  const std::string updated = test::readFile(dir_ / "game.kup");
  run = runKupack({"--delete", "game.kup", "q/new.txt", "no/such/*"}, dir_.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(contains(run.err, "no/such/*")) << run.err;
  EXPECT_FALSE(contains(run.err, "q/new.txt"));
  EXPECT_EQ(test::readFile(dir_ / "game.kup"), updated);

  run = runKupack({"--delete", "game.kup", "q/new.txt"}, dir_.path(), "", test::JAPANESE);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(contains(run.out, said("ファイルq\\new.txtを削除します。\n")));
  const auto listed = runKupack({"-l", "--json", "game.kup"}, dir_.path());
  EXPECT_FALSE(contains(listed.out, "new.txt"));
  EXPECT_EQ(nlohmann::json::parse(listed.out).size(), 6u) << listed.out;
  expectNoPartFiles();

  // A new file named like a kept folder could never be extracted beside it.
  writeTree(dir_ / "clash", {{{"pics", "a file"}}});
  run = runKupack({"-u", "game.kup", "clash"}, dir_.path(), "", test::JAPANESE);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(contains(run.err, said("ファイルpicsとフォルダpicsは同じ名前として記録されます")))
      << run.err;
  EXPECT_EQ(runKupack({"-l", "--json", "game.kup"}, dir_.path()).out, listed.out);

  // The archive lying inside the folder is left out, as packing leaves it out.
  fs::copy_file(dir_ / "game.kup", dir_ / "base" / "inner.kup");
  run = runKupack({"-u", "base/inner.kup", "base"}, dir_.path());
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_FALSE(contains(runKupack({"-l", "base/inner.kup"}, dir_.path()).out, "inner.kup"));

  for (const std::vector<std::string>& wrong : {std::vector<std::string>{"-u", "game.kup"},
                                                {"--delete", "game.kup"},
                                                {"-n", "base", "x.kup"},
                                                {"-u", "-l", "game.kup", "patch"}}) {
    EXPECT_EQ(runKupack(wrong, dir_.path()).exitCode, 2) << wrong[0];
  }
}

TEST_F(ArchiveUpdateTest, KeptEntriesAreCopiedAsTheyAreEvenWhenTheyDoNotDecode) {
  // An LZSS entry whose bytes are no LZSS stream: kept, it is copied, never decoded.
  const std::string junk("\xff\xfe\xfd junk that decodes to nothing", 33);
  const std::string old = test::buildArchiveBytes(
      {{"broken.bmp", 2, junk, 5000}, test::storedEntry("keep.txt", "keep")});
  test::writeFile(dir_ / "game.kup", old);
  writeTree(dir_ / "patch", {{{"keep.txt", "kept no more"}, {"new.txt", "n"}}});
  const auto run = runKupack({"-q", "-u", "game.kup", "patch"}, dir_.path());
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::string updated = test::readFile(dir_ / "game.kup");
  EXPECT_EQ(updated, test::buildArchiveBytes({{"broken.bmp", 2, junk, 5000},
                                              test::storedEntry("keep.txt", "kept no more"),
                                              test::storedEntry("new.txt", "n")}));
  EXPECT_NE(runKupack({"-t", "game.kup"}, dir_.path()).exitCode, 0);
}

TEST_F(ArchiveUpdateTest, AnOrderOfAnotherToolIsKeptAndNewEntriesGoWhereAWalkPutsThem) {
  test::writeFile(dir_ / "game.kup", test::buildArchiveBytes({test::storedEntry("m.txt", "m"),
                                                              test::storedEntry("b.txt", "b"),
                                                              test::storedEntry("x.txt", "x")}));
  writeTree(dir_ / "patch", {{{"c.txt", "c"}, {"a.txt", "a"}, {"b.txt", "B"}}});
  ASSERT_EQ(runKupack({"-q", "-u", "game.kup", "patch"}, dir_.path()).exitCode, 0);
  EXPECT_EQ(
      test::readFile(dir_ / "game.kup"),
      test::buildArchiveBytes({test::storedEntry("a.txt", "a"), test::storedEntry("c.txt", "c"),
                               test::storedEntry("m.txt", "m"), test::storedEntry("b.txt", "B"),
                               test::storedEntry("x.txt", "x")}));
}

TEST_F(ArchiveUpdateTest, DryRunListsTheChangesAndWritesNothing) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  packBase();
  writeTree(dir_ / "patch", {{{"pics/x.txt", "x-new"}, {"q/new.txt", "new"}}});
  const std::string before = test::readFile(dir_ / "game.kup");
  const auto entriesBefore = std::distance(fs::directory_iterator(dir_.path()), {});
  auto run = runKupack({"-n", "-u", "game.kup", "patch"}, dir_.path());
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(contains(run.out, "replaced")) << run.out;
  EXPECT_TRUE(contains(run.out, "pics\\x.txt"));
  EXPECT_TRUE(contains(run.out, "1 added, 1 replaced, 0 deleted, 5 kept")) << run.out;

  run = runKupack({"--dry-run", "--json", "--delete", "game.kup", "zz/y.txt", "zz/z.bmp"},
                  dir_.path());
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const auto list = nlohmann::json::parse(run.out);
  ASSERT_EQ(list.size(), 6u);
  std::size_t deleted = 0;
  for (const auto& item : list) deleted += item["action"] == "deleted" ? 1 : 0;
  EXPECT_EQ(deleted, 2u);
  EXPECT_EQ(list[5]["name"], "zz\\z.bmp");
  EXPECT_EQ(list[5]["type"], "lzss");

  EXPECT_EQ(test::readFile(dir_ / "game.kup"), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), {}), entriesBefore);
}

}  // namespace
}  // namespace kupack
