// The mode, owner and group of an archive a run writes: a new archive gets what the umask
// gives, a replaced one keeps what it had (the owner and group where the run may set them).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;

struct stat statusOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info;
}

// Sets the process's umask for as long as it lives (runs started meanwhile inherit it).
class UmaskSet {
 public:
  explicit UmaskSet(mode_t mask) : previous_(umask(mask)) {}
  ~UmaskSet() { umask(previous_); }
  UmaskSet(const UmaskSet&) = delete;
  UmaskSet& operator=(const UmaskSet&) = delete;

 private:
  mode_t previous_;
};

class ArchiveAttributesTest : public ::testing::Test {
 protected:
  void SetUp() override { test::writeFile(dir_ / "tree" / "a.txt", std::string("contents")); }
  void pack(const std::string& archiveName) const {
    const auto run = test::runKupack({"-q", "tree", archiveName}, dir_.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
  }
  test::TempDir dir_;
};

TEST_F(ArchiveAttributesTest, ANewArchiveGetsTheModeTheUmaskGives) {
  for (const auto& [mask, mode] : {std::pair<mode_t, mode_t>{022, 0644}, {002, 0664}, {077, 0600}}) {
    SCOPED_TRACE(testing::Message() << std::oct << "umask " << mask);
    fs::remove(dir_ / "out.kup");
    const UmaskSet masked(mask);
    pack("out.kup");
    EXPECT_EQ(statusOf(dir_ / "out.kup").st_mode & 07777, mode);
  }
}

TEST_F(ArchiveAttributesTest, AReplacedArchiveKeepsItsModeAndThroughALinkItsTargetDoes) {
  const UmaskSet masked(022);
  for (const mode_t mode : {mode_t{0664}, mode_t{0600}, mode_t{0640}, mode_t{0444}}) {
    SCOPED_TRACE(testing::Message() << std::oct << "mode " << mode);
    test::writeFile(dir_ / "out.kup", std::string("earlier archive"));
    ASSERT_EQ(chmod((dir_ / "out.kup").c_str(), mode), 0);
    pack("out.kup");
    EXPECT_EQ(statusOf(dir_ / "out.kup").st_mode & 07777, mode);
    EXPECT_NE(test::readFile(dir_ / "out.kup"), "earlier archive");
  }
  test::writeFile(dir_ / "target.kup", std::string("earlier archive"));
  ASSERT_EQ(chmod((dir_ / "target.kup").c_str(), 0660), 0);
  fs::create_symlink("target.kup", dir_ / "link.kup");
  pack("link.kup");
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.kup"));
  EXPECT_EQ(statusOf(dir_ / "target.kup").st_mode & 07777, mode_t{0660});
}

TEST_F(ArchiveAttributesTest, AReplacedArchiveOfAnotherUserKeepsItsOwnerAndGroup) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  const uid_t owner = 12345;
  const gid_t group = 23456;
  for (const mode_t mode : {mode_t{0664}, mode_t{04755}}) {
    SCOPED_TRACE(testing::Message() << std::oct << "mode " << mode);
    test::writeFile(dir_ / "out.kup", std::string("earlier archive"));
    ASSERT_EQ(chown((dir_ / "out.kup").c_str(), owner, group), 0);
    ASSERT_EQ(chmod((dir_ / "out.kup").c_str(), mode), 0);
    pack("out.kup");
    const struct stat after = statusOf(dir_ / "out.kup");
    EXPECT_EQ(after.st_uid, owner);
    EXPECT_EQ(after.st_gid, group);
    EXPECT_EQ(after.st_mode & 07777, mode);
  }
}

}  // namespace
}  // namespace kupack
