// The mount through the kernel: `kupack --mount ARCHIVE DIR -f` as a child process shows
// the tree `kupack -x` writes, byte for byte, reads at random offsets, and ends within
// bounded time on `fusermount3 -u` and on Ctrl-C. Skipped where FUSE cannot be used.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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
  ForegroundMount(const fs::path& archive, const fs::path& folder, const fs::path& log)
      : folder_(folder) {
    pid_ = fork();
    if (pid_ == 0) {
      const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, 1);
      dup2(out, 2);
      execl(KUPACK_BINARY, "kupack", "--mount", archive.c_str(), folder.c_str(), "-f",
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
    if (mount.waitUntilLive(10s)) return {};
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
  EXPECT_EQ(mount.waitForExit(3s), std::optional<int>(0)) << test::readFile(log());
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
  EXPECT_EQ(mount.waitForExit(3s), std::optional<int>(0)) << test::readFile(log());
  EXPECT_FALSE(isMountPoint(mountPoint()));
}

}  // namespace
}  // namespace kupack
