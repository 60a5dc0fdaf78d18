// Extraction, testing and printing with entries decoded on several threads: the same files,
// bytes and console lines, in directory order, for every thread count; a broken entry among
// many named in its turn with nothing of it left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/read_commands.h"
#include "app/status_text.h"
#include "archive/read_jobs.h"
#include "common/console.h"
#include "tests/archive_builder.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;
using test::BuiltEntry;

constexpr int ENTRIES = 40;
constexpr int BROKEN = 20;

std::string entryName(int i) { return "d" + std::to_string(i % 3) + "\\f" + std::to_string(i); }

// Stored, LZSS and SPB entries in turn, one stored entry larger than a read block; with
// `broken`, entry BROKEN's LZSS stream ends before its size.
std::vector<BuiltEntry> manyEntries(bool broken) {
  std::vector<BuiltEntry> entries;
  for (int i = 0; i < ENTRIES; ++i) {
    const std::string name = entryName(i);
    if (broken && i == BROKEN) {
      entries.push_back({name + ".bmp", 2, test::LZSS_AAAA, 10});
    } else if (i % 3 == 0) {
      entries.push_back(test::storedEntry(name + ".txt", std::string(i * 37, char('a' + i % 26))));
    } else if (i % 3 == 1) {
      entries.push_back({name + ".bmp", 2, test::LZSS_AAAA, 4});
    } else {
      entries.push_back({name + ".bmp", 1, test::SPB_2X1, 60});
    }
  }
  entries.push_back(test::storedEntry("big.dat", std::string(700 * 1024, 'z')));
  return entries;
}

// Every regular file below `folder` (relative name -> bytes); names of anything else too.
std::vector<std::pair<std::string, std::string>> filesBelow(const fs::path& folder) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    if (item.is_directory()) continue;
    const std::string name = fs::relative(item.path(), folder).generic_string();
    files.emplace_back(name, item.is_regular_file() ? test::readFile(item.path()) : "?");
  }
  std::sort(files.begin(), files.end());
  return files;
}

class ReadingPoolTest : public ::testing::Test {
 protected:
  ReadingPoolTest() : capture_([this](std::string_view text) { console_ += text; }) {}

  std::string archiveOf(const std::vector<BuiltEntry>& entries) {
    const fs::path path = dir_ / "a.kup";
    test::writeFile(path, test::buildArchiveBytes(entries));
    return path.string();
  }

  test::TempDir dir_;
  std::string console_;
  ConsoleCapture capture_;
};

TEST_F(ReadingPoolTest, SameFilesAndLinesForEveryThreadCount) {
  const std::string archive = archiveOf(manyEntries(false));
  std::string firstExtract, firstTest;
  std::vector<std::pair<std::string, std::string>> firstFiles;
  for (unsigned jobs = 1; jobs <= 4; ++jobs) {
    SCOPED_TRACE(jobs);
    const fs::path out = dir_ / ("out" + std::to_string(jobs));
    console_.clear();
    EXPECT_EQ(extractArchiveCommand(archive, out.string(), false, {}, jobs), 0) << console_;
    const std::string extractLines = console_;
    console_.clear();
    EXPECT_EQ(testArchiveCommand(archive, (dir_ / "out1").string(), nullptr, jobs), 0) << console_;
    const auto files = filesBelow(out);
    if (jobs == 1) {
      firstExtract = extractLines;
      firstTest = console_;
      firstFiles = files;
      ASSERT_EQ(files.size(), std::size_t{ENTRIES + 1});
      // Lines in directory order.
      EXPECT_LT(extractLines.find("extracted d0\\f0.txt\n"), extractLines.find("d1\\f1.bmp"));
      EXPECT_LT(extractLines.find("d0\\f39.txt"), extractLines.find("big.dat"));
      continue;
    }
    EXPECT_EQ(extractLines, firstExtract);
    EXPECT_EQ(console_, firstTest);
    EXPECT_EQ(files, firstFiles);
  }
}

TEST_F(ReadingPoolTest, ABrokenEntryAmongManyIsNamedInItsTurnAndLeavesNothing) {
  const std::string archive = archiveOf(manyEntries(true));
  const fs::path out = dir_ / "out";
  const std::string broken = entryName(BROKEN) + ".bmp";
  EXPECT_EQ(extractArchiveCommand(archive, out.string(), false, {}, 4), 1);
  const std::size_t before = console_.find("extracted " + entryName(BROKEN - 1) + ".bmp\n");
  const std::size_t failure = console_.find("failed " + broken + ": broken LZSS stream");
  const std::size_t after = console_.find("extracted " + entryName(BROKEN + 1) + ".txt\n");
  ASSERT_NE(failure, std::string::npos) << console_;
  EXPECT_LT(before, failure) << console_;
  EXPECT_LT(failure, after) << console_;
  EXPECT_NE(console_.find(std::to_string(ENTRIES) + " extracted, 0 refused, 1 failed"),
            std::string::npos)
      << console_;
  const auto files = filesBelow(out);
  EXPECT_EQ(files.size(), std::size_t{ENTRIES});  // every other entry, nothing half-written
  for (const auto& [name, bytes] : files) {
    EXPECT_EQ(name.find(".part"), std::string::npos) << name;
    EXPECT_NE(name, "d2/f20.bmp");
  }

  console_.clear();
  EXPECT_EQ(testArchiveCommand(archive, std::nullopt, nullptr, 4), 2);
  EXPECT_EQ(console_, broken + ": broken LZSS stream (LZSS stream ends after 4 of 10 bytes)\n" +
                          std::to_string(ENTRIES + 1) + " entries tested: 1 problem\n")
      << console_;
}

// -p's bytes: every entry's file in the order given, the same for every thread count; a
// broken entry ends the output after the entries before it, with nothing of its own.
TEST_F(ReadingPoolTest, PrintedBytesAreTheFilesInOrderForEveryThreadCount) {
  for (const bool broken : {false, true}) {
    SCOPED_TRACE(broken);
    const std::string archive = archiveOf(manyEntries(broken));
    const fs::path out = dir_ / (broken ? "files-broken" : "files");
    extractArchiveCommand(archive, out.string(), false, {}, 1);
    ArchiveReader reader;
    ASSERT_TRUE(reader.open(archive).isOk());
    std::vector<const ArchiveEntry*> entries;
    std::string expected;
    for (const ArchiveEntry& entry : reader.entries()) entries.push_back(&entry);
    std::reverse(entries.begin(), entries.end());  // printed in the order asked, not stored
    for (const ArchiveEntry* entry : entries) {
      if (broken && entry->name == entryName(BROKEN) + ".bmp") break;
      std::string name = entry->name;
      std::replace(name.begin(), name.end(), '\\', '/');
      expected += test::readFile(out / name);
    }
    for (unsigned jobs = 1; jobs <= 4; ++jobs) {
      SCOPED_TRACE(jobs);
      std::vector<std::uint8_t> printed;
      VectorSink sink(printed);
      const PrintOutcome outcome = printEntries(reader, entries, sink, jobs, [](const auto&) {});
      EXPECT_EQ(std::string(printed.begin(), printed.end()), expected);
      EXPECT_EQ(outcome.status.isOk(), !broken);
      if (broken) {
        ASSERT_NE(outcome.entry, nullptr);
        EXPECT_EQ(outcome.entry->name, entryName(BROKEN) + ".bmp");
        EXPECT_EQ(outcome.status.code(), Status::Code::Corrupt) << statusText(outcome.status);
      }
    }
  }
}

}  // namespace
}  // namespace kupack
