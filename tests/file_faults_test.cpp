// The packing run against files that fail or change, through the fault-injecting file
// layer: every case is decided by the number of a read or a write, never by timing, so it
// gives the same result on any machine and under wine.
#include <gtest/gtest.h>

#include <cstring>

#include "app/catalogue.h"
#include "app/status_text.h"
#include "app/pack_command.h"
#include "archive/archive_format.h"
#include "archive/archive_writer.h"
#include "archive/copy_stream.h"
#include "archive/pack_pipeline.h"
#include "common/console.h"
#include "tests/bmp_builder.h"
#include "tests/fault_file_system.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;

class FileFaultsTest : public ::testing::Test {
 protected:
  FileFaultsTest() { fs::create_directories(root()); }

  fs::path root() const { return dir_ / "root"; }
  fs::path archive() const { return dir_ / "out.kup"; }

  void add(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    test::writeFile(root() / name, bytes);
    files_.push_back({name, name});
  }
  // One file of each coding: LZSS, SPB, a bitmap stored unchanged, and a plain stored file
  // of more than one copy chunk.
  void addEveryCoding() {
    add("pal.bmp", palette());
    add("pic.bmp", test::makeBmp(test::randomPicture(90, 60, 1, 40)));
    add("short.bmp", {'B', 'M', 1, 2, 3});
    add("big.bin", std::vector<std::uint8_t>(COPY_CHUNK_SIZE + 100, 'b'));
  }
  static std::vector<std::uint8_t> palette() {
    return test::makeBmp(test::randomPicture(300, 200, 3, 2), {.bitCount = 8, .colorsUsed = 256});
  }

  Status build(platform::FileSystem* files, unsigned jobs) {
    ArchiveJob job{archive().string(), root().string(), jobs};
    job.files = files;
    return buildArchive(job, files_, quiet_);
  }

  // The archive a run gives for the tree as it is now, with nothing injected.
  std::string referenceArchive() {
    const Status status = build(nullptr, 1);
    EXPECT_TRUE(status.isOk()) << statusText(status);
    std::string bytes = test::readFile(archive());
    fs::remove(archive());
    return bytes;
  }

  // A failed run leaves the earlier archive and nothing of its own.
  void expectEarlierArchiveOnly() const {
    EXPECT_EQ(test::readFile(archive()), "earlier archive");
    EXPECT_EQ(test::namesEndingIn(dir_.path(), ".part"), std::vector<std::string>{});
  }

  test::TempDir dir_;
  std::vector<CollectedFile> files_;
  SilentPackListener quiet_;
};

TEST_F(FileFaultsTest, EverySourceIsOpenedOncePerRun) {
  addEveryCoding();
  const std::string reference = referenceArchive();
  for (const unsigned jobs : {1u, 4u}) {
    test::FaultFileSystem faults;
    ASSERT_TRUE(build(&faults, jobs).isOk());
    EXPECT_EQ(test::readFile(archive()), reference) << jobs;
    std::map<std::string, std::size_t> expected;
    for (const CollectedFile& file : files_)
      expected[platform::joinPath(root().string(), file.nativePath)] = 1;
    EXPECT_EQ(faults.opens(), expected) << jobs << " threads";
  }
}

// Stored files coded ahead keep their file open until their copy: no more than the limit of
// them at once, however many threads code ahead, so a large tree never runs out of handles.
TEST_F(FileFaultsTest, FilesHeldOpenForTheirTurnStayWithinTheLimit) {
  std::vector<PipelineEntry> entries;
  for (int i = 0; i < 200; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    test::writeFile(root() / name, std::string(10, 'x'));
    entries.push_back({name, test::nativeOf(root() / name)});
  }
  test::FaultFileSystem faults;
  {
    PackPipeline pipeline(entries, {.threads = 4, .openFiles = 8}, &faults);
    CountingSink sink;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      PipelineOutcome outcome = pipeline.take(i, quiet_, sink);
      ASSERT_TRUE(outcome.status.isOk()) << i;
      ASSERT_TRUE(outcome.copyInTurn);
      ASSERT_NE(outcome.source, nullptr);
      EXPECT_EQ(outcome.source->size(), 10u);
    }
  }
  EXPECT_EQ(faults.opens().size(), entries.size());
  EXPECT_LE(faults.peakOpen(), 8u + 1u);  // the limit, and the entry whose turn it is
}

TEST_F(FileFaultsTest, ShortReadsGiveTheSameArchive) {
  addEveryCoding();
  const std::string reference = referenceArchive();
  test::FaultFileSystem faults;
  faults.shortReads(4093);
  ASSERT_TRUE(build(&faults, 2).isOk());
  EXPECT_EQ(test::readFile(archive()), reference);
}

// A file changed between two reads of its coding or copy, for each coding and any number of
// threads: the run ends with the whole file's correct entry (when the change left it as it
// was, down to the clock's step) or fails naming the file, and never writes an entry of
// part of it under the whole file's size.
TEST_F(FileFaultsTest, FileChangedBetweenTwoReadsIsNeverPackedInPart) {
  struct Change {
    const char* what;
    void (*apply)(const fs::path& path, const std::vector<std::uint8_t>& whole,
                  std::size_t readsBefore);
  };
  const Change changes[] = {
      // Cut to nothing and written again, half before one read and the rest before the next.
      {"rewritten", [](const fs::path& path, const std::vector<std::uint8_t>& whole,
                       std::size_t readsBefore) {
         const std::size_t half = whole.size() / 2;
         if (readsBefore == 1) test::writeFile(path, std::vector(whole.begin(), whole.begin() + half));
         if (readsBefore == 2) test::writeFile(path, whole);
       }},
      // Shorter before one read and whole again before the next.
      {"shrunk and regrown", [](const fs::path& path, const std::vector<std::uint8_t>& whole,
                                std::size_t readsBefore) {
         if (readsBefore == 1) fs::resize_file(path, whole.size() / 3);
         if (readsBefore == 2) test::writeFile(path, whole);
       }},
      // Longer from one read on.
      {"grown", [](const fs::path& path, const std::vector<std::uint8_t>& whole,
                   std::size_t readsBefore) {
         if (readsBefore != 1) return;
         std::vector<std::uint8_t> longer = whole;
         longer.insert(longer.end(), 1000, 'x');
         test::writeFile(path, longer);
       }},
  };
  addEveryCoding();
  const std::string reference = referenceArchive();
  for (const char* name : {"pal.bmp", "pic.bmp", "big.bin"}) {
    const fs::path path = root() / name;
    const std::vector<std::uint8_t> whole = test::readBytes(path);
    for (const Change& change : changes) {
      for (const unsigned jobs : {1u, 3u}) {
        SCOPED_TRACE(std::string(name) + " " + change.what + ", " + std::to_string(jobs) + " threads");
        test::writeFile(path, whole);
        test::writeFile(archive(), std::string("earlier archive"));
        test::FaultFileSystem faults;
        // Small reads, so that every coding reads each file more than twice.
        faults.shortReads(1000);
        faults.beforeRead(name, [&](const std::string&, std::size_t readsBefore) {
          change.apply(path, whole, readsBefore);
        });
        const Status status = build(&faults, jobs);
        if (status.isOk() && test::readBytes(path) == whole) {
          EXPECT_EQ(test::readFile(archive()), reference);
        } else {
          ASSERT_FALSE(status.isOk());
          EXPECT_EQ(status.code(), Status::Code::SourceChanged) << statusText(status);
          EXPECT_NE(statusText(status).find(name), std::string::npos) << statusText(status);
          expectEarlierArchiveOnly();
        }
      }
    }
  }
}

// Every read of a run, failed in turn, ends the run naming the file it was reading.
TEST_F(FileFaultsTest, FailedReadEndsTheRunNamingTheFile) {
  add("pal.bmp", palette());
  add("note.txt", std::vector<std::uint8_t>(5000, 'n'));
  test::writeFile(archive(), std::string("earlier archive"));
  test::FaultFileSystem counting;
  counting.shortReads(20000);
  ASSERT_TRUE(build(&counting, 1).isOk());
  const std::size_t reads = counting.reads();
  ASSERT_GT(reads, 3u);
  test::writeFile(archive(), std::string("earlier archive"));
  for (std::size_t n = 1; n <= reads; ++n) {
    SCOPED_TRACE(n);
    test::FaultFileSystem faults;
    faults.shortReads(20000);
    faults.failRead(n, EIO);
    const Status status = build(&faults, 1);
    ASSERT_FALSE(status.isOk());
    EXPECT_EQ(status.code(), Status::Code::CannotRead);
    EXPECT_EQ(status.errorNumber(), EIO);
    // The first read is the bitmap's headers, the last the note's copy.
    const char* named = n == reads ? "note.txt" : n == 1 ? "pal.bmp" : ".";
    EXPECT_NE(statusText(status).find(named), std::string::npos) << statusText(status);
    expectEarlierArchiveOnly();
  }
}

// The disk fills, or a write fails, at every place of the archive: its data area (a copy,
// an SPB stream, an LZSS stream, which ends in the bare output error) and its directory.
TEST_F(FileFaultsTest, FullDiskAndFailedWritesLeaveTheEarlierArchive) {
  addEveryCoding();
  const std::uint64_t whole = referenceArchive().size();
  test::writeFile(archive(), std::string("earlier archive"));
  for (const std::uint64_t room : {std::uint64_t{0}, std::uint64_t{1000}, std::uint64_t{30000},
                                   whole - 200, whole - 1}) {
    SCOPED_TRACE("room " + std::to_string(room));
    test::FaultFileSystem faults;
    faults.fillDiskAfter(room);
    const Status status = build(&faults, 2);
    ASSERT_FALSE(status.isOk());
    if (status.kind() != Status::Kind::OutputError) {
      EXPECT_EQ(status.code(), Status::Code::CannotWrite);
      EXPECT_EQ(status.errorNumber(), ENOSPC);
      EXPECT_NE(statusText(status).find("out.kup."), std::string::npos) << statusText(status);
      EXPECT_NE(statusText(status).find(".part"), std::string::npos) << statusText(status);
    }
    expectEarlierArchiveOnly();
  }
  for (std::size_t n = 1; n <= 6; ++n) {
    SCOPED_TRACE("write " + std::to_string(n));
    test::FaultFileSystem faults;
    faults.failWrite(n, EIO);
    const Status status = build(&faults, 2);
    ASSERT_FALSE(status.isOk());
    expectEarlierArchiveOnly();
  }
}

// The whole packing run, in this process, as the program runs it with a folder and an
// archive name, through `files`.
struct AppRun {
  int exitCode = -1;
  std::string console;  // standard output and error as shown
};
AppRun runPacking(const fs::path& folder, const fs::path& archive, platform::FileSystem& files) {
  const fs::path startFolder = fs::current_path();
  AppRun run;
  {
    const ConsoleCapture capture([&](std::string_view text) { run.console += text; });
    ArchiveRunRequest request;
    request.programName = "kupack";
    request.folderArgument = test::nativeOf(folder);
    request.archiveArgument = test::nativeOf(archive);
    request.jobs = 2;
    request.files = &files;
    run.exitCode = runArchiveJob(request);
  }
  fs::current_path(startFolder);
  return run;
}

// What the user sees of a full disk, a file that changed and a coder's failed write.
TEST_F(FileFaultsTest, WholeRunShowsEachFailureAndExitsOne) {
  const std::string failed = tr("The archive could not be made.\n");
  add("big.bin", std::vector<std::uint8_t>(300000, 'b'));
  test::writeFile(archive(), std::string("earlier archive"));
  {
    test::FaultFileSystem faults;
    faults.fillDiskAfter(100000);
    const AppRun run = runPacking(root(), archive(), faults);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(test::contains(run.console, std::strerror(ENOSPC))) << run.console;
    EXPECT_TRUE(test::contains(run.console, ".part")) << run.console;
    EXPECT_TRUE(test::contains(run.console, failed)) << run.console;
    expectEarlierArchiveOnly();
  }
  {
    test::FaultFileSystem faults;
    faults.beforeRead("big.bin", [&](const std::string& path, std::size_t readsBefore) {
      if (readsBefore == 0) test::writeFile(test::pathFromNative(path), std::string(300001, 'g'));
    });
    const AppRun run = runPacking(root(), archive(), faults);
    EXPECT_EQ(run.exitCode, 1);
    const Status changed =
        Status::file(Status::Code::SourceChanged, test::nativeOf(root() / "big.bin"));
    EXPECT_TRUE(test::contains(run.console, statusText(changed))) << run.console;
    expectEarlierArchiveOnly();
  }
  // A palette bitmap of noise codes to more than it is; its coder's bytes do not all fit.
  fs::remove(root() / "big.bin");
  files_.clear();
  std::vector<std::uint8_t> noise = test::makeBmp(test::randomPicture(400, 300, 5, 255),
                                                  {.bitCount = 8, .colorsUsed = 256});
  add("noise.bmp", noise);
  test::FaultFileSystem faults;
  faults.fillDiskAfter(noise.size() / 2);
  const AppRun run = runPacking(root(), archive(), faults);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(test::contains(run.console, "Output error\n")) << run.console;
  EXPECT_FALSE(test::contains(run.console, failed));
  expectEarlierArchiveOnly();
}

}  // namespace
}  // namespace kupack
