// Whole runs of the kupack program on temporary folder trees.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "codec/lzss_decoder.h"
#include "platform/platform.h"
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

class KupackRunTest : public ::testing::Test {
 protected:
  fs::path tree() const { return dir_ / "tree"; }
  test::TempDir dir_;
};

TEST_F(KupackRunTest, ArgumentModePacksTheTreeAndPrintsTheRun) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  test::writeFile(tree() / "a.txt", std::string("0123456789"));
  test::writeFile(tree() / "sub" / "b.txt", std::string("hi"));
  // The progress figures as a terminal shows them.
  const auto run = runKupack({"--progress", "tree", "out.kup"}, dir_.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");
  const std::string root = tree().string();
  const std::string expected =
      said("フォルダ" + root +
           "の直下もしくはサブディレクトリのファイルをアーカイブにします。しばらくお待ちください。"
           "\n") +
      said("サブディレクトリ" + root + test::withNativeSeparators("/sub/") + "を発見しました。\n") +
      said("サブディレクトリ" + root + test::withNativeSeparators("/sub/") + "終了\n") +
      said("アーカイブ作成中です。\n") + said("ファイルa.txt圧縮中(1/2)\n") +
      said("Type:その他（無圧縮）\n") + said("\r残り100%") + "\r" +
      said("元データ：        10 bytes\n") + said("圧縮後　：        10 bytes (100%)\n") +
      said("\r残り100%") + "\r" + said("ファイルsub\\b.txt圧縮中(2/2)\n") +
      said("Type:その他（無圧縮）\n") + said("\r残り100%") + "\r" +
      said("元データ：         2 bytes\n") + said("圧縮後　：         2 bytes (100%)\n") +
      said("\r残り100%") + "\r" + said("全てのファイルを連結しています。\n") + said("\r残り100%") +
      "\r" + said("終了しました。\n");
  EXPECT_EQ(run.out, expected);
  const std::string archive = test::readFile(dir_ / "out.kup");
  EXPECT_EQ(archive.size(), 6u + (5 + 14) + (9 + 14) + 12);
  EXPECT_EQ(archive.substr(archive.size() - 12), "0123456789hi");
  EXPECT_FALSE(fs::exists(dir_ / "temp.dat"));
  EXPECT_FALSE(fs::exists(dir_ / "temp2.dat"));
}

TEST_F(KupackRunTest, EachCodingPrintsItsLinesInOrder) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  // An 8-bit palette bitmap, a 24-bit picture and a text file.
  std::string palette("BM");
  palette += std::string(52, '\0');
  palette[28] = 8;
  palette += std::string(1024 + 16, 'p');
  std::string picture("BM");
  picture += std::string(52, '\0');
  picture[10] = 54;
  picture[14] = 40;
  picture[18] = 2;                                            // width 2
  picture[22] = 1;                                            // height 1
  picture[26] = 1;                                            // planes
  picture[28] = 24;                                           // bits per pixel
  picture += std::string("\x0a\x14\x1e\x0b\x12\x1e\0\0", 8);  // the 2 x 1 picture of the tests
  test::writeFile(tree() / "a.bmp", palette);
  test::writeFile(tree() / "b.bmp", picture);
  test::writeFile(tree() / "c.txt", std::string("text"));
  const auto run = runKupack({"tree", "out.kup", "--progress"}, dir_.path());
  ASSERT_EQ(run.exitCode, 0);
  const std::string body = run.out.substr(run.out.find(said("ファイルa.bmp")));
  const std::string copied = said("\r残り100%") + "\r";
  EXPECT_EQ(body,
            said("ファイルa.bmp圧縮中(1/3)\n") + said("Type:256色BMP（変形LZSS形式）\n") +
                said("元データ：      1094 bytes\n") + said("圧縮後　：       113 bytes (10%)\n") +
                copied + said("ファイルb.bmp圧縮中(2/3)\n") + said("Type:24bit-BMP（SPB形式）\n") +
                said("元データ：        62 bytes\n") + said("圧縮後　：        11 bytes (17%)\n") +
                copied + said("ファイルc.txt圧縮中(3/3)\n") + said("Type:その他（無圧縮）\n") +
                copied + said("元データ：         4 bytes\n") +
                said("圧縮後　：         4 bytes (100%)\n") + copied +
                said("全てのファイルを連結しています。\n") + copied + said("終了しました。\n"));
  const std::string archive = test::readFile(dir_ / "out.kup");
  // The LZSS entry decodes to the bitmap file; the SPB entry is the documented stream.
  std::vector<std::uint8_t> decoded;
  Status status = Status::ok();
  const std::string lzss = archive.substr(6 + 3 * 19, 113);
  ASSERT_TRUE((status = decodeLzss(std::vector<std::uint8_t>(lzss.begin(), lzss.end()),
                                   palette.size(), decoded))
                  .isOk());
  EXPECT_EQ(std::string(decoded.begin(), decoded.end()), palette);
  EXPECT_TRUE(contains(archive, std::string("\x00\x02\x00\x01\x0a\xe8\x14\x30\x00\x3c\x00", 11)));
  EXPECT_EQ(archive.substr(6, 6), std::string("a.bmp\0", 6));
  EXPECT_EQ(archive[12], 2);               // LZSS
  EXPECT_EQ(archive[6 + 19 + 6], 1);       // SPB
  EXPECT_EQ(archive[6 + 19 + 19 + 6], 0);  // stored
}

TEST_F(KupackRunTest, WithoutArchiveNameWritesFolderKupBesideIt) {
  test::writeFile(tree() / "a", std::string("x"));
  ASSERT_EQ(runKupack({"tree"}, dir_.path()).exitCode, 0);
  const std::string first = test::readFile(dir_ / "tree.kup");
  ASSERT_EQ(first.size(), 6u + 15 + 1);
  EXPECT_FALSE(fs::exists(tree() / "arc.kup"));
  // "." names the folder by its own name, in its parent.
  ASSERT_EQ(runKupack({"."}, tree()).exitCode, 0);
  EXPECT_EQ(test::readFile(dir_ / "tree.kup"), first);
}

TEST_F(KupackRunTest, StartFolderInsideTheTreeIsPackedAndLeftAsItWas) {
  // Started inside the tree's subfolder, the run writes nothing there: its files, whatever
  // their names, are the user's and are packed.
  test::writeFile(tree() / "work" / "temp.dat", std::string("stale"));
  test::writeFile(tree() / "work" / "keep.txt", std::string("k"));
  const auto run = runKupack({"..", "../out.kup"}, tree() / "work");
  ASSERT_EQ(run.exitCode, 0) << run.out;
  const std::string archive = test::readFile(tree() / "out.kup");
  EXPECT_TRUE(contains(archive, "work\\keep.txt"));
  EXPECT_TRUE(contains(archive, std::string("work\\temp.dat")));
  EXPECT_TRUE(contains(archive, "stale"));
  EXPECT_EQ(std::distance(fs::directory_iterator(tree() / "work"), fs::directory_iterator()), 2);
  EXPECT_EQ(test::readFile(tree() / "work" / "temp.dat"), "stale");
}

// Trees of palette bitmaps, pictures and other files, different for each seed.
void writeMixedTree(const fs::path& root, unsigned seed) {
  std::mt19937 random(seed);
  for (unsigned i = 0; i < 6; ++i) {
    std::string palette("BM");
    palette += std::string(52, '\0');
    palette[28] = 8;
    for (int b = 0; b < 200000; ++b) palette += static_cast<char>(random() % 7);
    test::writeFile(root / ("p" + std::to_string(i) + ".bmp"), palette);
    test::writeFile(root / "sub" / ("t" + std::to_string(i) + ".txt"),
                    std::string(5000 + 1000 * i, static_cast<char>('a' + seed % 26)));
  }
}

TEST_F(KupackRunTest, OneThreadAndFourGiveTheSameArchiveAndConsole) {
  writeMixedTree(tree(), 1);
  const auto one = runKupack({"-j", "1", "tree", "one.kup"}, dir_.path());
  const auto four = runKupack({"tree", "--jobs=4", "four.kup"}, dir_.path());
  ASSERT_EQ(one.exitCode, 0) << one.out << one.err;
  ASSERT_EQ(four.exitCode, 0) << four.out << four.err;
  EXPECT_EQ(four.out, one.out);
  EXPECT_EQ(test::readFile(dir_ / "four.kup"), test::readFile(dir_ / "one.kup"));
  EXPECT_EQ(runKupack({"-j", "0", "tree", "x.kup"}, dir_.path()).exitCode, 2);
  EXPECT_EQ(runKupack({"-j", "2", "-l", "one.kup"}, dir_.path()).exitCode, 2);
}

// Two runs started from one folder at the same time share nothing there.
TEST_F(KupackRunTest, TwoRunsFromOneStartFolderAtOnceBothWriteTheirArchives) {
  if (platform::nativeSeparator() != '/') GTEST_SKIP() << "needs a POSIX shell";
  writeMixedTree(dir_ / "a", 2);
  writeMixedTree(dir_ / "b", 3);
  fs::create_directories(dir_ / "start");
  ASSERT_EQ(runKupack({"../a", "../a-alone.kup"}, dir_ / "start").exitCode, 0);
  ASSERT_EQ(runKupack({"../b", "../b-alone.kup"}, dir_ / "start").exitCode, 0);
  const std::string script =
      "\"$0\" ../a ../a.kup >/dev/null & a=$!; \"$0\" ../b ../b.kup >/dev/null & b=$!; "
      "wait $a && wait $b";
  const auto both = test::runCommand({"sh", "-c", script, KUPACK_BINARY}, dir_ / "start");
  ASSERT_EQ(both.exitCode, 0) << both.out << both.err;
  EXPECT_EQ(test::readFile(dir_ / "a.kup"), test::readFile(dir_ / "a-alone.kup"));
  EXPECT_EQ(test::readFile(dir_ / "b.kup"), test::readFile(dir_ / "b-alone.kup"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "start"), fs::directory_iterator()), 0);
}

TEST_F(KupackRunTest, StartFolderIsPackedInArgumentMode) {
  test::writeFile(tree() / "a", std::string("x"));
  const auto beside = runKupack({"../tree/./", "../x.kup"}, tree());
  ASSERT_EQ(beside.exitCode, 0) << beside.err;
  const auto inside = runKupack({".", "x.kup"}, tree());
  ASSERT_EQ(inside.exitCode, 0) << inside.err;
  // Neither the archive, its .part nor the temporary files went in.
  EXPECT_EQ(test::readFile(tree() / "x.kup"), test::readFile(dir_ / "x.kup"));
  EXPECT_EQ(test::readFile(dir_ / "x.kup").size(), 6u + 15 + 1);
  EXPECT_FALSE(fs::exists(tree() / "temp.dat"));
}

TEST_F(KupackRunTest, FolderThatIsNotThereEndsWithTheErrorLine) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  const auto run = runKupack({"nowhere"}, dir_.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "");
  // The original line, then the folder and the reason.
  EXPECT_EQ(run.err, said("エラーです！終了します。\n") +
                         said(test::nativeOf(dir_ / "nowhere") +
                              ": アーカイブにするフォルダがありません (No such file or directory)\n"));
}

TEST_F(KupackRunTest, OptionsAndUsage) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  const auto help = test::runKupack({"--help"}, dir_.path());
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TRUE(contains(help.out, "usage: kupack"));
  const auto version = test::runKupack({"--version"}, dir_.path());
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_TRUE(contains(version.out, "kupack "));
  const auto unknown = test::runKupack({"--frobnicate"}, dir_.path());
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_TRUE(contains(unknown.err, "usage: kupack"));
  EXPECT_TRUE(unknown.out.empty());
  EXPECT_EQ(test::runKupack({"a", "b", "c"}, dir_.path()).exitCode, 2);
}

TEST_F(KupackRunTest, PreflightRefusesWhatTheFormatCannotHold) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  test::writeFile(tree() / "Same.txt", std::string("1"));
  test::writeFile(tree() / "same.TXT", std::string("2"));
  // Where the file system ignores letter case, the second write went to the first file.
  const bool caseSensitive = test::readFile(tree() / "Same.txt") == "1";
  const std::string folder(150, 'n'), file(110, 'm');  // 261 bytes as an archive name
  test::writeFile(tree() / folder / file, std::string("3"));
  test::writeFile(tree() / "bad\xff.txt", std::string("no character set has this name"));
  test::writeFile(tree() / "back\\slash", std::string("would read as a folder level"));
  test::writeFile(dir_ / "out.kup", std::string("earlier"));
  const auto run = runKupack({"tree", "out.kup"}, dir_.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(
      contains(run.err, said("ファイルSame.txtとファイルsame.TXTは同じ名前として記録されます。\n")),
      caseSensitive);
  EXPECT_TRUE(contains(run.err, said("ファイル" + folder + test::withNativeSeparators("/") + file +
                                     "の名前が261バイトあります。255バイトまでです。\n")));
  // The name's byte that is no character is shown escaped.
  EXPECT_TRUE(contains(run.err, said("の名前はShift-JISで表せません。\n")));
  if (platform::nativeSeparator() == '/') {
    EXPECT_TRUE(contains(run.err, said("ファイルbad\\xFF.txtの名前はShift-JISで表せません。\n")));
  }
  // A backslash is a folder separator in Windows names, never part of one.
  EXPECT_EQ(contains(run.err, said("ファイルback\\slashの名前に\\が含まれています。\n")),
            platform::nativeSeparator() == '/');
  EXPECT_FALSE(contains(run.out, said("アーカイブ作成中です。\n")));
  EXPECT_TRUE(contains(run.out, said("終了しました。\n")));
  EXPECT_EQ(test::readFile(dir_ / "out.kup"), "earlier");
  EXPECT_FALSE(fs::exists(dir_ / "temp2.dat"));
}

TEST_F(KupackRunTest, FileOfFourGibibytesIsRefusedBeforeWriting) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  fs::create_directories(tree());
  { std::ofstream sparse(tree() / "huge.bin", std::ios::binary); }
  fs::resize_file(tree() / "huge.bin", 0x100000000ull);
  const auto run = runKupack({"tree", "out.kup"}, dir_.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(
      contains(run.err, said("ファイルhuge.binは4GB以上あるのでアーカイブに入りません。\n")));
  EXPECT_FALSE(fs::exists(dir_ / "out.kup"));
}

TEST_F(KupackRunTest, MoreThan65535FilesAreRefused) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  // In 256 folders of 256: a file system that searches a folder for every new name (as wine
  // does) would take hours over 65536 names in one.
  for (int i = 0; i < 256; ++i) {
    const fs::path folder = tree() / std::to_string(i);
    fs::create_directories(folder);
    for (int j = 0; j < 256; ++j) std::ofstream(folder / std::to_string(j));
  }
  const auto run = runKupack({"tree", "out.kup"}, dir_.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(contains(run.err,
                       said("ファイルが65536個あります。アーカイブに入るのは65535個までです。\n")));
  EXPECT_FALSE(fs::exists(dir_ / "out.kup"));
}

// A full disk and a coder's failed write: file_faults_test.cpp, through the fault-injecting
// file layer.

}  // namespace
}  // namespace kupack

namespace kupack {
namespace {

// The reading options through the program: the sample folder packed, tested against its
// source, listed and extracted.
TEST(KupackReadOptionsTest, SampleFolderPacksTestsListsAndExtracts) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  if (!test::nativeCanName("画像背景")) {
    GTEST_SKIP() << "the system's code page cannot name the sample folder's Japanese files";
  }
  test::TempDir dir;
  const std::filesystem::path assets =
      std::filesystem::path(KUPACK_SOURCE_DIR) / "examples" / "assets";
  std::filesystem::copy(assets, dir / "assets", std::filesystem::copy_options::recursive);
  ASSERT_EQ(test::runKupack({"assets", "a.kup"}, dir.path()).exitCode, 0);

  const auto tested = test::runKupack({"-t", "a.kup", "assets"}, dir.path());
  EXPECT_EQ(tested.exitCode, 0) << tested.out;
  const auto listed = test::runKupack({"--list", "a.kup"}, dir.path(), "", "C.UTF-8");
  EXPECT_EQ(listed.exitCode, 0);
  for (const char* line : {"LZSS    ui\\palette8.bmp", "SPB     bg\\title.bmp",
                           "stored  sprites\\alpha32.bmp", "SPB     画像\\背景.bmp"}) {
    EXPECT_NE(listed.out.find(test::consoleBytes(line, "C.UTF-8")), std::string::npos) << line;
  }

  const auto extracted = test::runKupack({"-x", "a.kup", "-C", "out"}, dir.path());
  EXPECT_EQ(extracted.exitCode, 0) << extracted.out;
  // Stored and LZSS entries come back byte for byte, under their recorded (lower-case) names.
  EXPECT_EQ(test::readFile(dir / "out" / "ui" / "palette8.bmp"),
            test::readFile(assets / "ui" / "palette8.bmp"));
  EXPECT_EQ(test::readFile(dir / "out" / "sprites" / "alpha32.bmp"),
            test::readFile(assets / "sprites" / "alpha32.bmp"));
  EXPECT_EQ(test::readFile(dir / "out" / "sound" / "click.wav"),
            test::readFile(assets / "Sound" / "Click.WAV"));
  // A second extraction refuses to replace what is there, unless forced.
  EXPECT_EQ(test::runKupack({"-x", "a.kup", "-C", "out"}, dir.path()).exitCode, 1);
  EXPECT_EQ(test::runKupack({"-x", "a.kup", "-C", "out", "-f"}, dir.path()).exitCode, 0);

  // Any change to a source file makes the test fail.
  test::writeFile(dir / "assets" / "readme.txt", std::string("changed"));
  EXPECT_EQ(test::runKupack({"-t", "a.kup", "assets"}, dir.path()).exitCode, 1);
  EXPECT_EQ(test::runKupack({"-l"}, dir.path()).exitCode, 2);
  EXPECT_EQ(test::runKupack({"-l", "missing.kup"}, dir.path()).exitCode, 1);
}

}  // namespace
}  // namespace kupack
