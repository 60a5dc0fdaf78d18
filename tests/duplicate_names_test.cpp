// Archives with two entries of one name (the writer never makes one, but archives come from
// anywhere): every reader takes the first entry of the name and names the later ones.
#include <gtest/gtest.h>
#include <kupack/archive.h>

#include <algorithm>

#include "tests/archive_builder.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;
using test::contains;
using test::runKupack;

class DuplicateNamesTest : public ::testing::Test {
 protected:
  DuplicateNamesTest() {
    test::writeFile(dir_ / "dup.kup",
                    test::buildArchiveBytes({test::storedEntry("dup.txt", "first"),
                                             test::storedEntry("other.txt", "other"),
                                             test::storedEntry("dup.txt", "second")}));
  }
  test::TempDir dir_;
};

TEST_F(DuplicateNamesTest, EveryReaderTakesTheFirstEntryAndNamesTheLaterOne) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  struct Case {
    std::vector<std::string> args;
    std::string out;  // the bytes -p writes; empty for the other commands
  };
  const std::vector<Case> cases = {
      {{"-x", "dup.kup", "-C", "all"}, ""},
      {{"-x", "-f", "dup.kup", "-C", "all"}, ""},
      {{"-x", "-f", "dup.kup", "-C", "named", "DUP.TXT"}, ""},
      {{"-p", "dup.kup", "dup.txt"}, "first"},
      {{"-p", "dup.kup", "dup.txt", "other.txt"}, "firstother"},
      {{"-t", "dup.kup"}, ""},
  };
  for (const Case& run : cases) {
    SCOPED_TRACE(testing::PrintToString(run.args));
    // Extracting twice with -f: the later entry must not replace the first one either time.
    for (int repeat = 0; repeat < (run.args[1] == "-f" ? 2 : 1); ++repeat) {
      const auto result = runKupack(run.args, dir_.path());
      // -t tells a broken archive (2) from one that differs from its folder (1).
      EXPECT_EQ(result.exitCode, run.args[0] == "-t" ? 2 : 1) << result.out << result.err;
      EXPECT_TRUE(contains(result.err, "dup.txt: an earlier entry has the same name"))
          << result.err;
      if (run.args[0] == "-p") {
        EXPECT_EQ(result.out, run.out);
      }
    }
    if (run.args[0] == "-x") {
      const auto at = std::find(run.args.begin(), run.args.end(), "-C");
      const fs::path folder = dir_ / *(at + 1);
      EXPECT_EQ(test::readFile(folder / "dup.txt"), "first");
      fs::remove_all(folder);
    }
  }
  const auto listed = runKupack({"-l", "dup.kup"}, dir_.path());
  EXPECT_EQ(listed.exitCode, 0);
  EXPECT_TRUE(contains(listed.err, "dup.txt: an earlier entry has the same name")) << listed.err;

  Archive archive((dir_ / "dup.kup").string());
  ASSERT_EQ(archive.entries().size(), 3U);
  EXPECT_FALSE(archive.entries()[0].duplicate);
  EXPECT_TRUE(archive.entries()[2].duplicate);
  const auto first = archive.decode(archive.entries()[0]);
  EXPECT_EQ(std::string(first.begin(), first.end()), "first");
  EXPECT_THROW(archive.decode(archive.entries()[2]), Error);
}

}  // namespace
}  // namespace kupack
