// Whole runs of the program for its script-friendly command line: standard output and
// standard error apart, progress figures only where asked for, -q, `--` and `--opt=value`,
// chosen entries for -x and -p, and the JSON listing parsed back.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;
using test::contains;
using test::runKupack;

// Takes out the figures a terminal shows: "\rLeft …%" and the lone "\r" after it.
std::string withoutProgress(std::string text) {
  const std::string figure = "\rLeft 100%\r";
  for (std::size_t at; (at = text.find(figure)) != std::string::npos;)
    text.erase(at, figure.size());
  return text;
}

class KupackCliTest : public ::testing::Test {
 protected:
  KupackCliTest() {
    test::writeFile(dir_ / "tree" / "a.txt", std::string("0123456789"));
    test::writeFile(dir_ / "tree" / "Sub" / "B.txt", std::string("hi"));
  }
  test::TempDir dir_;
};

TEST_F(KupackCliTest, OutputIntoAFileHoldsTheLinesWithoutProgressFigures) {
  if (platform::nativeSeparator() != '/') GTEST_SKIP() << "needs a POSIX shell";
  const auto shown = runKupack({"--progress", "tree", "shown.kup"}, dir_.path());
  ASSERT_EQ(shown.exitCode, 0);
  const auto logged =
      test::runCommand({"sh", "-c", "\"$0\" tree out.kup >log 2>err", KUPACK_BINARY}, dir_.path());
  ASSERT_EQ(logged.exitCode, 0);
  const std::string log = test::readFile(dir_ / "log");
  EXPECT_FALSE(contains(log, "\r"));
  EXPECT_EQ(log, withoutProgress(shown.out));
  EXPECT_TRUE(contains(log, "Finished.\n"));
  EXPECT_EQ(test::readFile(dir_ / "err"), "");
  EXPECT_EQ(test::readFile(dir_ / "out.kup"), test::readFile(dir_ / "shown.kup"));
}

TEST_F(KupackCliTest, QuietRunsShowOnlyTheirFailures) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  const auto quiet = runKupack({"-q", "tree", "out.kup"}, dir_.path());
  EXPECT_EQ(quiet.exitCode, 0);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "");
  EXPECT_TRUE(fs::exists(dir_ / "out.kup"));
  const auto extracted = runKupack({"--quiet", "-x", "out.kup", "-C", "x"}, dir_.path());
  EXPECT_EQ(extracted.exitCode, 0);
  EXPECT_EQ(extracted.out, "");
  const auto failed = runKupack({"-q", "nowhere"}, dir_.path());
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(failed.out, "");
  EXPECT_EQ(failed.err, "Error! Stopping.\n" + test::nativeOf(dir_ / "nowhere") +
                            ": no folder to pack (No such file or directory)\n");
  // The interactive run asks on the console; -q has nothing to go with there.
  EXPECT_EQ(runKupack({"-q"}, dir_.path()).exitCode, 2);
}

TEST_F(KupackCliTest, DoubleDashEndsOptionsAndLongOptionsTakeTheirValueAfterEquals) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  test::writeFile(dir_ / "-dash" / "c.txt", std::string("c"));
  const auto dashed = runKupack({"--", "-dash"}, dir_.path());
  ASSERT_EQ(dashed.exitCode, 0) << dashed.err;
  EXPECT_TRUE(fs::exists(dir_ / "-dash.kup"));
  EXPECT_EQ(runKupack({"--jobs=2", "tree", "j.kup"}, dir_.path()).exitCode, 0);
  EXPECT_EQ(runKupack({"-j", "2", "tree", "j.kup"}, dir_.path()).exitCode, 0);
  for (const auto& wrong :
       std::vector<std::vector<std::string>>{{"--jobs=0", "tree"},
                                             {"-j"},
                                             {"--json", "tree"},
                                             {"-l", "-x", "a.kup"},
                                             {"--mount", "--options=size=1", "a.kup", "m"},
                                             {"-p", "a.kup"}}) {
    const auto run = runKupack(wrong, dir_.path());
    EXPECT_EQ(run.exitCode, 2) << wrong[0];
    EXPECT_TRUE(contains(run.err, "usage: kupack")) << wrong[0];
    EXPECT_EQ(run.out, "");
  }
}

TEST_F(KupackCliTest, ExtractAndPrintTakeNamedEntriesOnly) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  ASSERT_EQ(runKupack({"tree", "a.kup"}, dir_.path()).exitCode, 0);
  const auto some = runKupack({"-x", "a.kup", "-C", "out", "SUB/b.txt"}, dir_.path());
  EXPECT_EQ(some.exitCode, 0) << some.err;
  EXPECT_EQ(test::readFile(dir_ / "out" / "sub" / "b.txt"), "hi");
  EXPECT_FALSE(fs::exists(dir_ / "out" / "a.txt"));

  // An unknown name is named, and nothing is extracted.
  const auto unknown = runKupack({"-x", "a.kup", "-C", "none", "a.txt", "c.txt"}, dir_.path());
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_TRUE(contains(unknown.err, "no entry c.txt")) << unknown.err;
  EXPECT_FALSE(fs::exists(dir_ / "none" / "a.txt"));

  const auto printed = runKupack({"-p", "a.kup", "sub\\b.txt", "a.txt"}, dir_.path());
  EXPECT_EQ(printed.exitCode, 0);
  EXPECT_EQ(printed.out, "hi0123456789");
  // A name given twice is written twice, as cat writes a file named twice.
  const auto repeated = runKupack({"-p", "a.kup", "a.txt", "sub/b.txt", "A.TXT"}, dir_.path());
  EXPECT_EQ(repeated.exitCode, 0);
  EXPECT_EQ(repeated.out, "0123456789hi0123456789");
  const auto missing = runKupack({"-p", "a.kup", "yy", "a.txt", "zz"}, dir_.path());
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_TRUE(contains(missing.err, "no entry yy"));
  EXPECT_TRUE(contains(missing.err, "no entry zz"));
}

TEST_F(KupackCliTest, PrintedEntriesAreWhatExtractionWrites) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  if (!test::nativeCanName("画像背景")) {
    GTEST_SKIP() << "the system's code page cannot name the sample folder's Japanese files";
  }
  const fs::path assets = fs::path(KUPACK_SOURCE_DIR) / "examples" / "assets";
  fs::copy(assets, dir_ / "assets", fs::copy_options::recursive);
  ASSERT_EQ(runKupack({"assets", "a.kup"}, dir_.path()).exitCode, 0);
  ASSERT_EQ(runKupack({"-x", "a.kup", "-C", "out"}, dir_.path()).exitCode, 0);
  for (const char* name : {"ui/palette8.bmp", "bg/title.bmp", "readme.txt"}) {  // LZSS, SPB, stored
    const auto printed = runKupack({"-p", "a.kup", name}, dir_.path());
    EXPECT_EQ(printed.exitCode, 0) << name << printed.err;
    std::string written = test::readFile(dir_ / "out" / test::u8path(name));
    // The Windows runner gives text-mode line ends back as "\n", in these bytes too.
    for (std::size_t at;
         platform::nativeSeparator() == '\\' && (at = written.find("\r\n")) != std::string::npos;) {
      written.erase(at, 1);
    }
    EXPECT_EQ(printed.out, written) << name;
  }
}

TEST_F(KupackCliTest, JsonListingParsesBackToTheEntries) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  if (test::nativeCanName("画像"))
    test::writeFile(dir_ / "tree" / test::u8path("画像.txt"), std::string("j"));
  const auto packed = runKupack({"tree", "a.kup"}, dir_.path());
  ASSERT_EQ(packed.exitCode, 0) << packed.err;
  const auto listed = runKupack({"-l", "--json", "a.kup"}, dir_.path());
  ASSERT_EQ(listed.exitCode, 0);
  const nlohmann::json entries = nlohmann::json::parse(listed.out);
  ASSERT_TRUE(entries.is_array());
  std::map<std::string, nlohmann::json> byName;
  for (const auto& entry : entries) byName[entry.at("name").get<std::string>()] = entry;
  EXPECT_EQ(byName.at("a.txt").at("type"), "stored");
  EXPECT_EQ(byName.at("a.txt").at("offset"), 0);
  EXPECT_EQ(byName.at("a.txt").at("stored_size"), 10);
  EXPECT_EQ(byName.at("a.txt").at("source_size"), 10);
  EXPECT_EQ(byName.at("sub\\b.txt").at("offset"), 10);
  if (test::nativeCanName("画像")) {
    EXPECT_EQ(byName.count("画像.txt"), 1u);
  }
  // A broken archive: nothing on standard output, the reason on standard error.
  test::writeFile(dir_ / "bad.kup", std::string("xx"));
  const auto bad = runKupack({"-l", "--json", "bad.kup"}, dir_.path());
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_EQ(bad.out, "");
  EXPECT_TRUE(contains(bad.err, "bad.kup"));
}

TEST_F(KupackCliTest, PrintIntoAClosedPipeFailsWithoutACrash) {
  if (platform::nativeSeparator() != '/') GTEST_SKIP() << "needs a POSIX shell";
  std::string big(4 << 20, 'b');
  test::writeFile(dir_ / "tree" / "big.bin", big);
  ASSERT_EQ(runKupack({"tree", "a.kup"}, dir_.path()).exitCode, 0);
  const std::string script =
      "{ \"$0\" -p a.kup big.bin 2>err; echo $? >rc; } | head -c 1 >/dev/null";
  ASSERT_EQ(test::runCommand({"sh", "-c", script, KUPACK_BINARY}, dir_.path()).exitCode, 0);
  EXPECT_EQ(test::readFile(dir_ / "rc"), "1\n");
  EXPECT_TRUE(contains(test::readFile(dir_ / "err"), "standard output"));
}

TEST_F(KupackCliTest, NamesChangedByLowerCasingComeBackAsRecordedWithOneNote) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  if (!test::nativeCanName("アイコン")) GTEST_SKIP() << "the system's code page cannot name it";
  test::writeFile(dir_ / "jp" / test::u8path("アイコン.txt"), std::string("icon"));
  test::writeFile(dir_ / "jp" / test::u8path("ア.txt"), std::string("a"));
  ASSERT_EQ(runKupack({"jp", "a.kup"}, dir_.path()).exitCode, 0);
  const auto list = runKupack({"-l", "a.kup"}, dir_.path());
  // The recorded name, escaped in the C locale's ASCII.
  EXPECT_TRUE(contains(list.out, test::consoleBytes("ヂツビン.txt", "C"))) << list.out;
  const auto extract = runKupack({"-x", "a.kup", "-C", "out"}, dir_.path());
  EXPECT_EQ(extract.exitCode, 0) << extract.err;
  EXPECT_EQ(test::readFile(dir_ / "out" / test::u8path("ヂツビン.txt")), "icon");
  EXPECT_TRUE(contains(extract.err, "note: ")) << extract.err;
  EXPECT_EQ(extract.err.find("note: "), extract.err.rfind("note: "));  // one note per run
  // The name as packed still finds the entry, since it is lower-cased alike.
  EXPECT_EQ(runKupack({"-p", "a.kup", test::nativeName("アイコン.txt")}, dir_.path()).out, "icon");
  // An archive without such names gets no note.
  ASSERT_EQ(runKupack({"tree", "b.kup"}, dir_.path()).exitCode, 0);
  EXPECT_FALSE(contains(runKupack({"-x", "b.kup", "-C", "out3"}, dir_.path()).err, "note:"));
}

TEST_F(KupackCliTest, CommandsWhoseOutputCannotBeWrittenFailWithAMessage) {
  KUPACK_SKIP_UNLESS_ENGLISH_SHOWN();
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  ASSERT_EQ(runKupack({"tree", "a.kup"}, dir_.path()).exitCode, 0);
  const std::vector<std::vector<std::string>> commands = {
      {"-l", "a.kup"}, {"-l", "--json", "a.kup"}, {"-t", "a.kup"},  {"-t", "a.kup", "tree"},
      {"-x", "a.kup", "-C", "out"}, {"-p", "a.kup", "a.txt"},   {"--help"}, {"--version"}};
  for (const auto& args : commands) {
    std::string command = "'" + std::string(KUPACK_BINARY) + "'";
    for (const auto& arg : args) command += " '" + arg + "'";
    const auto run = test::runCommand({"sh", "-c", command + " >/dev/full"}, dir_.path());
    EXPECT_EQ(run.exitCode, 1) << command << run.err;
    EXPECT_TRUE(contains(run.err, "cannot write to standard output")) << command << run.err;
  }
  // Packing still writes its archive and keeps its status, but says its lines were lost.
  const auto pack = test::runCommand(
      {"sh", "-c", "'" + std::string(KUPACK_BINARY) + "' tree b.kup >/dev/full"}, dir_.path());
  EXPECT_EQ(pack.exitCode, 0) << pack.err;
  EXPECT_TRUE(contains(pack.err, "cannot write to standard output")) << pack.err;
  EXPECT_EQ(test::readFile(dir_ / "b.kup"), test::readFile(dir_ / "a.kup"));
}

}  // namespace
}  // namespace kupack
