// Packing in a world that does not hold still: whole runs of kupack against sources that
// change while read, planted links, archive paths that are no regular file, signals and a
// closed console, unreadable folders, and names extraction could not give back.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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

class PackHazardsTest : public ::testing::Test {
 protected:
  fs::path tree() const { return dir_ / "tree"; }
  fs::path archive() const { return dir_ / "out.kup"; }

  // Nothing of a run's own is left beside the archive or in the start folder.
  void expectNoLeftovers() const {
    EXPECT_EQ(test::namesEndingIn(dir_.path(), ".part"), std::vector<std::string>{});
    EXPECT_EQ(test::namesEndingIn(dir_.path(), ".tmp"), std::vector<std::string>{});
  }

  // `kupack -t` of the archive against the tree passes.
  void expectArchiveMatchesTree(const fs::path& archivePath) const {
    const auto check = runKupack({"-t", archivePath.string(), "tree"}, dir_.path());
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
  }

  // A tree of `count` small files, enough for a run's console output to fill a pipe.
  void writeManyFiles(int count) const {
    for (int i = 0; i < count; ++i)
      test::writeFile(tree() / ("f" + std::to_string(i) + ".txt"), std::string(64, 'x'));
  }

  test::TempDir dir_;
};

TEST_F(PackHazardsTest, FileWhoseSizeIsNotItsContentFailsTheRunNamingIt) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  const std::string changed = said("は読み込み中に変更されました。");
  // A link to a file whose reported size (0) is not its content.
  test::writeFile(tree() / "a.txt", std::string("a"));
  ASSERT_TRUE(test::makeFileLink("/proc/self/status", tree() / "status"));
  auto run = runKupack({"tree", "out.kup"}, dir_.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(contains(run.err, "status" + changed)) << run.err;
  EXPECT_FALSE(fs::exists(archive()));
  expectNoLeftovers();
}

// (Files that change between two reads are packed through the fault-injecting file layer in
// file_faults_test.cpp, read by read, with no thread racing the run.)

TEST_F(PackHazardsTest, FilesTheRunDidNotCreateAreNeitherWrittenNorRemoved) {
  test::writeFile(tree() / "a.txt", std::string("packed"));
  const fs::path outside = dir_ / "outside";
  test::writeFile(outside / "target1", std::string("one"));
  test::writeFile(outside / "target2", std::string("two"));
  test::writeFile(outside / "target3", std::string("three"));
  // The start folder holds the user's own temp.dat, and links under the names the run
  // once used for its scratch files and its partial archive.
  test::writeFile(dir_ / "temp.dat", std::string("mine"));
  ASSERT_TRUE(test::makeFileLink(outside / "target1", dir_ / "temp2.dat"));
  ASSERT_TRUE(test::makeFileLink(outside / "target2", dir_ / "out.kup.part"));
  // The archive's own name is a link to a regular file: the file is replaced, the link stays.
  ASSERT_TRUE(test::makeFileLink(outside / "target3", archive()));

  const auto run = runKupack({"tree", "out.kup"}, dir_.path());
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(test::readFile(dir_ / "temp.dat"), "mine");
  EXPECT_EQ(test::readFile(outside / "target1"), "one");
  EXPECT_EQ(test::readFile(outside / "target2"), "two");
  EXPECT_TRUE(fs::is_symlink(dir_ / "temp2.dat"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "out.kup.part"));
  EXPECT_TRUE(fs::is_symlink(archive()));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(outside / "target3")));
  expectArchiveMatchesTree(outside / "target3");
  EXPECT_EQ(test::namesEndingIn(outside, ".part"), std::vector<std::string>{});
  EXPECT_EQ(test::namesEndingIn(dir_.path(), ".part"), std::vector<std::string>{"out.kup.part"});
  EXPECT_EQ(test::namesEndingIn(dir_.path(), ".tmp"), std::vector<std::string>{});
}

TEST_F(PackHazardsTest, ArchivePathThatIsNoRegularFileIsRefusedBeforeAnyWork) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  test::writeFile(tree() / "a.txt", std::string("a"));
  const fs::path fifo = dir_ / "fifo.kup";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  fs::create_directories(dir_ / "folder.kup");
  ASSERT_TRUE(test::makeFileLink("/dev/null", dir_ / "device.kup"));
  ASSERT_TRUE(test::makeFileLink(dir_ / "nothing", dir_ / "dangling.kup"));
  struct stat deviceBefore {};
  ASSERT_EQ(stat("/dev/null", &deviceBefore), 0);
  std::vector<std::string> names{"fifo.kup", "folder.kup", "device.kup", "dangling.kup"};
  // As root, a device node of our own in the temporary folder (the same device as /dev/full),
  // never the system's: were it not refused, only this node would be replaced.
  const fs::path node = dir_ / "full.kup";
  const bool madeNode = mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0;
  if (madeNode) names.push_back("full.kup");
  for (const std::string& name : names) {
    const auto run = runKupack({"tree", name}, dir_.path());
    EXPECT_EQ(run.exitCode, 1) << name;
    EXPECT_TRUE(contains(run.err, said("は通常のファイルではないので"))) << name << run.out;
    EXPECT_FALSE(contains(run.out, said("アーカイブ作成中です。"))) << name;
  }
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_TRUE(fs::is_directory(dir_ / "folder.kup"));
  EXPECT_TRUE(fs::is_empty(dir_ / "folder.kup"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "device.kup"));
  EXPECT_FALSE(fs::exists(dir_ / "nothing"));
  struct stat deviceAfter {};
  ASSERT_EQ(stat("/dev/null", &deviceAfter), 0);
  EXPECT_TRUE(S_ISCHR(deviceAfter.st_mode));
  EXPECT_EQ(deviceAfter.st_rdev, deviceBefore.st_rdev);
  if (madeNode) {
    struct stat nodeAfter {};
    ASSERT_EQ(lstat(node.c_str(), &nodeAfter), 0);
    EXPECT_TRUE(S_ISCHR(nodeAfter.st_mode));
    EXPECT_EQ(nodeAfter.st_rdev, makedev(1, 7));
  }
  expectNoLeftovers();
}

TEST_F(PackHazardsTest, SignalsEndTheRunWithoutPartialFilesAndKeepTheEarlierArchive) {
  writeManyFiles(800);
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    test::writeFile(archive(), std::string("earlier archive"));
    test::HeldRun run(dir_.path(), {"tree", "out.kup"});
    ASSERT_TRUE(run.started());
    // Wait (bounded) until the partial archive exists; the run then stalls on its output.
    bool writing = false;
    for (int i = 0; i < 2000 && !writing; ++i) {
      writing = !test::namesEndingIn(dir_.path(), ".part").empty();
      if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(writing) << "signal " << signalNumber;
    const int status = run.signalAndWait(signalNumber);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << signalNumber;
    EXPECT_EQ(test::readFile(archive()), "earlier archive");
    expectNoLeftovers();
  }
}

TEST_F(PackHazardsTest, ClosedConsoleNeitherStopsNorSpoilsTheArchive) {
  writeManyFiles(800);
  const std::string command =
      std::string("'") + KUPACK_BINARY + "' tree out.kup | head -c 10 >/dev/null";
  const auto run = test::runCommand({"sh", "-c", command}, dir_.path());
  EXPECT_EQ(run.exitCode, 0) << run.err;
  ASSERT_TRUE(fs::exists(archive()));
  expectArchiveMatchesTree(archive());
  expectNoLeftovers();
}

// Removes the folder `name` below the open folder `parent` and everything in it, by
// descriptors, so that depth is no limit.
void removeBelow(int parent, const char* name) {
  const int folder = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (folder < 0) {
    unlinkat(parent, name, 0);
    return;
  }
  DIR* listing = fdopendir(folder);
  std::vector<std::string> names;
  while (const dirent* found = readdir(listing)) {
    const std::string entry(found->d_name);
    if (entry != "." && entry != "..") names.push_back(entry);
  }
  for (const auto& entry : names) removeBelow(dirfd(listing), entry.c_str());
  closedir(listing);
  unlinkat(parent, name, AT_REMOVEDIR);
}

TEST_F(PackHazardsTest, FolderThatCannotBeListedEndsTheRunWithoutArchive) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  test::writeFile(tree() / "a.txt", std::string("a"));
  test::writeFile(tree() / "locked" / "b.txt", std::string("b"));
  fs::permissions(tree() / "locked", fs::perms::none);
  std::vector<std::string> command{KUPACK_BINARY, "tree", "out.kup"};
  if (geteuid() == 0) {
    // Root reads every folder: the run is made as an ordinary user.
    if (test::runCommand({"sh", "-c", "command -v setpriv"}, dir_.path()).exitCode != 0) {
      fs::permissions(tree() / "locked", fs::perms::owner_all);
      GTEST_SKIP() << "runs as root and setpriv (util-linux) is missing to drop the rights";
    }
    command.insert(command.begin(),
                   {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
    fs::permissions(dir_.path(), fs::perms::all);
    fs::permissions(tree(), fs::perms::all);
    fs::permissions(tree() / "a.txt", fs::perms::all);
  }
  auto run = test::runCommand(command, dir_.path(), "", test::JAPANESE);
  fs::permissions(tree() / "locked", fs::perms::owner_all);
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_TRUE(
      contains(run.err, said("フォルダ" + (tree() / "locked").string() + "/を読み込めません")))
      << run.err;
  EXPECT_FALSE(fs::exists(archive()));

  // A folder whose full path is longer than the system's limit.
  fs::remove_all(tree() / "locked");
  const int top = open(tree().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(top, 0);
  const std::string level(200, 'd');
  int folder = dup(top);
  for (int i = 0; i < 25 && folder >= 0; ++i) {  // 25 levels of 201 bytes: past PATH_MAX
    mkdirat(folder, level.c_str(), 0755);
    const int next = openat(folder, level.c_str(), O_RDONLY | O_DIRECTORY);
    close(folder);
    folder = next;
  }
  ASSERT_GE(folder, 0);
  const int file = openat(folder, "deep.txt", O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(file, 0);
  close(file);
  close(folder);
  run = runKupack({"tree", "out.kup"}, dir_.path());
  removeBelow(top, level.c_str());
  close(top);
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_TRUE(contains(run.err, said("を読み込めません"))) << run.err;
  EXPECT_FALSE(fs::exists(archive()));
}

TEST_F(PackHazardsTest, NamesExtractionCouldNotGiveBackAreRefusedByName) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  test::writeFile(tree() / "a", std::string("file a"));
  test::writeFile(tree() / "A" / "inside.txt", std::string("in folder A"));
  test::writeFile(tree() / "x.", std::string("dot"));
  test::writeFile(tree() / "dots..." / "f.txt", std::string("dots"));
  test::writeFile(tree() / " " / "g.txt", std::string("space"));
  const auto run = runKupack({"tree", "out.kup"}, dir_.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(contains(run.err, said("ファイルaとフォルダAは同じ名前として記録されます。")))
      << run.err;
  const std::string endsBadly = said("の名前に「.」か空白で終わる部分があります。");
  EXPECT_TRUE(contains(run.err, said("ファイルx.") + endsBadly)) << run.err;
  EXPECT_TRUE(contains(run.err, said("ファイルdots.../f.txt") + endsBadly)) << run.err;
  EXPECT_TRUE(contains(run.err, said("ファイル /g.txt") + endsBadly)) << run.err;
  EXPECT_FALSE(fs::exists(archive()));
}

TEST_F(PackHazardsTest, LinksOutOfTheFolderAreNamedAndOnlyThoseElsewhereFollowed) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  // tree/ lies in dir_, beside a neighbour's file and a shared asset folder.
  test::writeFile(tree() / "mod" / "a.txt", std::string("a"));
  test::writeFile(dir_ / "neighbour.txt", std::string("not the user's to publish"));
  test::writeFile(dir_ / "shared" / "s.txt", std::string("shared asset"));
  test::writeFile(dir_ / "linked.txt", std::string("linked file"));
  const fs::path mod = tree() / "mod";
  fs::create_directory_symlink("..", mod / "up");
  fs::create_directory_symlink("../..", mod / "x");
  fs::create_directory_symlink(dir_.path(), mod / "absolute");
  fs::create_directory_symlink(mod, mod / "self");
  fs::create_directory_symlink("../../shared", mod / "assets");
  fs::create_symlink("../../linked.txt", mod / "file-link");
  ASSERT_EQ(mkfifo((mod / "pipe").c_str(), 0644), 0);
  auto run = runKupack({"tree/mod", "out.kup"}, dir_.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  const auto list = test::runKupack({"-l", "out.kup"}, dir_.path());
  EXPECT_TRUE(contains(list.out, "assets\\s.txt")) << list.out;
  EXPECT_TRUE(contains(list.out, "file-link")) << list.out;
  EXPECT_TRUE(contains(list.out, "3 entries")) << list.out;  // a.txt, the asset, the file link
  EXPECT_FALSE(contains(list.out, "neighbour")) << list.out;
  for (const char* link : {"up", "x", "absolute", "self"}) {
    EXPECT_TRUE(
        contains(run.err, said("リンク" + (mod / link).string() +
                               "は選んだフォルダかその上位のフォルダを指すので入りません。")))
        << link << run.err;
  }
  EXPECT_TRUE(contains(
      run.out, said("リンク" + (mod / "assets").string() + "（../../shared）の先を読み込みます。")))
      << run.out;
  EXPECT_TRUE(
      contains(run.out, said("リンク" + (mod / "file-link").string() + "（../../linked.txt）")))
      << run.out;
  EXPECT_TRUE(contains(run.err, said((mod / "pipe").string() +
                                     "は通常のファイルでもフォルダでもないので入れません。")))
      << run.err;

  // Links that cannot be followed end the run by name, as unreadable folders do.
  fs::remove(archive());
  fs::create_symlink("nowhere", mod / "dangling");
  fs::create_symlink("loop2", mod / "loop1");
  fs::create_symlink("loop1", mod / "loop2");
  run = runKupack({"tree/mod", "out.kup"}, dir_.path());
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  for (const char* link : {"dangling", "loop1", "loop2"}) {
    EXPECT_TRUE(
        contains(run.err, said("リンク" + (mod / link).string() + "の先を読み込めません。")))
        << link << run.err;
  }
  EXPECT_TRUE(contains(run.err, said("アーカイブを作成できませんでした。"))) << run.err;
  EXPECT_FALSE(fs::exists(archive()));
  expectNoLeftovers();
}

TEST_F(PackHazardsTest, ColonIsRefusedAndNamesWindowsReservesAreWarnedAbout) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  test::writeFile(tree() / "a:b", std::string("colon"));
  test::writeFile(tree() / "sub:x" / "f.txt", std::string("colon in a folder"));
  test::writeFile(tree() / "aux.txt", std::string("device name"));
  test::writeFile(tree() / "CON" / "x.txt", std::string("device folder"));
  test::writeFile(tree() / "q?.bmp", std::string("question"));
  test::writeFile(tree() / "plain.txt", std::string("plain"));
  auto run = runKupack({"tree", "out.kup"}, dir_.path());
  EXPECT_EQ(run.exitCode, 1);
  const std::string colon = said("の名前に「:」が含まれています。");
  EXPECT_TRUE(contains(run.err, said("ファイルa:b") + colon)) << run.err;
  EXPECT_TRUE(contains(run.err, said("ファイルsub:x/f.txt") + colon)) << run.err;
  EXPECT_FALSE(fs::exists(archive()));

  // Without the colons the run packs everything, warning about each Windows-only problem.
  fs::remove(tree() / "a:b");
  fs::remove_all(tree() / "sub:x");
  run = runKupack({"tree", "out.kup"}, dir_.path());
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::string windows = said("の名前はWindowsでは使えないので、Windowsでは展開できません。");
  for (const char* name : {"aux.txt", "CON/x.txt", "q?.bmp"})
    EXPECT_TRUE(contains(run.err, said(std::string("注意：ファイル") + name) + windows)) << name;
  EXPECT_FALSE(contains(run.err, said("ファイルplain.txt"))) << run.err;
  const auto extract = runKupack({"-x", "out.kup", "-C", "back"}, dir_.path());
  EXPECT_EQ(extract.exitCode, 0) << extract.err;
  EXPECT_EQ(test::readFile(dir_ / "back" / "con" / "x.txt"), "device folder");
}

TEST_F(PackHazardsTest, RawShiftJisNameWithBackslashTrailByteIsPackedAndGivenBack) {
  const std::string rawName("\x95\x5c.txt");  // 表.txt as code page 932 bytes
  test::writeFile(tree() / rawName, std::string("table"));
  const auto run = runKupack({"tree", "out.kup"}, dir_.path());
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_TRUE(contains(test::readFile(archive()), rawName + '\0'));
  const auto extract = runKupack({"-x", "out.kup", "-C", "back"}, dir_.path());
  ASSERT_EQ(extract.exitCode, 0) << extract.out << extract.err;
  EXPECT_EQ(test::readFile(dir_ / "back" / "表.txt"), "table");
}

TEST_F(PackHazardsTest, NamesWithControlCharactersArePrintedSafely) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  test::writeFile(tree() / "sub\x1b[2J" / "a\x1b]0;x\x07.txt", std::string("a"));
  const auto run = runKupack({"tree", "out.kup"}, dir_.path());
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(run.out.find('\x07'), std::string::npos);
  EXPECT_TRUE(contains(run.out, said("ファイルsub?[2j\\a?]0;x?.txt圧縮中(1/1)"))) << run.out;
  EXPECT_TRUE(contains(run.out, "sub?[2J/"));
}

}  // namespace
}  // namespace kupack
