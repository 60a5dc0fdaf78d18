// Extraction (-x) against a disk that fills and writes that fail, through the fault-injecting
// file layer: whole commands, decided by the number of a write or the bytes the disk holds,
// never by timing. Every entry ends either complete under its name or failed and named, with
// nothing half-written under any name and a file it was to replace left as it was.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/catalogue.h"
#include "app/read_commands.h"
#include "app/status_text.h"
#include "common/console.h"
#include "tests/archive_builder.h"
#include "tests/fault_file_system.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;

// The entries in directory order (code page 932 names) and where each is extracted to.
struct Extracted {
  std::string entry;
  std::string path;  // relative to the target folder, '/' between levels
};
const std::vector<Extracted> ENTRIES = {
    {"a.txt", "a.txt"},         {"pic\\pal.bmp", "pic/pal.bmp"},
    {"big.bin", "big.bin"},     {"pic\\true.bmp", "pic/true.bmp"},
    {"empty.dat", "empty.dat"}, {"sub\\z.txt", "sub/z.txt"}};
// What was under two of the names before, with replacing asked.
const std::map<std::string, std::string> EARLIER = {{"big.bin", "earlier big"},
                                                    {"sub/z.txt", "earlier z"}};

// A console text with its "%s" and "%llu" filled in with `values`, in order.
std::string filled(std::string text, const std::vector<std::string>& values) {
  std::size_t at = 0;
  for (const std::string& value : values) {
    at = text.find('%', at);
    const std::size_t length = text.compare(at, 4, "%llu") == 0 ? 4 : 2;
    text.replace(at, length, value);
    at += value.size();
  }
  return text;
}

class ExtractFaultsTest : public ::testing::Test {
 protected:
  ExtractFaultsTest() {
    test::writeFile(archive(), test::buildArchiveBytes({
                                   test::storedEntry("a.txt", std::string(300000, 'a')),
                                   {"pic\\pal.bmp", 2, test::LZSS_AAAA, 4},
                                   test::storedEntry("big.bin", bigBytes()),
                                   {"pic\\true.bmp", 1, test::SPB_2X1, 60},
                                   test::storedEntry("empty.dat", ""),
                                   test::storedEntry("sub\\z.txt", "zz"),
                               }));
    // The files a run with nothing injected writes.
    EXPECT_EQ(run(nullptr, 1).exitCode, 0);
    for (const Extracted& entry : ENTRIES) whole_[entry.path] = test::readFile(out() / entry.path);
  }

  static std::string bigBytes() {
    std::string bytes(2500000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 / 3);
    return bytes;
  }

  fs::path archive() const { return dir_ / "a.kup"; }
  fs::path out() const { return dir_ / "out"; }

  struct Run {
    int exitCode = -1;
    std::string console;
  };
  // `kupack -x -f a.kup -C out -j JOBS` through `files`, into a fresh target folder holding
  // only the EARLIER files.
  Run run(platform::FileSystem* files, unsigned jobs) {
    fs::remove_all(out());
    for (const auto& [path, bytes] : EARLIER) test::writeFile(out() / path, bytes);
    Run result;
    const ConsoleCapture capture([&result](std::string_view text) { result.console += text; });
    result.exitCode = extractArchiveCommand(test::nativeOf(archive()), test::nativeOf(out()), true,
                                            {}, jobs, files);
    return result;
  }

  // The line that names a failed write of `entry`.
  std::string failedWrite(const Extracted& entry, int error) const {
    const std::string target = test::withNativeSeparators(test::nativeOf(out()) + "/" + entry.path);
    return tr("failed ") +
           statusText(Status::fault(Status::Code::CannotWrite, Status::Reason::TargetUnwritable)
                          .atEntry(entry.entry)
                          .withOtherPath(target)
                          .withErrorNumber(error));
  }

  // Checks that each entry is complete under its name or failed with `error` and named, that
  // nothing else is in the target folder, and the summary line; gives the names that failed.
  std::vector<std::string> expectWholeOrFailed(const Run& result, int error) const {
    std::vector<std::string> failed;
    for (const Extracted& entry : ENTRIES) {
      SCOPED_TRACE(entry.path);
      const fs::path path = out() / entry.path;
      if (test::contains(result.console, failedWrite(entry, error))) {
        failed.push_back(entry.path);
        const auto earlier = EARLIER.find(entry.path);
        if (earlier == EARLIER.end()) {
          EXPECT_FALSE(fs::exists(path));
        } else {
          EXPECT_EQ(test::readFile(path), earlier->second);
        }
      } else {
        EXPECT_EQ(test::readFile(path), whole_.at(entry.path));
        EXPECT_TRUE(test::contains(result.console, filled(tr("extracted %s\n"), {entry.entry})))
            << result.console;
      }
    }
    for (const auto& item : fs::recursive_directory_iterator(out())) {
      const std::string path = fs::relative(item.path(), out()).generic_string();
      EXPECT_TRUE(item.is_directory() || whole_.count(path) != 0) << "left behind: " << path;
    }
    EXPECT_EQ(result.exitCode, failed.empty() ? 0 : 1) << result.console;
    const std::string summary = filled(
        tr("%llu extracted, %llu refused, %llu failed\n"),
        {std::to_string(ENTRIES.size() - failed.size()), "0", std::to_string(failed.size())});
    EXPECT_TRUE(test::contains(result.console, summary)) << result.console;
    return failed;
  }

  test::TempDir dir_;
  std::map<std::string, std::string> whole_;  // path -> bytes of a run with nothing injected
};

// The disk fills before, inside and between entries. On one thread the entries are written
// in order: exactly those that fit in the room before it fills are extracted. On several
// threads any of them may meet the full disk.
TEST_F(ExtractFaultsTest, FullDiskFailsTheEntriesItMeetsAndKeepsTheRest) {
  std::vector<std::uint64_t> ends;  // the bytes written once each entry is complete, on one thread
  std::uint64_t written = 0;
  for (const Extracted& entry : ENTRIES) ends.push_back(written += whole_.at(entry.path).size());
  for (const std::uint64_t room : {std::uint64_t{0}, std::uint64_t{299999}, ends[1], ends[1] + 1,
                                   ends[1] + 1500000, ends[3] - 1, written - 1}) {
    for (const unsigned jobs : {1u, 3u}) {
      SCOPED_TRACE("room " + std::to_string(room) + ", " + std::to_string(jobs) + " threads");
      test::FaultFileSystem faults;
      faults.fillDiskAfter(room);
      const std::vector<std::string> failed = expectWholeOrFailed(run(&faults, jobs), ENOSPC);
      EXPECT_FALSE(failed.empty());
      if (jobs != 1) continue;
      std::vector<std::string> expected;
      for (std::size_t i = 0; i < ENTRIES.size(); ++i) {
        if (ends[i] > room && !whole_.at(ENTRIES[i].path).empty())
          expected.push_back(ENTRIES[i].path);
      }
      EXPECT_EQ(failed, expected);
    }
  }
}

// Each write of the run fails in turn: the one entry it belongs to fails, the others are
// extracted; past the last write the run is whole again.
TEST_F(ExtractFaultsTest, EachFailedWriteFailsOnlyItsEntry) {
  std::size_t n = 1;
  for (; n <= 20; ++n) {
    SCOPED_TRACE("write " + std::to_string(n));
    test::FaultFileSystem faults;
    faults.failWrite(n, EIO);
    const std::vector<std::string> failed = expectWholeOrFailed(run(&faults, 1), EIO);
    if (failed.empty()) break;
    EXPECT_EQ(failed.size(), 1u);
  }
  EXPECT_GT(n, 5u) << "every non-empty entry is written at least once";
  EXPECT_LE(n, 20u) << "a run has that few writes";
}

// A file or a link put at an entry's name while the entry was written: without -f it is
// kept and the entry refused; with -f it is replaced as a name, and a link's file is left
// as it was.
TEST_F(ExtractFaultsTest, ANameTakenWhileTheEntryWasWritten) {
  const fs::path outside = dir_ / "outside.txt";
  const std::string target = test::nativeOf(out() / "sub" / "z.txt");
  struct Newcomer {
    const char* what;
    bool (*put)(const fs::path& at, const fs::path& outside);
  };
  const Newcomer newcomers[] = {
      {"file",
       [](const fs::path& at, const fs::path&) {
         test::writeFile(at, std::string("newcomer"));
         return true;
       }},
      {"link",
       [](const fs::path& at, const fs::path& linked) { return test::makeFileLink(linked, at); }},
  };
  for (const Newcomer& newcomer : newcomers) {
    for (const bool force : {false, true}) {
      SCOPED_TRACE(std::string(newcomer.what) + (force ? ", -f" : ""));
      test::writeFile(outside, std::string("outside"));
      fs::remove_all(out());
      test::FaultFileSystem faults;
      bool put = true;
      faults.beforePlace([&](const std::string& path) {
        if (path == target) put = newcomer.put(test::pathFromNative(path), outside);
      });
      std::string console;
      int exitCode = -1;
      {
        const ConsoleCapture capture([&console](std::string_view text) { console += text; });
        exitCode = extractArchiveCommand(test::nativeOf(archive()), test::nativeOf(out()), force,
                                         {"sub/z.txt"}, 1, &faults);
      }
      if (!put) GTEST_SKIP() << "this system does not let the test make links";
      EXPECT_EQ(test::readFile(outside), "outside");
      if (force) {
        EXPECT_EQ(exitCode, 0) << console;
        EXPECT_FALSE(fs::is_symlink(out() / "sub" / "z.txt"));
        EXPECT_EQ(test::readFile(out() / "sub" / "z.txt"), "zz");
      } else {
        EXPECT_EQ(exitCode, 1) << console;
        EXPECT_TRUE(test::contains(
            console, filled(tr("refused %s: %s\n"),
                            {"sub\\z.txt", statusCause(Status::refused(Status::Reason::TargetExists)
                                                           .withOtherPath(target))})))
            << console;
        EXPECT_EQ(fs::is_symlink(out() / "sub" / "z.txt"), newcomer.what == std::string("link"));
      }
      std::vector<std::string> names;
      for (const auto& item : fs::directory_iterator(out() / "sub"))
        names.push_back(item.path().filename().string());
      EXPECT_EQ(names, std::vector<std::string>{"z.txt"}) << "no temporary file left behind";
    }
  }
}

}  // namespace
}  // namespace kupack
