// The reading commands and the update against an archive whose reads fail or which shrinks
// while it is read, through the fault-injecting file layer: each case is chosen by the number
// of a read, never by timing.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "app/read_commands.h"
#include "app/update_command.h"
#include "archive/entry_decoding.h"
#include "archive/read_jobs.h"
#include "codec/byte_stream.h"
#include "common/console.h"
#include "tests/archive_builder.h"
#include "tests/fault_file_system.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;

// Every regular file below `folder`, by its path relative to it, with its bytes.
std::map<std::string, std::string> filesBelow(const fs::path& folder) {
  std::map<std::string, std::string> files;
  if (!fs::exists(folder)) return files;
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    if (item.is_regular_file())
      files[fs::relative(item.path(), folder).generic_string()] = test::readFile(item.path());
  }
  return files;
}

class ReadingFaultsTest : public ::testing::Test {
 protected:
  ReadingFaultsTest() {
    // A stored entry of several read blocks ahead of one entry of each coding.
    std::vector<test::BuiltEntry> entries{test::storedEntry("big.bin", bigBytes())};
    for (test::BuiltEntry& entry : test::sampleEntries()) entries.push_back(std::move(entry));
    original_ = test::buildArchiveBytes(entries);
    test::writeFile(archive(), original_);
  }

  static std::string bigBytes() {
    std::string bytes((5u << 20) / 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7) >> 2);
    return bytes;
  }

  fs::path archive() const { return dir_ / "game.kup"; }
  fs::path out() const { return dir_ / "out"; }

  struct Run {
    int exitCode = -1;
    std::string console;
  };

  // A reading command through `files`, on one thread, so that reads come in one order.
  struct Command {
    const char* name;
    int failedExit;  // its exit status when the archive cannot be read
    std::function<int(const std::string& archive, const std::string& out,
                      platform::FileSystem& files)>
        run;
  };
  static std::vector<Command> commands() {
    return {
        {"-x", 1,
         [](const std::string& archive, const std::string& out, platform::FileSystem& files) {
           return extractArchiveCommand(archive, out, false, {}, 1, &files);
         }},
        {"-t", 2,
         [](const std::string& archive, const std::string&, platform::FileSystem& files) {
           return testArchiveCommand(archive, std::nullopt, nullptr, 1, &files);
         }},
        {"-l --long", 1,
         [](const std::string& archive, const std::string&, platform::FileSystem& files) {
           return listArchiveCommand(archive, ListFormat::Table, {}, true, &files);
         }},
    };
  }

  Run run(const Command& command, platform::FileSystem& files) {
    fs::remove_all(out());
    Run result;
    const ConsoleCapture capture([&](std::string_view text) { result.console += text; });
    result.exitCode = command.run(test::nativeOf(archive()), test::nativeOf(out()), files);
    return result;
  }

  // A failed run names the archive, and -x leaves only whole files, each as a sound run
  // extracts it: every entry but `lost` of them (at least one but not all when not given).
  void expectFailureNamingTheArchive(const Command& command, const Run& failed,
                                     const std::map<std::string, std::string>& extracted,
                                     std::optional<std::size_t> lost) const {
    EXPECT_EQ(failed.exitCode, command.failedExit) << failed.console;
    EXPECT_TRUE(test::contains(failed.console, test::nativeOf(archive()))) << failed.console;
    const auto left = filesBelow(out());
    for (const auto& [name, bytes] : left) {
      ASSERT_TRUE(extracted.contains(name)) << name;  // no staged file left behind
      EXPECT_EQ(bytes, extracted.at(name)) << name;
    }
    if (std::string(command.name) != "-x") return;
    if (lost) {
      EXPECT_EQ(left.size() + *lost, extracted.size());
    } else {
      EXPECT_LT(left.size(), extracted.size());
    }
  }

  test::TempDir dir_;
  std::string original_;
};

// Every read of each command failed in turn: the open's (the command ends at once) and each
// entry's (that entry fails, the others are done as in a sound run).
TEST_F(ReadingFaultsTest, EachFailedReadFailsTheCommandNamingTheArchive) {
  for (const Command& command : commands()) {
    SCOPED_TRACE(command.name);
    test::FaultFileSystem counting;
    const Run sound = run(command, counting);
    ASSERT_EQ(sound.exitCode, 0) << sound.console;
    const auto extracted = filesBelow(out());
    const std::size_t reads = counting.reads();
    ASSERT_GT(reads, 5u);
    {
      // Reads cut short give the same run.
      test::FaultFileSystem faults;
      faults.shortReads(4093);
      const Run cut = run(command, faults);
      EXPECT_EQ(cut.exitCode, 0);
      EXPECT_EQ(cut.console, sound.console);
      EXPECT_EQ(filesBelow(out()), extracted);
    }
    for (std::size_t n = 1; n <= reads; ++n) {
      SCOPED_TRACE("read " + std::to_string(n));
      test::FaultFileSystem faults;
      faults.failRead(n, EIO);
      const Run failed = run(command, faults);
      // The first two reads are the header's and the directory's: nothing is extracted.
      expectFailureNamingTheArchive(command, failed, extracted, n <= 2 ? extracted.size() : 1);
    }
  }
}

// The archive cut short between two of its reads: the reads past its new end fail, naming it,
// and the command never ends as if it had read everything.
TEST_F(ReadingFaultsTest, ArchiveShrinkingBetweenTwoReadsIsNamedAndNeverPasses) {
  for (const Command& command : commands()) {
    SCOPED_TRACE(command.name);
    test::writeFile(archive(), original_);
    test::FaultFileSystem counting;
    ASSERT_EQ(run(command, counting).exitCode, 0);
    const auto extracted = filesBelow(out());
    const std::size_t reads = counting.reads();
    for (std::size_t before = 0; before < reads; ++before) {
      SCOPED_TRACE("cut before read " + std::to_string(before + 1));
      test::writeFile(archive(), original_);
      test::FaultFileSystem faults;
      faults.beforeRead("game.kup", [&](const std::string&, std::size_t readsBefore) {
        if (readsBefore == before) fs::resize_file(archive(), 10);
      });
      const Run failed = run(command, faults);
      EXPECT_NE(failed.exitCode, 0);
      expectFailureNamingTheArchive(command, failed, extracted, std::nullopt);
    }
  }
}

// -p's work: a failed read ends it naming the archive, and what was handed on is whole
// entries only, as a sound run hands them on.
TEST_F(ReadingFaultsTest, PrintingStopsAtAFailedReadNamingTheArchiveAfterWholeEntries) {
  const auto print = [&](platform::FileSystem& files, std::vector<std::uint8_t>& bytes) {
    ArchiveReader reader(&files);
    Status status = reader.open(test::nativeOf(archive()));
    if (!status) return status;
    std::vector<const ArchiveEntry*> entries;
    for (const ArchiveEntry& entry : reader.entries()) entries.push_back(&entry);
    VectorSink sink(bytes);
    return printEntries(reader, entries, sink, 1, [](const ArchiveEntry&) {}).status;
  };
  std::vector<std::uint8_t> whole;
  test::FaultFileSystem counting;
  ASSERT_TRUE(print(counting, whole));
  // Where each entry's bytes end in the whole output.
  std::set<std::size_t> ends{0};
  {
    ArchiveReader reader;
    ASSERT_TRUE(reader.open(test::nativeOf(archive())));
    std::vector<std::uint8_t> bytes;
    for (const ArchiveEntry& entry : reader.entries()) {
      VectorSink sink(bytes);
      ASSERT_TRUE(decodeEntry(reader, entry, sink));
      ends.insert(bytes.size());
    }
    ASSERT_EQ(bytes, whole);
  }
  for (std::size_t n = 1; n <= counting.reads(); ++n) {
    SCOPED_TRACE("read " + std::to_string(n));
    test::FaultFileSystem faults;
    faults.failRead(n, EIO);
    std::vector<std::uint8_t> bytes;
    const Status status = print(faults, bytes);
    EXPECT_FALSE(status);
    EXPECT_EQ(status.path(), test::nativeOf(archive()));
    EXPECT_TRUE(ends.contains(bytes.size())) << bytes.size();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), whole.begin()));
  }
}

// The update copies its kept entries through the layer: a failed read or an archive cut
// short during the copy ends it naming the archive, which stays as it was, with no part file.
TEST_F(ReadingFaultsTest, FailedReadWhileAnUpdateCopiesKeptEntriesKeepsTheArchive) {
  UpdateArguments arguments;
  arguments.programName = "kupack";
  arguments.archive = test::nativeOf(archive());
  arguments.deleteNames = {"readme.txt"};  // big.bin and the rest are kept: two copies
  arguments.jobs = 1;
  const auto update = [&](platform::FileSystem& files) {
    Run result;
    const ConsoleCapture capture([&](std::string_view text) { result.console += text; });
    arguments.files = &files;
    result.exitCode = updateArchiveCommand(arguments);
    return result;
  };
  std::size_t reads = 0;
  {
    test::FaultFileSystem counting;
    const Run sound = update(counting);
    ASSERT_EQ(sound.exitCode, 0) << sound.console;
    reads = counting.reads();
    ASSERT_GT(reads, 4u);  // the header, the directory and the copies' blocks
    EXPECT_LT(test::readFile(archive()).size(), original_.size());
  }
  const auto expectKept = [&](const Run& failed, const std::string& archiveBytes) {
    EXPECT_EQ(failed.exitCode, 1) << failed.console;
    // (The update names the archive by its absolute path, as the system spells it.)
    EXPECT_TRUE(test::contains(failed.console, "game.kup")) << failed.console;
    EXPECT_EQ(test::readFile(archive()), archiveBytes);
    EXPECT_EQ(test::namesEndingIn(dir_.path(), ".part"), std::vector<std::string>{});
  };
  for (std::size_t n = 1; n <= reads; ++n) {
    SCOPED_TRACE("read " + std::to_string(n));
    test::writeFile(archive(), original_);
    test::FaultFileSystem faults;
    faults.failRead(n, EIO);
    expectKept(update(faults), original_);
  }
  for (std::size_t before = 2; before < reads; ++before) {
    SCOPED_TRACE("cut before read " + std::to_string(before + 1));
    test::writeFile(archive(), original_);
    test::FaultFileSystem faults;
    faults.beforeRead("game.kup", [&](const std::string&, std::size_t readsBefore) {
      if (readsBefore == before) fs::resize_file(archive(), 10);
    });
    expectKept(update(faults), original_.substr(0, 10));
  }
}

}  // namespace
}  // namespace kupack
