// The mount through the kernel: `kupack --mount ARCHIVE DIR -f` as a child process shows
// the tree `kupack -x` writes, byte for byte, reads at random offsets, and ends within
// bounded time on `fusermount3 -u` and on Ctrl-C. Relative names survive the move to the
// background, the archive's own folder can be mounted over, and dead or taken mount
// points are refused with a word on what to do. Skipped where FUSE cannot be used.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "tests/bmp_builder.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool isMountPoint(const fs::path& folder) {
  struct stat inside {};
  struct stat above {};
  return stat(folder.c_str(), &inside) == 0 && stat(folder.parent_path().c_str(), &above) == 0 &&
         inside.st_dev != above.st_dev;
}

// `kupack --mount ARCHIVE DIR -f` running as a child; unmounted and ended, whatever
// happens, when it goes out of scope.
class ForegroundMount {
 public:
  // `folder` absolute, for the checks here; `given` as the command is given it, from
  // `workingFolder`.
  ForegroundMount(const fs::path& archive, const fs::path& folder, const fs::path& log,
                  const fs::path& workingFolder = {}, const std::string& given = {})
      : folder_(folder) {
    pid_ = fork();
    if (pid_ == 0) {
      if (!workingFolder.empty() && chdir(workingFolder.c_str()) != 0) _exit(126);
      const std::string mountPoint = given.empty() ? folder.string() : given;
      const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, 1);
      dup2(out, 2);
      execl(KUPACK_BINARY, "kupack", "--mount", archive.c_str(), mountPoint.c_str(), "-f",
            static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~ForegroundMount() {
    if (isMountPoint(folder_)) {
      test::runCommand({"fusermount3", "-u", "-z", folder_.string()}, folder_.parent_path());
    }
    if (pid_ > 0 && !exitStatus_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  ForegroundMount(const ForegroundMount&) = delete;
  ForegroundMount& operator=(const ForegroundMount&) = delete;

  pid_t pid() const { return pid_; }

  // Waits up to `limit` for the mount to show; false when the child ended or time ran out.
  bool waitUntilLive(std::chrono::milliseconds limit) {
    for (auto waited = 0ms; waited < limit; waited += 10ms) {
      if (isMountPoint(folder_)) return true;
      if (ended()) return false;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  // The child's exit status once it has ended within `limit`, else nullopt.
  std::optional<int> waitForExit(std::chrono::milliseconds limit) {
    for (auto waited = 0ms; waited < limit && !ended(); waited += 10ms) {
      std::this_thread::sleep_for(10ms);
    }
    return exitStatus_;
  }

 private:
  bool ended() {
    if (exitStatus_) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }

  fs::path folder_;
  pid_t pid_ = -1;
  std::optional<int> exitStatus_;
};

// The process serving `archive` in the background: the one whose command line names it
// after "--mount". -1 when there is none.
pid_t serverOf(const fs::path& archive) {
  for (const auto& process : fs::directory_iterator("/proc")) {
    const std::string name = process.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string line = test::readFile(process.path() / "cmdline");
    if (test::contains(line, std::string("--mount\0", 8) + archive.string() + '\0')) {
      return static_cast<pid_t>(std::stol(name));
    }
  }
  return -1;
}

// Waits up to `limit` for `done()`; its last answer.
template <typename Condition>
bool waitFor(std::chrono::milliseconds limit, Condition done) {
  for (auto waited = 0ms; waited < limit; waited += 10ms) {
    if (done()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return done();
}

// Relative path -> contents ("<folder>" for folders) of everything below `root`.
std::map<std::string, std::string> treeContents(const fs::path& root) {
  std::map<std::string, std::string> contents;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(item.path(), root).string();
    contents[relative] = item.is_directory() ? "<folder>" : test::readFile(item.path());
  }
  return contents;
}

class MountKernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no usable /dev/fuse here";
    if (test::runCommand({"sh", "-c", "command -v fusermount3"}, dir_.path()).exitCode != 0) {
      GTEST_SKIP() << "fusermount3 is not installed";
    }
    const fs::path source = dir_ / "source";
    fs::copy(fs::path(KUPACK_SOURCE_DIR) / "examples" / "assets", source,
             fs::copy_options::recursive);
    std::mt19937 random(18);
    std::string big(3 << 20, '\0');
    for (char& c : big) c = static_cast<char>(random());
    test::writeFile(source / "data" / "big.bin", big);
    test::writeFile(source / "bg" / "photo.bmp",
                    test::makeBmp(test::randomPicture(301, 203, 18, 6)));
    ASSERT_EQ(test::runKupack({source.string(), archive().string()}, dir_.path()).exitCode, 0);
    ASSERT_EQ(
        test::runKupack({"-x", archive().string(), "-C", extracted().string()}, dir_.path()).exitCode, 0);
    fs::create_directory(mountPoint());
  }

  fs::path archive() const { return dir_ / "assets.kup"; }
  fs::path extracted() const { return dir_ / "extracted"; }
  fs::path mountPoint() const { return dir_ / "mnt"; }
  fs::path log() const { return dir_ / "mount.log"; }

  // Empty once the mount is live; otherwise why not. A kernel that refuses this process any
  // FUSE mount (a container without the right to mount) is no fault of kupack's: the command
  // then says so and exits, and the test is skipped with the command's words.
  std::string startMount(ForegroundMount& mount, bool& refusedHere) const {
    refusedHere = false;
    if (mount.waitUntilLive(60s)) return {};
    const std::string said = test::readFile(log());
    refusedHere = mount.waitForExit(1s).has_value() &&
                  (said.find("Operation not permitted") != std::string::npos ||
                   said.find("Permission denied") != std::string::npos);
    return said.empty() ? std::string("the mount did not come up") : said;
  }

  test::TempDir dir_;
};

TEST_F(MountKernelTest, ShowsTheExtractedTreeAndEndsOnUnmount) {
  ForegroundMount mount(archive(), mountPoint(), log());
  bool refusedHere = false;
  if (const std::string problem = startMount(mount, refusedHere); !problem.empty()) {
    if (refusedHere) GTEST_SKIP() << "this system refuses FUSE mounts: " << problem;
    FAIL() << problem;
  }

  EXPECT_TRUE(treeContents(mountPoint()) == treeContents(extracted()));
  for (const char* name : {"data/big.bin", "bg/photo.bmp"}) {
    const std::string expected = test::readFile(extracted() / name);
    std::ifstream in(mountPoint() / name, std::ios::binary);
    std::mt19937 random(7);
    for (int i = 0; i < 40; ++i) {
      const std::size_t offset = random() % (expected.size() + 100);
      const std::size_t length = 1 + random() % 70000;
      std::string got(length, '\0');
      in.clear();
      in.seekg(static_cast<std::streamoff>(offset));
      in.read(got.data(), static_cast<std::streamsize>(length));
      got.resize(static_cast<std::size_t>(in.gcount()));
      EXPECT_TRUE(got == expected.substr(std::min(offset, expected.size()), length))
          << name << " at " << offset;
    }
  }
  EXPECT_EQ(fs::file_size(mountPoint() / "bg" / "photo.bmp"),
            fs::file_size(extracted() / "bg" / "photo.bmp"));

  EXPECT_EQ(test::runCommand({"fusermount3", "-u", mountPoint().string()}, dir_.path()).exitCode,
            0);
  EXPECT_EQ(mount.waitForExit(30s), std::optional<int>(0)) << test::readFile(log());
  EXPECT_FALSE(isMountPoint(mountPoint()));
}

TEST_F(MountKernelTest, CtrlCUnmountsAndEnds) {
  ForegroundMount mount(archive(), mountPoint(), log());
  bool refusedHere = false;
  if (const std::string problem = startMount(mount, refusedHere); !problem.empty()) {
    if (refusedHere) GTEST_SKIP() << "this system refuses FUSE mounts: " << problem;
    FAIL() << problem;
  }
  EXPECT_EQ(test::readFile(mountPoint() / "readme.txt"),
            test::readFile(extracted() / "readme.txt"));
  kill(mount.pid(), SIGINT);
  EXPECT_EQ(mount.waitForExit(30s), std::optional<int>(0)) << test::readFile(log());
  EXPECT_FALSE(isMountPoint(mountPoint()));
}

// A relative DIR and a relative TMPDIR, in the foreground (Ctrl-C) and in the background
// (SIGTERM): entries go to temporary files (no cache), and the ending unmounts.
TEST_F(MountKernelTest, RelativeFolderAndTemporaryFolderSurviveTheBackground) {
  const std::string photo = test::readFile(extracted() / "bg" / "photo.bmp");
  fs::create_directory(dir_ / "scratch");  // no such folder below "/"
  for (const bool foreground : {true, false}) {
    SCOPED_TRACE(foreground ? "foreground, Ctrl-C" : "background, SIGTERM");
    pid_t server = -1;
    std::optional<ForegroundMount> child;
    if (foreground) {
      setenv("TMPDIR", "scratch", 1);
      child.emplace(archive(), mountPoint(), log(), dir_.path(), "mnt");
      unsetenv("TMPDIR");
      bool refusedHere = false;
      if (const std::string problem = startMount(*child, refusedHere); !problem.empty()) {
        if (refusedHere) GTEST_SKIP() << "this system refuses FUSE mounts: " << problem;
        FAIL() << problem;
      }
      server = child->pid();
    } else {
      const test::RunResult run =
          test::runCommand({"env", "TMPDIR=scratch", KUPACK_BINARY, "--mount", archive().string(),
                            "mnt", "-o", "cache=0"},
                           dir_.path());
      ASSERT_EQ(run.exitCode, 0) << run.err;
      ASSERT_TRUE(isMountPoint(mountPoint()));
      server = serverOf(archive());
      ASSERT_GT(server, 0);
    }
    EXPECT_TRUE(test::readFile(mountPoint() / "bg" / "photo.bmp") == photo);
    kill(server, foreground ? SIGINT : SIGTERM);
    if (foreground) {
      EXPECT_EQ(child->waitForExit(30s), std::optional<int>(0)) << test::readFile(log());
    } else {
      EXPECT_TRUE(waitFor(30s, [&] { return kill(server, 0) != 0; }));
    }
    struct stat info {};
    EXPECT_EQ(stat(mountPoint().c_str(), &info), 0) << std::strerror(errno);
    EXPECT_FALSE(isMountPoint(mountPoint()));
    if (isMountPoint(mountPoint()) || stat(mountPoint().c_str(), &info) != 0) {
      test::runCommand({"fusermount3", "-u", "-z", mountPoint().string()}, dir_.path());
    }
  }
}

// `cd game && kupack --mount game.kup .`: the archive's name now leads into the mount, yet
// every entry reads as extracted.
TEST_F(MountKernelTest, MountsOverTheArchivesOwnFolder) {
  const fs::path game = dir_ / "game";
  fs::create_directory(game);
  fs::copy_file(archive(), game / "game.kup");
  ForegroundMount mount("game.kup", game, log(), game, ".");
  bool refusedHere = false;
  if (const std::string problem = startMount(mount, refusedHere); !problem.empty()) {
    if (refusedHere) GTEST_SKIP() << "this system refuses FUSE mounts: " << problem;
    FAIL() << problem;
  }
  EXPECT_FALSE(fs::exists(game / "game.kup"));
  for (const char* name : {"readme.txt", "bg/photo.bmp", "data/big.bin"}) {
    EXPECT_TRUE(test::readFile(game / name) == test::readFile(extracted() / name)) << name;
  }
  EXPECT_FALSE(test::contains(test::readFile(log()), "replaced"));
  EXPECT_EQ(test::runCommand({"fusermount3", "-u", game.string()}, dir_.path()).exitCode, 0);
  EXPECT_EQ(mount.waitForExit(30s), std::optional<int>(0)) << test::readFile(log());
}

// A second mount on a live one, and a mount on the dead one a killed server leaves, are
// refused, saying what stands there and how to clear it.
TEST_F(MountKernelTest, TakenAndDeadMountPointsAreRefused) {
  ForegroundMount mount(archive(), mountPoint(), log());
  bool refusedHere = false;
  if (const std::string problem = startMount(mount, refusedHere); !problem.empty()) {
    if (refusedHere) GTEST_SKIP() << "this system refuses FUSE mounts: " << problem;
    FAIL() << problem;
  }
  test::RunResult run = test::runKupack({"--mount", archive().string(), "mnt"}, dir_.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(test::contains(run.err, "mnt: already a mount point")) << run.err;

  kill(mount.pid(), SIGKILL);
  ASSERT_TRUE(mount.waitForExit(30s).has_value());
  struct stat info {};
  ASSERT_TRUE(waitFor(30s, [&] {
    DIR* listing = opendir(mountPoint().c_str());
    if (listing != nullptr) closedir(listing);
    return listing == nullptr && errno == ENOTCONN;
  }));
  run = test::runKupack({"--mount", archive().string(), "mnt"}, dir_.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(test::contains(run.err, "mnt: a mount whose server has ended")) << run.err;
  EXPECT_TRUE(test::contains(run.err, "fusermount3 -u mnt")) << run.err;
  EXPECT_EQ(test::runCommand({"fusermount3", "-u", "-z", mountPoint().string()}, dir_.path())
                .exitCode,
            0);
  EXPECT_EQ(stat(mountPoint().c_str(), &info), 0);
}

}  // namespace
}  // namespace kupack
