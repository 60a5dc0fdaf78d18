// Choosing entries by name, folder and pattern, and the exclude rules of packing, against a
// small archive whose names hold two-byte characters (one with 0x5C as its second byte, one
// whose second byte is a letter).
#include "archive/entry_selection.h"

#include <gtest/gtest.h>

#include "app/status_text.h"
#include "archive/archive_reader.h"
#include "archive/entry_comparison.h"
#include "platform/platform.h"
#include "tests/archive_builder.h"
#include "tests/fault_file_system.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

using test::sjis;

class EntrySelectionTest : public ::testing::Test {
 protected:
  EntrySelectionTest() {
    std::vector<test::BuiltEntry> entries;
    for (const std::string& name : names_) entries.push_back(test::storedEntry(name, "x"));
    const auto path = dir_ / "a.kup";
    test::writeFile(path, test::buildArchiveBytes(entries));
    EXPECT_TRUE(reader_.open(path.string()));
  }

  // The recorded names `argument` selects, or "?" when it selects nothing.
  std::vector<std::string> select(const std::string& argument) {
    std::vector<std::string> unknown;
    const auto chosen = selectEntries(reader_, {argument}, unknown);
    if (!unknown.empty()) return {"?"};
    std::vector<std::string> names;
    for (const ArchiveEntry* entry : chosen) names.push_back(entry->name);
    return names;
  }

  // "表" is 0x95 0x5C; "ア" is 0x83 0x41, recorded as 0x83 0x61 (letters folded byte by byte).
  const std::string hyo_ = sjis("表");
  const std::string a_ = std::string("\x83\x61", 2);
  const std::vector<std::string> names_ = {"gfx\\tux\\terrains\\ice.bmp",
                                           "gfx\\tux\\terrains\\snow.bmp",
                                           "gfx\\tux\\notes.txt",
                                           "gfx\\ui\\button.bmp",
                                           "readme.txt",
                                           "a[1].bmp",
                                           "a1.bmp",
                                           hyo_ + ".bmp",
                                           a_ + ".txt",
                                           hyo_ + "\\in.bmp",
                                           std::string("\x81\x20.bin", 6)};
  test::TempDir dir_;
  ArchiveReader reader_;
};

TEST_F(EntrySelectionTest, NamesFoldersAndPatternsSelect) {
  const std::string ice = names_[0], snow = names_[1], notes = names_[2], button = names_[3];
  const std::string hyoBmp = names_[7], aTxt = names_[8], hyoIn = names_[9];
  const auto native = [](const std::string& cp932) {
    return platform::cp932ToNativeName(cp932).value_or("");
  };
  const struct {
    std::string argument;
    std::vector<std::string> expected;
  } cases[] = {
      {"gfx/tux/terrains/ice.bmp", {ice}},
      {"GFX\\Tux\\TERRAINS\\Ice.BMP", {ice}},
      {"gfx/tux", {ice, snow, notes}},
      {"./gfx//tux/", {ice, snow, notes}},
      {"gfx/tu", {"?"}},
      {"gfx/*/*.bmp", {button}},
      {"gfx/**/*.bmp", {ice, snow, button}},
      {"**/*.txt", {notes, "readme.txt", aTxt}},
      {"*.txt", {"readme.txt", aTxt}},
      {"gfx/*", {ice, snow, notes, button}},
      {"g?x/u?", {button}},
      {"a[1].bmp", {"a[1].bmp"}},  // a name that exists is taken as it is written
      {"a[0-9].bmp", {"a1.bmp"}},
      {"a[!0-9].bmp", {"?"}},
      {"?.bmp", {hyoBmp}},      // one two-byte character is one character
      {"*/in.bmp", {hyoIn}},    // its 0x5C second byte is no separator
      {native(hyo_), {hyoIn}},  // the folder of that name
      {"*a.txt", {"?"}},        // a letter as a second byte is no letter
      {native(sjis("ア.txt")), {aTxt}},
      {"[", {"?"}},
      {"**/ice.bmp", {ice}},
      {"nothing/**", {"?"}},
  };
  for (const auto& c : cases) EXPECT_EQ(select(c.argument), c.expected) << c.argument;
  EXPECT_EQ(select("**").size(), names_.size());
  // Bytes that are text in no form select the entry recorded with those bytes.
  EXPECT_EQ(select(names_[10]), (std::vector{names_[10]}));
}

TEST_F(EntrySelectionTest, EachEntryOnceInTheOrderNamed) {
  std::vector<std::string> unknown;
  const auto chosen = selectEntries(reader_, {"readme.txt", "*.txt", "none", "*.none"}, unknown);
  ASSERT_EQ(chosen.size(), 2u);
  EXPECT_EQ(chosen[0]->name, "readme.txt");
  EXPECT_EQ(chosen[1]->name, a_ + ".txt");
  EXPECT_EQ(unknown, (std::vector<std::string>{"none", "*.none"}));
}

TEST(ExcludeRulesTest, OneLevelAnywhereMoreLevelsFromTheTop) {
  const struct {
    const char* pattern;
    const char* name;
    bool excluded;
  } cases[] = {
      {"*.db", "Thumbs.db", true},
      {"*.db", "sub\\deep\\thumbs.DB", true},
      {"*.db", "a.dbx", false},
      {".git", ".git", true},
      {".git", "mod\\.git", true},
      {".git", ".github", false},
      {"gfx/*.psd", "gfx\\a.psd", true},
      {"gfx/*.psd", "x\\gfx\\a.psd", false},
      {"**/backup", "a\\b\\backup", true},
      {"*~", "gfx\\ice.bmp~", true},
  };
  for (const auto& c : cases) {
    ExcludeRules rules;
    ASSERT_TRUE(rules.add(c.pattern));
    EXPECT_EQ(rules.excludes(c.name), c.excluded) << c.pattern << " " << c.name;
  }
  ExcludeRules none;
  EXPECT_FALSE(none.add(""));
  EXPECT_TRUE(none.empty());
}

// Decoded content compared through a temporary file (one that can be written, and one on a
// full disk) and through windows smaller than the entries: equal, differing at the end,
// shorter and longer, whichever side is decoded first.
TEST(EntryComparisonTest, WindowsSmallerThanTheEntryCompareTheWholeContent) {
  test::TempDir dir;
  const std::vector<test::BuiltEntry> entries = {
      {"lzss", 2, test::LZSS_AAAA, 4},    test::storedEntry("same", "aaaa"),
      test::storedEntry("last", "aaab"),  test::storedEntry("short", "aaa"),
      test::storedEntry("long", "aaaaa"), test::storedEntry("first", "baaa")};
  test::writeFile(dir.path() / "a.kup", test::buildArchiveBytes(entries));
  test::FaultFileSystem full;
  full.fillDiskAfter(0);
  for (platform::FileSystem* files : {static_cast<platform::FileSystem*>(nullptr),
                                      static_cast<platform::FileSystem*>(&full)}) {
    ArchiveReader left(files);
    ArchiveReader right(files);
    ASSERT_TRUE(left.open((dir.path() / "a.kup").string()));
    ASSERT_TRUE(right.open((dir.path() / "a.kup").string()));
    const auto& lzss = left.entries()[0];
    for (SpillToDisk spill : {SpillToDisk::WhenLarger, SpillToDisk::Never}) {
      for (std::size_t window : {std::size_t{1}, std::size_t{3}, std::size_t{4}, std::size_t{64}}) {
        for (std::size_t i = 1; i < entries.size(); ++i) {
          const auto& other = right.entries()[i];
          for (bool lzssFirst : {true, false}) {
            bool same = true;
            const Status status =
                lzssFirst ? compareEntryContents(left, lzss, right, other, same, window, spill)
                          : compareEntryContents(right, other, left, lzss, same, window, spill);
            ASSERT_TRUE(status) << statusText(status);
            EXPECT_EQ(same, i == 1) << other.name << " window " << window;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace kupack
