// The archive writer on its own: byte-exact archives, its events as console lines, failures.
#include "archive/archive_writer.h"

#include <gtest/gtest.h>

#include "app/pack_console.h"
#include "app/status_text.h"
#include "archive/archive_format.h"
#include "archive/copy_stream.h"
#include "archive/pack_pipeline.h"
#include "common/console.h"
#include "tests/bmp_builder.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;

class ArchiveWriterTest : public ::testing::Test {
 protected:
  ArchiveWriterTest() : capture_([this](std::string_view text) { console_ += text; }) {
    fs::create_directories(root());
    fs::create_directories(start());
  }

  fs::path root() const { return dir_ / "root"; }
  fs::path start() const { return dir_ / "start"; }
  fs::path archive() const { return dir_ / "out.kup"; }

  // Whatever a run left beside the archive and in the start folder: nothing, after any run.
  std::vector<std::string> strayFiles() const {
    std::vector<std::string> stray;
    for (const fs::path& folder : {dir_.path(), start()}) {
      for (const auto& entry : fs::directory_iterator(folder)) {
        const fs::path& path = entry.path();
        if (path != root() && path != start() && path != archive()) stray.push_back(path.string());
      }
    }
    return stray;
  }

  Status build(const std::vector<CollectedFile>& files, unsigned jobs = 2,
               std::size_t heldBudget = std::size_t{256} << 20,
               std::size_t workingBudget = std::size_t{512} << 20) {
    return buildArchive({archive().string(), root().string(), jobs, heldBudget, workingBudget},
                        files, events_);
  }

  test::TempDir dir_;
  std::string console_;
  test::JapaneseTexts japanese_;  // kupack's Japanese texts as they have always been
  ConsoleCapture capture_;
  ConsolePackListener events_;  // the events as the program shows them
};

TEST_F(ArchiveWriterTest, EmptyTableGivesSixByteArchive) {
  ASSERT_TRUE(build({}).isOk());
  EXPECT_EQ(test::readFile(archive()), std::string("\0\0\0\0\0\x06", 6));
  EXPECT_EQ(console_,
            std::string("全てのファイルを連結しています。\n") + std::string("\r残り  0%") + "\r");
  EXPECT_FALSE(fs::exists(start() / "temp2.dat"));
  EXPECT_FALSE(fs::exists(start() / "temp.dat"));
  EXPECT_EQ(strayFiles(), std::vector<std::string>{});
}

TEST_F(ArchiveWriterTest, OneStoredFileGivesTheDocumentedThirtyFiveBytes) {
  test::writeFile(root() / "a.txt", std::string("0123456789"));
  ASSERT_TRUE(build({{"a.txt", "a.txt"}}).isOk());
  const std::string expected =
      std::string("\x00\x01\x00\x00\x00\x19", 6) + "a.txt" +
      std::string("\x00\x00\x00\x00\x00\x00\x00\x00\x00\x0a\x00\x00\x00\x0a", 14) + "0123456789";
  EXPECT_EQ(test::readFile(archive()), expected);
  EXPECT_EQ(console_,
            std::string("ファイルa.txt圧縮中(1/1)\n") + std::string("Type:その他（無圧縮）\n") +
                std::string("\r残り100%") + "\r" + std::string("元データ：        10 bytes\n") +
                std::string("圧縮後　：        10 bytes (100%)\n") + std::string("\r残り100%") +
                "\r" + std::string("全てのファイルを連結しています。\n") +
                std::string("\r残り100%") + "\r");
}

TEST_F(ArchiveWriterTest, SecondEntryFollowsFirstAndNamesAreNormalized) {
  test::writeFile(root() / "Sub" / "Read.Me", std::string("abc"));
  test::writeFile(root() / "x", std::string(""));
  const std::string katakanaA = "\x83\x41";  // ア: its second byte lies in A..Z
  ASSERT_TRUE(build({{"Sub\\Read.Me", "Sub/Read.Me"}, {katakanaA, "x"}}).isOk());
  const std::string bytes = test::readFile(archive());
  // dataOffset counts the names at their unchanged length: 6 + (11 + 14) + (2 + 14).
  ASSERT_EQ(bytes.size(), 47u + 3u);
  EXPECT_EQ(bytes.substr(0, 6), std::string("\x00\x02\x00\x00\x00\x2f", 6));
  EXPECT_EQ(bytes.substr(6, 12), std::string("sub\\read.me\0", 12));
  EXPECT_EQ(bytes.substr(18, 13),
            std::string("\x00\x00\x00\x00\x00\x00\x00\x00\x03\x00\x00\x00\x03", 13));
  EXPECT_EQ(bytes.substr(31, 3), std::string("\x83\x61\x00", 3));
  // The empty file: offset 3 (after the first entry's 3 bytes), both sizes 0.
  EXPECT_EQ(bytes.substr(34, 13),
            std::string("\x00\x00\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00", 13));
  EXPECT_EQ(bytes.substr(47), "abc");
  EXPECT_NE(console_.find(std::string("圧縮後　：         0 bytes (0%)\n")), std::string::npos);
}

TEST_F(ArchiveWriterTest, ExactlyOneChunkShowsAHundredThenZero) {
  test::writeFile(root() / "big", std::string(COPY_CHUNK_SIZE, 'q'));
  ASSERT_TRUE(build({{"big", "big"}}).isOk());
  EXPECT_NE(console_.find(std::string("\r残り100%\r残り  0%") + "\r"), std::string::npos);
  EXPECT_EQ(fs::file_size(archive()), 6u + 3u + 14u + COPY_CHUNK_SIZE);
}

TEST_F(ArchiveWriterTest, VanishedFileFailsAndKeepsTheEarlierArchive) {
  test::writeFile(archive(), std::string("earlier archive"));
  test::writeFile(root() / "here.txt", std::string("x"));
  const Status status = build({{"here.txt", "here.txt"}, {"gone.txt", "gone.txt"}});
  ASSERT_FALSE(status.isOk());
  EXPECT_EQ(status.kind(), Status::Kind::Failed);
  EXPECT_NE(statusText(status).find("gone.txt"), std::string::npos);
  EXPECT_EQ(test::readFile(archive()), "earlier archive");
  EXPECT_EQ(strayFiles(), std::vector<std::string>{});
}

TEST_F(ArchiveWriterTest, UncreatableArchiveIsAFailureNamingIt) {
  test::writeFile(root() / "a", std::string("x"));
  const std::string missingFolder = (dir_ / "no" / "such" / "out.kup").string();
  const Status status = buildArchive({missingFolder, root().string(), 2}, {{"a", "a"}}, events_);
  ASSERT_FALSE(status.isOk());
  EXPECT_NE(statusText(status).find("out.kup.part"), std::string::npos);
}

// A tree of every kind: palette bitmaps large enough for the piece parse, pictures, a
// bitmap that is stored, files of 0 bytes and of exactly one copy chunk, small text, and
// more than the 8 MiB a run that replaces an archive sends to the disk as it goes.
std::vector<CollectedFile> writeEveryKind(const fs::path& root) {
  std::vector<CollectedFile> files;
  auto add = [&](const std::string& name, const std::vector<std::uint8_t>& bytes) {
    test::writeFile(root / name, bytes);
    files.push_back({name, name});
  };
  const test::BmpLayout palette{.bitCount = 8, .colorsUsed = 256};
  for (unsigned i = 0; i < 3; ++i) {
    add("pal" + std::to_string(i) + ".bmp",
        test::makeBmp(test::randomPicture(700, 400 + 50 * i, i, 2), palette));
    add("pic" + std::to_string(i) + ".bmp", test::makeBmp(test::randomPicture(90, 60, i, 40)));
    add("note" + std::to_string(i) + ".txt", std::vector<std::uint8_t>(100 + i, 'n'));
  }
  add("alpha.bmp", test::makeBmp(test::randomPicture(8, 8, 9, 9),
                                 {.bitCount = 32, .fourthByte = [](std::size_t i) {
                                    return static_cast<std::uint8_t>(i);
                                  }}));
  add("empty", {});
  add("chunk.bin", std::vector<std::uint8_t>(COPY_CHUNK_SIZE, 'c'));
  add("large.bin", std::vector<std::uint8_t>(std::size_t{9} << 20, 'l'));
  return files;
}

// The first run writes a new archive, the others replace it.
TEST_F(ArchiveWriterTest, EveryNumberOfThreadsAndAnyBudgetGiveTheSameArchiveAndLines) {
  const std::vector<CollectedFile> files = writeEveryKind(root());
  ASSERT_TRUE(build(files, 1).isOk());
  const std::string bytes = test::readFile(archive());
  const std::string lines = console_;
  for (const unsigned jobs : {2u, 3u, 4u}) {
    for (const std::size_t budget : {std::size_t{0}, std::size_t{100000}, std::size_t{1} << 28}) {
      console_.clear();
      ASSERT_TRUE(build(files, jobs, budget).isOk());
      EXPECT_EQ(test::readFile(archive()), bytes) << jobs << " threads, budget " << budget;
      EXPECT_EQ(console_, lines) << jobs << " threads, budget " << budget;
    }
  }
  // A working-memory budget that holds no coder, or one: each waits for its turn or for room.
  for (const std::size_t working : {std::size_t{0}, codingWorkingMemory(1) + 1}) {
    console_.clear();
    ASSERT_TRUE(build(files, 8, std::size_t{1} << 28, working).isOk());
    EXPECT_EQ(test::readFile(archive()), bytes) << "working budget " << working;
    EXPECT_EQ(console_, lines) << "working budget " << working;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(start()), fs::directory_iterator()), 0);
}

// Coders wait for working memory: however many threads there are, no more than the budget
// (and the coder whose turn it is, which never waits) is at work at once.
TEST_F(ArchiveWriterTest, CodersKeepToTheWorkingMemoryBudget) {
  const test::BmpLayout palette{.bitCount = 8, .colorsUsed = 256};
  const auto bitmap = test::makeBmp(test::randomPicture(300, 200, 1, 2), palette);
  std::vector<PipelineEntry> entries;
  for (int i = 0; i < 24; ++i) {
    const std::string name = "p" + std::to_string(i) + ".bmp";
    test::writeFile(root() / name, bitmap);
    entries.push_back({name, (root() / name).string()});
  }
  const std::size_t share = codingWorkingMemory(bitmap.size());
  PackPipeline pipeline(entries, {.threads = 16, .workingBudget = 2 * share});
  SilentPackListener quiet;
  std::uint64_t coded = 0;
  class CountingSink final : public ByteSink {
   public:
    explicit CountingSink(std::uint64_t& count) : count_(count) {}
    bool put(std::span<const std::uint8_t> bytes) override {
      count_ += bytes.size();
      return true;
    }

   private:
    std::uint64_t& count_;
  } sink(coded);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const PipelineOutcome outcome = pipeline.take(i, quiet, sink);
    ASSERT_TRUE(outcome.status.isOk()) << i;
    EXPECT_EQ(outcome.type, ENTRY_LZSS);
  }
  EXPECT_GT(coded, 0u);
  EXPECT_GE(pipeline.peakWorkingMemory(), share);
  EXPECT_LE(pipeline.peakWorkingMemory(), 3 * share);  // two by the budget, one in its turn
}

std::size_t threadsOfThisProcess() {
  const fs::path tasks = "/proc/self/task";
  if (!fs::exists(tasks)) return 0;
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(tasks), fs::directory_iterator()));
}

TEST_F(ArchiveWriterTest, FailureInTheMiddleWhileLaterEntriesAreCodedEndsTheRunAsOneThreadWould) {
  std::vector<CollectedFile> files = writeEveryKind(root());
  files.insert(files.begin() + 4, {"gone.txt", "gone.txt"});
  test::writeFile(archive(), std::string("earlier archive"));
  const std::size_t threadsBefore = threadsOfThisProcess();
  const Status alone = build(files, 1);
  const std::string lines = console_;
  for (const unsigned jobs : {2u, 4u}) {
    console_.clear();
    const Status status = build(files, jobs);
    ASSERT_FALSE(status.isOk());
    EXPECT_EQ(statusText(status), statusText(alone));
    EXPECT_NE(statusText(status).find("gone.txt"), std::string::npos);
    EXPECT_EQ(console_, lines);  // every line up to the failed entry's turn, nothing after
    EXPECT_EQ(test::readFile(archive()), "earlier archive");
    EXPECT_EQ(test::namesEndingIn(archive().parent_path(), ".part"), std::vector<std::string>{});
    EXPECT_EQ(threadsOfThisProcess(), threadsBefore);  // every thread joined
  }
}

TEST(ArchiveFormatTest, NormalizationLowersAsciiAndTurnsSlashes) {
  EXPECT_EQ(normalizeName("Sub/Dir\\FILE.BMP"), "sub\\dir\\file.bmp");
  EXPECT_EQ(normalizeName("\x95\x5c\x83\x5a"), "\x95\x5c\x83\x7a");  // 表セ: trail bytes too
  EXPECT_EQ(normalizeName("@[`{"), "@[`{");                          // neighbours of A..Z stay
}

}  // namespace
}  // namespace kupack
