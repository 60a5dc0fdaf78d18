// Names that Windows takes otherwise than other systems, a dropped archive, and paths beyond
// Windows' usual limit, through the whole program on every platform: extraction refuses
// reserved names where the system reserves them and makes them as files elsewhere.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "archive/entry_path.h"
#include "platform/platform.h"
#include "tests/archive_builder.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;
using test::contains;
using test::runKupack;
using test::storedEntry;

TEST(WindowsReservedNameTest, DevicesTrailingDotsSpacesStreamsAndForbiddenCharacters) {
  struct Case {
    const char* level;
    bool reserved;
  };
  // 0x83 0x3A, 0x83 0x7C (ポ) and 0x83 0x5C (ソ) are one character each: no ':', '|' or '\\'
  // of their own.
  // clang-format off
  const Case cases[] = {
      {"CON", true},        {"con", true},        {"Nul.txt", true},    {"AUX.tar.gz", true},
      {"PRN", true},        {"COM1", true},       {"com9.bmp", true},   {"LPT1", true},
      {"lpt9.dat", true},   {"CON .txt", true},   {"CONIN$", true},     {"conout$.x", true},
      {"a.", true},         {"a ", true},         {"a:b", true},        {"x:", true},
      {"CONSOLE", false},   {"COM", false},       {"COM10", false},     {"LPT", false},
      {"xCON", false},      {"con_x.txt", false}, {".CON", false},      {"a.b", false},
      {" a", false},        {"plain.txt", false}, {"", false},          {"com0", true},
      {"a<b", true},        {"a>b", true},        {"q?.txt", true},     {"*", true},
      {"say\"hi\"", true},  {"pipe|x", true},     {"tab\tname", true},  {"\x83\x3A", false},
      {"\x83\x7c.txt", false}, {"\x83\x5c", false},
  };
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(isWindowsReservedName(c.level), c.reserved) << '"' << c.level << '"';
  }
}

class ExtractionNamesTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
};

TEST_F(ExtractionNamesTest, ReservedNamesAreRefusedByNameWhereWindowsReservesThem) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  // Archive names are recorded in lower case.
  const char* const names[] = {"con",    "sub\\nul.txt", "com1.bmp", "dot.",
                               "space ", "a|b.txt",      "ok.txt"};
  std::vector<test::BuiltEntry> entries;
  for (const char* name : names) entries.push_back(storedEntry(name, "x"));
  test::writeFile(dir_ / "hostile.kup", test::buildArchiveBytes(entries));

  const auto run = runKupack({"-x", "hostile.kup", "-C", "out"}, dir_.path());
  EXPECT_EQ(test::readFile(dir_ / "out" / "ok.txt"), "x");
  if (!platform::reservesDeviceNames()) {
    // Ordinary names here: each becomes the file it names.
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(test::readFile(dir_ / "out" / "sub" / "nul.txt"), "x");
    EXPECT_EQ(test::readFile(dir_ / "out" / "dot."), "x");
    EXPECT_EQ(test::readFile(dir_ / "out" / "a|b.txt"), "x");
    return;
  }
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(contains(run.out, "1 extracted, 6 refused, 0 failed")) << run.out;
  for (const char* line :
       {"refused con: \"con\" is a name reserved by Windows (a device)",
        "refused sub\\nul.txt: \"nul.txt\" is a name reserved by Windows (a device)",
        "refused com1.bmp: \"com1.bmp\" is a name reserved by Windows (a device)",
        "refused dot.: \"dot.\" is reserved by Windows: it ends in a dot or a space",
        "refused space : \"space \" is reserved by Windows: it ends in a dot or a space",
        "refused a|b.txt: \"a|b.txt\" holds '|', which Windows allows in no name"}) {
    EXPECT_TRUE(contains(run.err, line)) << line << "\n" << run.err;
  }
  EXPECT_FALSE(contains(run.err, "Invalid argument")) << run.err;
  EXPECT_FALSE(fs::exists(dir_ / "out" / "sub")) << "no folder for a refused entry";
}

TEST_F(ExtractionNamesTest, ADroppedArchiveGoesIntoANewFolderBesideIt) {
  test::writeFile(dir_ / "tree" / "a.txt", "a");
  test::writeFile(dir_ / "tree" / "sub" / "b.txt", "b");
  ASSERT_EQ(runKupack({"tree", "Mod.KUP"}, dir_.path()).exitCode, 0);
  test::writeFile(dir_ / "Mod" / "a.txt", "the user's own");

  // "Mod" exists: "Mod (2)", then "Mod (3)"; nothing of the user's is touched.
  const auto first = runKupack({"Mod.KUP"}, dir_.path());
  EXPECT_EQ(first.exitCode, 0) << first.err;
  EXPECT_EQ(test::readFile(dir_ / "Mod (2)" / "a.txt"), "a");
  EXPECT_EQ(test::readFile(dir_ / "Mod (2)" / "sub" / "b.txt"), "b");
  EXPECT_EQ(test::readFile(dir_ / "Mod" / "a.txt"), "the user's own");
  const auto second = runKupack({test::nativeOf(dir_ / "Mod.KUP")}, dir_ / "tree");
  EXPECT_EQ(second.exitCode, 0) << second.err;
  EXPECT_EQ(test::readFile(dir_ / "Mod (3)" / "a.txt"), "a");

  // What is no archive makes no folder; a folder named like an archive is still packed.
  test::writeFile(dir_ / "junk.kup", "no archive");
  const auto junk = runKupack({"junk.kup"}, dir_.path());
  EXPECT_EQ(junk.exitCode, 1);
  EXPECT_TRUE(contains(junk.err, "junk.kup")) << junk.err;
  EXPECT_FALSE(fs::exists(dir_ / "junk"));
  test::writeFile(dir_ / "folder.kup" / "c.txt", "c");
  EXPECT_EQ(runKupack({"folder.kup"}, dir_.path()).exitCode, 0);
  EXPECT_TRUE(fs::is_regular_file(dir_ / "folder.kup.kup"));
}

TEST_F(ExtractionNamesTest, PathsLongerThan260CharactersPackAndExtract) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  // A folder of 100 characters, and below it an entry name of 236 (names stop at 255
  // bytes): the file's path is over 300 characters long.
  const std::string root = "tree" + std::string(96, 'r');
  const std::string level(75, 'l');
  const std::string relative = level + "/" + level + "/" + level + "/deep.txt";
  test::writeFile(dir_ / root / relative, "deep");
  ASSERT_GT(test::nativeOf(dir_ / root / relative).size(), 300u);
  const auto packed = runKupack({root, "long.kup"}, dir_.path());
  ASSERT_EQ(packed.exitCode, 0) << packed.err;
  const auto extracted = runKupack({"-x", "long.kup", "-C", "out"}, dir_.path());
  EXPECT_EQ(extracted.exitCode, 0) << extracted.err;
  EXPECT_EQ(test::readFile(dir_ / "out" / relative), "deep");
  const auto tested = runKupack({"-t", "long.kup", "out"}, dir_.path());
  EXPECT_EQ(tested.exitCode, 0) << tested.out << tested.err;
}

}  // namespace
}  // namespace kupack
