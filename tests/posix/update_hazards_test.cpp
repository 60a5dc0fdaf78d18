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

#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;
using test::contains;
using test::runKupack;
using test::sjis;

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() & 0xFF);
  return bytes;
}

std::vector<std::string> partFiles(const fs::path& folder) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().ends_with(".part"))
      found.push_back(entry.path().filename().string());
  }
  return found;
}

// kupack with its standard output on a pipe that is read only when asked: once the pipe is
// full the run waits in the middle of writing its archive.
class HeldRun {
 public:
  HeldRun(const fs::path& workingDir, const std::vector<std::string>& args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], STDOUT_FILENO);
      close(fds[0]);
      close(fds[1]);
      if (chdir(workingDir.c_str()) != 0) _exit(127);
      std::vector<char*> argv{const_cast<char*>(KUPACK_BINARY)};
      for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(KUPACK_BINARY, argv.data());
      _exit(127);
    }
    close(fds[1]);
    output_ = fds[0];
  }
  ~HeldRun() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) close(output_);
  }
  HeldRun(const HeldRun&) = delete;
  HeldRun& operator=(const HeldRun&) = delete;

  bool started() const { return pid_ > 0; }
  int signalAndWait(int signalNumber) {
    kill(pid_, signalNumber);
    return waitForEnd();
  }
  // Reads the rest of the output and returns the wait status.
  int drainAndWait() {
    char buffer[4096];
    while (read(output_, buffer, sizeof buffer) > 0) {
    }
    return waitForEnd();
  }

 private:
  int waitForEnd() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  pid_t pid_ = -1;
  int output_ = -1;
};

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
  std::unique_ptr<HeldRun> startHeldUpdate() {
    for (int i = 0; i < 800; ++i)
      test::writeFile(dir_ / "patch" / ("f" + std::to_string(i) + ".txt"), std::string(64, 'x'));
    auto run =
        std::make_unique<HeldRun>(dir_.path(), std::vector<std::string>{"-u", "game.kup", "patch"});
    bool writing = false;
    for (int i = 0; i < 2000 && run->started() && !writing; ++i) {
      writing = !partFiles(dir_.path()).empty();
      if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(writing);
    return run;
  }

  test::TempDir dir_;
};

TEST_F(UpdateHazardsTest, FailingSourceLeavesTheOldArchiveAndNoPartFile) {
  packOld();
  const std::string before = test::readFile(archive());
  // A link to a file whose reported size (0) is not its content fails when its turn comes.
  test::writeFile(dir_ / "patch" / "a.txt", std::string("a"));
  ASSERT_TRUE(test::makeFileLink("/proc/self/status", dir_ / "patch" / "status"));
  const auto run = runKupack({"-u", "game.kup", "patch"}, dir_.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(contains(run.err, sjis("は読み込み中に変更されました。"))) << run.err;
  EXPECT_EQ(test::readFile(archive()), before);
  EXPECT_EQ(partFiles(dir_.path()), std::vector<std::string>{});
}

TEST_F(UpdateHazardsTest, FullDiskLeavesTheOldArchiveAndNoPartFile) {
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
  EXPECT_TRUE(contains(run.err, sjis("に書き込めません"))) << run.err;
  EXPECT_EQ(test::readFile(small / "game.kup"), before);
  EXPECT_EQ(partFiles(small), std::vector<std::string>{});
}

TEST_F(UpdateHazardsTest, SignalMidRunLeavesTheOldArchive) {
  packOld();
  const std::string before = test::readFile(archive());
  for (const int signalNumber : {SIGINT, SIGTERM}) {
    auto run = startHeldUpdate();
    const int status = run->signalAndWait(signalNumber);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << signalNumber;
    EXPECT_EQ(test::readFile(archive()), before);
    EXPECT_EQ(partFiles(dir_.path()), std::vector<std::string>{});
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
  EXPECT_EQ(partFiles(dir_.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace kupack
