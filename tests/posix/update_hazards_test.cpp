// Updating an archive when something goes wrong midway: a source that fails, a full disk, a
// signal, the old archive changing under the run. The old archive must stay whole and no
// part file may be left.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "tests/posix/held_run.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;
using test::contains;

// The runs here show kupack's Japanese texts as they have always been.
test::RunResult runKupack(const std::vector<std::string>& args, const fs::path& dir,
                          const std::string& input = {}) {
  return test::runKupack(args, dir, input, test::JAPANESE);
}
using test::said;

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() & 0xFF);
  return bytes;
}

class UpdateHazardsTest : public ::testing::Test {
 protected:
  fs::path archive() const { return dir_ / "game.kup"; }

  void packOld() {
    test::writeFile(dir_ / "old" / "a.bin", randomBytes(200000, 1));
    test::writeFile(dir_ / "old" / "b.txt", std::string("b"));
    ASSERT_EQ(runKupack({"-q", "old", "game.kup"}, dir_.path()).exitCode, 0);
  }

  // Starts an update whose many new files fill the output pipe, and waits (bounded) until
  // its part file exists.
  std::unique_ptr<test::HeldRun> startHeldUpdate() {
    for (int i = 0; i < 800; ++i)
      test::writeFile(dir_ / "patch" / ("f" + std::to_string(i) + ".txt"), std::string(64, 'x'));
    auto run = std::make_unique<test::HeldRun>(dir_.path(),
                                               std::vector<std::string>{"-u", "game.kup", "patch"});
    bool writing = false;
    for (int i = 0; i < 2000 && run->started() && !writing; ++i) {
      writing = !test::namesEndingIn(dir_.path(), ".part").empty();
      if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(writing);
    return run;
  }

  test::TempDir dir_;
};

TEST_F(UpdateHazardsTest, FailingSourceLeavesTheOldArchiveAndNoPartFile) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  packOld();
  const std::string before = test::readFile(archive());
  // A link to a file whose reported size (0) is not its content fails when its turn comes.
  test::writeFile(dir_ / "patch" / "a.txt", std::string("a"));
  ASSERT_TRUE(test::makeFileLink("/proc/self/status", dir_ / "patch" / "status"));
  const auto run = runKupack({"-u", "game.kup", "patch"}, dir_.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(contains(run.err, said("は読み込み中に変更されました。"))) << run.err;
  EXPECT_EQ(test::readFile(archive()), before);
  EXPECT_EQ(test::namesEndingIn(dir_.path(), ".part"), std::vector<std::string>{});
}

TEST_F(UpdateHazardsTest, FullDiskLeavesTheOldArchiveAndNoPartFile) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const fs::path small = dir_ / "small";
  fs::create_directories(small);
  if (mount("kupack-test", small.c_str(), "tmpfs", 0, "size=512k") != 0)
    GTEST_SKIP() << "this system does not let the test mount a tmpfs";
  struct Unmount {
    fs::path path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{small};
  packOld();
  fs::copy_file(archive(), small / "game.kup");
  const std::string before = test::readFile(small / "game.kup");
  // The kept 200 kB fit beside the old archive; with the new 200 kB they do not.
  test::writeFile(dir_ / "patch" / "c.bin", randomBytes(200000, 2));
  const auto run = runKupack({"-u", "small/game.kup", "patch"}, dir_.path());
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_TRUE(contains(run.err, said("に書き込めません"))) << run.err;
  EXPECT_EQ(test::readFile(small / "game.kup"), before);
  EXPECT_EQ(test::namesEndingIn(small, ".part"), std::vector<std::string>{});
}

TEST_F(UpdateHazardsTest, SignalMidRunLeavesTheOldArchive) {
  packOld();
  const std::string before = test::readFile(archive());
  for (const int signalNumber : {SIGINT, SIGTERM}) {
    auto run = startHeldUpdate();
    const int status = run->signalAndWait(signalNumber);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << signalNumber;
    EXPECT_EQ(test::readFile(archive()), before);
    EXPECT_EQ(test::namesEndingIn(dir_.path(), ".part"), std::vector<std::string>{});
  }
}

TEST_F(UpdateHazardsTest, OldArchiveChangedDuringTheRunIsNotReplaced) {
  packOld();
  auto run = startHeldUpdate();
  std::string changed = test::readFile(archive()) + "appended";
  test::writeFile(archive(), changed);
  const int status = run->drainAndWait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(test::readFile(archive()), changed);
  EXPECT_EQ(test::namesEndingIn(dir_.path(), ".part"), std::vector<std::string>{});
}

}  // namespace
}  // namespace kupack
