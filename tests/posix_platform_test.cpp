// The POSIX platform layer: name and console conversions, path normalization, the listing
// order and entry kinds, and the console stand-ins for the chooser, save dialog and key
// wait. Every test skips itself where the platform is not POSIX.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "app/catalogue.h"
#include "app/user_prompts.h"
#include "common/console.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;
using platform::EntryKind;
using platform::FolderChoiceResult;
using test::sjis;

// Console texts as the program passes them to the stand-ins (UTF-8).
constexpr char CHOOSER_TITLE[] = "アーカイブにするフォルダの選択";
constexpr char SAVE_TITLE[] = "保存KUPファイル名を入力してください";
constexpr char SAVE_FILTER_NAME[] = "KUPファイル";

bool onPosix() { return platform::nativeSeparator() == '/'; }

#define SKIP_UNLESS_POSIX() \
  if (!onPosix()) GTEST_SKIP() << "POSIX platform layer only"

std::string shellQuote(const std::string& text) {
  std::string quoted("'");
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// ---- Names ----------------------------------------------------------------------------

TEST(PosixNames, JapaneseUtf8NamesRoundTripThroughCp932) {
  SKIP_UNLESS_POSIX();
  for (const std::string name :
       {"日本語ファイル名.bmp",
        "背景\xe3\x83\xbb"
        "01.BMP",
        "ｱｲｳｴｵ.txt", "①②㈱髙﨑.dat", "～∥－￢.txt", "ＡＢＣ１２３", "ー〇〒♪", "a\\b~c"}) {
    const auto cp932 = platform::nativeNameToCp932(name);
    ASSERT_TRUE(cp932.has_value()) << name;
    EXPECT_EQ(*cp932, sjis(name)) << name;
    const auto back = platform::cp932ToNativeName(*cp932);
    ASSERT_TRUE(back.has_value()) << name;
    EXPECT_EQ(*back, name);
  }
}

TEST(PosixNames, SignsThatCp932OnlyImitatesAreRefused) {
  SKIP_UNLESS_POSIX();
  // Code page 932 has exact forms for U+FF5E, U+2225, U+FF0D, U+FFE2 (checked above);
  // these look-alikes would come back as other characters, U+00A5 even as a backslash.
  EXPECT_EQ(platform::nativeNameToCp932("\xe3\x80\x9c"), std::nullopt);  // U+301C wave dash
  EXPECT_EQ(platform::nativeNameToCp932("a\xc2\xa5"
                                        "b"),
            std::nullopt);                                               // U+00A5 yen sign
  EXPECT_EQ(platform::nativeNameToCp932("\xe2\x80\xbe"), std::nullopt);  // U+203E overline
  EXPECT_EQ(platform::nativeNameToCp932("\xe2\x88\x92"), std::nullopt);  // U+2212 minus
  EXPECT_EQ(platform::nativeNameToCp932("\xc2\xac"), std::nullopt);      // U+00AC not sign
  EXPECT_EQ(platform::nativeNameToCp932("\xe2\x80\x96"), std::nullopt);  // U+2016
  EXPECT_EQ(platform::nativeNameToCp932("\xe2\x80\x94"), std::nullopt);  // U+2014 em dash
  // Characters with no form at all.
  EXPECT_EQ(platform::nativeNameToCp932("caf\xc3\xa4"), std::nullopt);   // U+00E4
  EXPECT_EQ(platform::nativeNameToCp932("\xe2\x82\xac"), std::nullopt);  // U+20AC euro
  EXPECT_EQ(platform::nativeNameToCp932("\xf0\x9f\x98\x80"), std::nullopt);
}

TEST(PosixNames, NonUtf8NamesAreTakenAsCp932OrRefused) {
  SKIP_UNLESS_POSIX();
  const std::string test = sjis("テスト.bmp");  // 0x83 0x65 ...: no UTF-8
  EXPECT_EQ(platform::nativeNameToCp932(test), test);
  const std::string nec = "\xed\x40";  // a row of code page 932 that converts one way only
  EXPECT_EQ(platform::nativeNameToCp932(nec), nec);
  EXPECT_EQ(platform::nativeNameToCp932("\xff"
                                        "abc"),
            std::nullopt);
  EXPECT_EQ(platform::nativeNameToCp932("abc\x81"), std::nullopt);  // lead byte at the end
  EXPECT_EQ(platform::nativeNameToCp932("\x80"), std::nullopt);
  EXPECT_EQ(platform::nativeNameToCp932("\xa0.txt"), std::nullopt);
  EXPECT_EQ(platform::nativeNameToCp932("\xed\xa0\x80"), std::nullopt);  // UTF-8 surrogate
  EXPECT_EQ(platform::nativeNameToCp932(""), std::string());
}

TEST(PosixNames, Cp932ToNativeName) {
  SKIP_UNLESS_POSIX();
  EXPECT_EQ(platform::cp932ToNativeName(sjis("bg\\日本\\ｱ.bmp")), "bg\\日本\\ｱ.bmp");
  EXPECT_EQ(platform::cp932ToNativeName("\x5c\x7e"), "\\~");
  EXPECT_EQ(platform::cp932ToNativeName("\x81\x60"), "～");
  EXPECT_EQ(platform::cp932ToNativeName("\x81"), std::nullopt);
  EXPECT_EQ(platform::cp932ToNativeName("ab\xfd"), std::nullopt);
  EXPECT_EQ(platform::cp932ToNativeName("\x82\x20"), std::nullopt);  // bad trail byte
}

TEST(PosixNames, ConsoleTextIsUtf8AndKeepsWhatItCannotConvert) {
  SKIP_UNLESS_POSIX();
  // UTF-8 stays; a name in code page 932 bytes is converted; other bytes are kept for the
  // console to escape.
  for (const std::string utf8 : {"/tmp/日本/a.txt", "caf\xc3\xa4/日本",
                                 "\xc2\xa5"
                                 "5"}) {
    EXPECT_EQ(platform::nativeToConsoleText(utf8), utf8);
  }
  EXPECT_EQ(platform::nativeToConsoleText("/tmp/" + sjis("テスト")), "/tmp/テスト");
  EXPECT_EQ(platform::nativeToConsoleText("a\xff"
                                          "日"),
            "a\xff"
            "日");
  EXPECT_EQ(platform::nativeToConsoleText("No such file or directory"),
            "No such file or directory");
}

// ---- Paths ----------------------------------------------------------------------------

TEST(PosixPaths, AbsolutePathNormalizesLexically) {
  SKIP_UNLESS_POSIX();
  EXPECT_EQ(platform::absolutePath("a/./b/../c/", "/base"), "/base/a/c");
  EXPECT_EQ(platform::absolutePath("//x", "/base"), "/x");
  EXPECT_EQ(platform::absolutePath("/x//y///", "/base"), "/x/y");
  EXPECT_EQ(platform::absolutePath("../../../../up", "/base/one"), "/up");
  EXPECT_EQ(platform::absolutePath("..", "/"), "/");
  EXPECT_EQ(platform::absolutePath("", "/base/"), "/base");
  EXPECT_EQ(platform::absolutePath(".", "/base/x/.."), "/base");
  EXPECT_EQ(platform::absolutePath("/", "/base"), "/");
  EXPECT_EQ(platform::absolutePath("...", "/base"), "/base/...");
  EXPECT_EQ(platform::absolutePath("a/..b/.c", "/"), "/a/..b/.c");
  // A relative base keeps the ".." it cannot climb.
  EXPECT_EQ(platform::absolutePath("../a", "rel"), "a");
  EXPECT_EQ(platform::absolutePath("../../a", "rel"), "../a");
  EXPECT_EQ(platform::absolutePath("..", "rel"), ".");
}

TEST(PosixPaths, JoinAndCurrentDirectory) {
  SKIP_UNLESS_POSIX();
  EXPECT_EQ(platform::joinPath("/a", "b"), "/a/b");
  EXPECT_EQ(platform::joinPath("/", "b"), "/b");
  EXPECT_EQ(platform::joinPath("", "b"), "b");
  test::TempDir dir;
  const auto before = platform::currentDirectory();
  ASSERT_TRUE(before.has_value());
  ASSERT_TRUE(platform::changeDirectory(dir.path().string()));
  EXPECT_EQ(platform::currentDirectory(), dir.path().string());
  ASSERT_TRUE(platform::changeDirectory(*before));
  EXPECT_FALSE(platform::changeDirectory((dir / "missing").string()));
  EXPECT_EQ(errno, ENOENT);
}

// ---- Listing --------------------------------------------------------------------------

std::vector<std::string> listedNames(const fs::path& folder) {
  std::vector<platform::FolderEntry> entries;
  EXPECT_TRUE(platform::listFolder(folder.string(), entries));
  std::vector<std::string> names;
  for (const auto& entry : entries) names.push_back(entry.name);
  return names;
}

TEST(PosixListing, OrderIsTheCaseBlindUtf16Order) {
  SKIP_UNLESS_POSIX();
  test::TempDir dir;
  // Expected order: upper-cased UTF-16 code units, a case-sensitive tie-break on the
  // units (the CP932 name "ａ" after the UTF-8 "Ａ" although its bytes are smaller), CP932
  // names by their Unicode form, a surrogate pair by its units (below U+FF21), and a name
  // with no Unicode form last.
  const std::vector<std::string> expected = {
      ".",  "..",       "a",        "a.txt",   "ab", "B",        "C",    "c",
      "Z",  "_x",       "\xc3\xa4", "あ",      "ア", sjis("テ"), "日本", "\xf0\x9f\x98\x80",
      "Ａ", sjis("ａ"), "ｂ",       "\xff\xfe"};
  for (auto it = expected.rbegin(); it != expected.rend() - 2; ++it) {
    test::writeFile(dir / *it, *it);
  }
  EXPECT_EQ(listedNames(dir.path()), expected);
}

TEST(PosixListing, SameTreeSameOrderWhateverTheCreationOrder) {
  SKIP_UNLESS_POSIX();
  const std::vector<std::string> names = {"m", "K", "k0", "L", "_", "0", "~", "Ω", "ω", "й"};
  test::TempDir first;
  test::TempDir second;
  for (const auto& name : names) test::writeFile(first / name, "");
  for (auto it = names.rbegin(); it != names.rend(); ++it) test::writeFile(second / *it, "");
  const auto order = listedNames(first.path());
  EXPECT_EQ(order, listedNames(second.path()));
  // Digits before letters, a prefix before its longer names, '_' (0x5F) after the
  // letters and '~' after '_'; Greek and Cyrillic after Latin, upper case first on a tie.
  const std::vector<std::string> expected = {".", "..", "0", "K", "k0", "L",
                                             "m", "_",  "~", "Ω", "ω",  "й"};
  EXPECT_EQ(order, expected);
}

TEST(PosixListing, KindsOfEntries) {
  SKIP_UNLESS_POSIX();
  test::TempDir dir;
  test::writeFile(dir / "file.bin", "x");
  fs::create_directory(dir / "sub");
  fs::create_directory_symlink(dir / "sub", dir / "link-to-sub");
  fs::create_symlink(dir / "file.bin", dir / "link-to-file");
  fs::create_symlink(dir / "missing", dir / "dangling");
  ASSERT_EQ(std::system(("mkfifo " + shellQuote((dir / "pipe").string())).c_str()), 0);

  std::vector<platform::FolderEntry> entries;
  ASSERT_TRUE(platform::listFolder(dir.path().string(), entries));
  std::vector<std::pair<std::string, EntryKind>> got;
  for (const auto& entry : entries) got.emplace_back(entry.name, entry.kind);
  const std::vector<std::pair<std::string, EntryKind>> expected = {
      {".", EntryKind::Folder},          {"..", EntryKind::Folder},
      {"dangling", EntryKind::Other},    {"file.bin", EntryKind::File},
      {"link-to-file", EntryKind::File}, {"link-to-sub", EntryKind::Folder},
      {"pipe", EntryKind::Other},        {"sub", EntryKind::Folder}};
  EXPECT_EQ(got, expected);

  EXPECT_TRUE(platform::pathExists((dir / "dangling").string()));
  EXPECT_FALSE(platform::pathExists((dir / "missing").string()));
  EXPECT_TRUE(platform::isFolder((dir / "link-to-sub").string()));
  EXPECT_FALSE(platform::isFolder((dir / "dangling").string()));
  // A pipe is refused at once rather than waited for; so is a folder.
  EXPECT_EQ(platform::regularFileLength((dir / "pipe").string()), std::nullopt);
  EXPECT_EQ(platform::regularFileLength((dir / "sub").string()), std::nullopt);
  EXPECT_EQ(platform::regularFileLength((dir / "link-to-file").string()), 1u);
}

TEST(PosixListing, UnreadableOrMissingFolderFails) {
  SKIP_UNLESS_POSIX();
  test::TempDir dir;
  std::vector<platform::FolderEntry> entries = {{"stale", EntryKind::File}};
  EXPECT_FALSE(platform::listFolder((dir / "missing").string(), entries));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(entries.empty());
  test::writeFile(dir / "plain", "");
  EXPECT_FALSE(platform::listFolder((dir / "plain").string(), entries));
  EXPECT_EQ(errno, ENOTDIR);
}

TEST(PosixListing, LinkCyclesShowInFolderIdentity) {
  SKIP_UNLESS_POSIX();
  test::TempDir dir;
  fs::create_directories(dir / "a" / "b");
  fs::create_directory_symlink(dir / "a", dir / "a" / "b" / "up");
  fs::create_directory_symlink("..", dir / "a" / "parent");
  const auto a = platform::folderIdentity((dir / "a").string());
  const auto b = platform::folderIdentity((dir / "a" / "b").string());
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);
  EXPECT_EQ(platform::folderIdentity((dir / "a" / "b" / "up").string()), a);
  EXPECT_EQ(platform::folderIdentity((dir / "a" / "parent").string()),
            platform::folderIdentity(dir.path().string()));
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  EXPECT_EQ(platform::folderIdentity((dir / "dangling").string()), std::nullopt);
}

// ---- Files ----------------------------------------------------------------------------

TEST(PosixFiles, SizeBeyondFourGigabytes) {
  SKIP_UNLESS_POSIX();
  test::TempDir dir;
  const fs::path big = dir / "big.bin";
  test::writeFile(big, "");
  std::error_code error;
  const std::uint64_t length = (std::uint64_t{5} << 30) + 3;
  fs::resize_file(big, length, error);  // sparse: no disk space used
  if (error) GTEST_SKIP() << "no sparse files here: " << error.message();
  EXPECT_EQ(platform::regularFileLength(big.string()), length);
  EXPECT_EQ(platform::regularFileLength((dir / "missing").string()), std::nullopt);
  EXPECT_EQ(errno, ENOENT);
}

TEST(PosixFiles, ReplaceAndRemove) {
  SKIP_UNLESS_POSIX();
  test::TempDir dir;
  test::writeFile(dir / "new", "new");
  test::writeFile(dir / "old", "old");
  ASSERT_TRUE(platform::replaceFile((dir / "new").string(), (dir / "old").string()));
  EXPECT_EQ(test::readFile(dir / "old"), "new");
  EXPECT_FALSE(fs::exists(dir / "new"));
  EXPECT_FALSE(platform::replaceFile((dir / "new").string(), (dir / "old").string()));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(platform::removeFile((dir / "old").string()));
  EXPECT_FALSE(platform::removeFile((dir / "old").string()));
  EXPECT_EQ(errno, ENOENT);
}

// ---- The console stand-ins --------------------------------------------------------------

// Feeds `text` to the stand-ins and catches what they print, for one test.
class PromptSession {
 public:
  explicit PromptSession(const std::string& text)
      : input_(std::tmpfile()), capture_([this](std::string_view out) { output_ += out; }) {
    if (input_ == nullptr) throw std::runtime_error("no temporary file");
    std::fwrite(text.data(), 1, text.size(), input_);
    std::rewind(input_);
    setPromptInput(input_);
  }
  ~PromptSession() {
    setPromptInput(nullptr);
    std::fclose(input_);
  }
  PromptSession(const PromptSession&) = delete;
  PromptSession& operator=(const PromptSession&) = delete;
  const std::string& output() const { return output_; }
  std::FILE* input() const { return input_; }

 private:
  std::FILE* input_;
  std::string output_;
  ConsoleCapture capture_;
};

TEST(PosixChooser, PrintsTitleAndCancelsOnEmptyLineOrEndOfInput) {
  SKIP_UNLESS_POSIX();
  for (const std::string input : {"", "\n", "\r\n", "\nsomething\n"}) {
    PromptSession session(input);
    const auto choice = promptForFolder(CHOOSER_TITLE, "/");
    EXPECT_EQ(choice.result, FolderChoiceResult::Cancelled) << input;
    EXPECT_EQ(session.output(), std::string(CHOOSER_TITLE) + "\n");
  }
}

TEST(PosixChooser, AnswerIsMadeAbsoluteNormalizedAndResolved) {
  SKIP_UNLESS_POSIX();
  test::TempDir dir;
  fs::create_directories(dir / "start" / "pics" / "bg");
  fs::create_directory_symlink(dir / "start", dir / "alias");
  const std::string start = (dir / "start").string();
  struct Case {
    std::string answer;
    std::string expected;
  } cases[] = {
      {"pics", start + "/pics"},
      {"./pics/bg/..//", start + "/pics"},
      {"pics/bg\r", start + "/pics/bg"},
      {".", start},
      {"../start/", start},
      {(dir / "alias").string(), start},  // a link to the start folder is the start folder
      {"../alias/pics", start + "/pics"},
      {"/", "/"},
  };
  for (const auto& c : cases) {
    PromptSession session(c.answer + "\n");
    const auto choice = promptForFolder(CHOOSER_TITLE, start);
    EXPECT_EQ(choice.result, FolderChoiceResult::Chosen) << c.answer;
    EXPECT_EQ(choice.path, c.expected) << c.answer;
  }
  // The last line may lack its line feed.
  PromptSession session("pics");
  EXPECT_EQ(promptForFolder(CHOOSER_TITLE, start).path, start + "/pics");
}

TEST(PosixChooser, AnswerThatIsNoFolderHasNoFileSystemPath) {
  SKIP_UNLESS_POSIX();
  test::TempDir dir;
  test::writeFile(dir / "file.txt", "");
  for (const std::string answer : {"file.txt", "missing", "missing/x/..", " "}) {
    PromptSession session(answer + "\n");
    const auto choice = promptForFolder(CHOOSER_TITLE, dir.path().string());
    EXPECT_EQ(choice.result, FolderChoiceResult::NoFileSystemPath) << answer;
  }
  // Lexically "missing/.." is the start folder, which exists.
  EXPECT_EQ(platform::folderFromArgument("missing/..", dir.path().string()).result,
            FolderChoiceResult::Chosen);
  const auto missing = platform::folderFromArgument("missing", dir.path().string());
  EXPECT_EQ(missing.result, FolderChoiceResult::NoFileSystemPath);
  EXPECT_EQ(missing.path, (dir / "missing").string());
  EXPECT_EQ(platform::folderFromArgument("", dir.path().string()).result,
            FolderChoiceResult::NoFileSystemPath);
  const auto parent = platform::folderFromArgument("..", (dir / "x" / "y").string());
  EXPECT_EQ(parent.result, FolderChoiceResult::NoFileSystemPath);  // x does not exist
  fs::create_directories(dir / "x" / "y");
  EXPECT_EQ(platform::folderFromArgument("..", (dir / "x" / "y").string()).path,
            (dir / "x").string());
}

std::optional<std::string> chooseSave(const std::string& start) {
  return promptForArchiveName(SAVE_TITLE, SAVE_FILTER_NAME, "arc.kup", start);
}

std::string savePrompt() { return formatText("%s (*.kup) [%s]\n", SAVE_FILTER_NAME, "arc.kup"); }

TEST(PosixSaveName, CancelOnEmptyLineOrEndOfInput) {
  SKIP_UNLESS_POSIX();
  for (const std::string input : {"", "\n", "\r\n"}) {
    PromptSession session(input);
    EXPECT_EQ(chooseSave("/tmp"), std::nullopt);
    EXPECT_EQ(session.output(), std::string(SAVE_TITLE) + "\n" + savePrompt());
    EXPECT_NE(session.output().find("KUPファイル (*.kup) [arc.kup]\n"), std::string::npos);
  }
}

TEST(PosixSaveName, ExtensionAndAbsolutePath) {
  SKIP_UNLESS_POSIX();
  test::TempDir dir;
  fs::create_directory(dir / "out");
  const std::string start = dir.path().string();
  struct Case {
    std::string answer;
    std::string expected;
  } cases[] = {
      {"data", start + "/data.kup"},           {"data.kup", start + "/data.kup"},
      {"data.bin", start + "/data.bin"},       {"data.", start + "/data."},
      {".hidden", start + "/.hidden.kup"},     {"out/./x/../pack", start + "/out/pack.kup"},
      {"v1.2/pack", start + "/v1.2/pack.kup"},  // only the last component counts
      {"/abs/name", "/abs/name.kup"},          {"名前", start + "/名前.kup"},
  };
  for (const auto& c : cases) {
    PromptSession session(c.answer + "\n");
    EXPECT_EQ(chooseSave(start), c.expected) << c.answer;
  }
}

TEST(PosixSaveName, ExistingFileAsksBeforeReplacing) {
  SKIP_UNLESS_POSIX();
  test::TempDir dir;
  const std::string start = dir.path().string();
  test::writeFile(dir / "old.kup", "old");
  const std::string question = formatText(tr("%s already exists. Replace it? (y/N)\n"), (start + "/old.kup").c_str());
  {
    PromptSession session("old\ny\n");
    EXPECT_EQ(chooseSave(start), start + "/old.kup");
    EXPECT_EQ(session.output(), std::string(SAVE_TITLE) + "\n" + savePrompt() + question);
  }
  {
    PromptSession session("old.kup\nYes\n");
    EXPECT_EQ(chooseSave(start), start + "/old.kup");
  }
  {
    // Refused: the name is asked again.
    PromptSession session("old\nn\nnew\n");
    EXPECT_EQ(chooseSave(start), start + "/new.kup");
    EXPECT_EQ(session.output(),
              std::string(SAVE_TITLE) + "\n" + savePrompt() + question + savePrompt());
  }
  {
    PromptSession session("old\n\nold\nyes please\n\n");
    EXPECT_EQ(chooseSave(start), std::nullopt);  // neither answer agreed; then cancelled
  }
  {
    // End of input at the question refuses, and the next name meets it too: cancel.
    PromptSession session("old\n");
    EXPECT_EQ(chooseSave(start), std::nullopt);
    EXPECT_EQ(session.output(),
              std::string(SAVE_TITLE) + "\n" + savePrompt() + question + savePrompt());
  }
  EXPECT_EQ(test::readFile(dir / "old.kup"), "old");  // asking never touches the file
}

TEST(PosixSaveName, FolderIsRefusedAndDanglingLinkCountsAsExisting) {
  SKIP_UNLESS_POSIX();
  test::TempDir dir;
  const std::string start = dir.path().string();
  fs::create_directory(dir / "box.kup");
  fs::create_directory(dir / "plain");
  {
    PromptSession session("box\nplain\n..\nfine\n");
    EXPECT_EQ(chooseSave(start), start + "/fine.kup");
    EXPECT_NE(session.output().find(formatText(tr("%s is a folder. Enter a file name.\n"), (start + "/box.kup").c_str())),
              std::string::npos);
    EXPECT_NE(session.output().find(formatText(tr("%s is a folder. Enter a file name.\n"), (start + "/plain").c_str())),
              std::string::npos);
  }
  fs::create_symlink(dir / "nowhere", dir / "link.kup");
  {
    PromptSession session("link\nn\n");
    EXPECT_EQ(chooseSave(start), std::nullopt);
    EXPECT_NE(
        session.output().find(formatText(tr("%s already exists. Replace it? (y/N)\n"), (start + "/link.kup").c_str())),
        std::string::npos);
  }
}

TEST(PosixKeyWait, WithoutTerminalReturnsAtOnceSilently) {
  SKIP_UNLESS_POSIX();
  PromptSession session("x\n");
  waitForKey();
  EXPECT_EQ(session.output(), "");
  EXPECT_EQ(std::fgetc(session.input()), 'x');  // nothing was read as the key
}

// ---- Console output (in a child process, as the locale is read once per process) ------

// Run only as the child of ConsoleBytes: writes known texts through writeConsole.
TEST(PosixConsoleChild, DISABLED_WriteSamples) {
  platform::writeConsole("<<");
  platform::writeConsole("終了しました。\n");
  platform::writeConsole("A\xff日\\~\x81");
  platform::writeConsole(">>");
}

// The console bytes the child test above writes under `locale`, between its "<<" and ">>".
// A child that fails (a crash included) or writes no markers fails the calling test.
std::string childConsoleOutput(const std::string& locale) {
  const fs::path self = fs::read_symlink("/proc/self/exe");
  test::TempDir dir;
  const std::string command = "LANG= LC_CTYPE= LC_ALL=" + shellQuote(locale) + " " +
                              shellQuote(self.string()) +
                              " --gtest_also_run_disabled_tests"
                              " --gtest_filter=PosixConsoleChild.DISABLED_WriteSamples >" +
                              shellQuote((dir / "out").string()) + " 2>&1";
  const int status = std::system(command.c_str());
  const std::string out = test::readFile(dir / "out");
  EXPECT_EQ(status, 0) << out;
  const auto begin = out.find("<<");
  const auto end = out.find(">>");
  if (begin == std::string::npos || end == std::string::npos || end < begin) {
    ADD_FAILURE() << "the child wrote no console sample:\n" << out;
    return {};
  }
  return out.substr(begin + 2, end - begin - 2);
}

// A UTF-8 locale gets UTF-8, any other ASCII; what cannot be shown is escaped, never sent
// as raw bytes.
TEST(PosixConsole, OutputIsInTheLocalesCharacterSetWithTheRestEscaped) {
  SKIP_UNLESS_POSIX();
  const std::string utf8 = "終了しました。\nA\\xFF日\\~\\x81";
  const std::string ascii =
      "\\u{7D42}\\u{4E86}\\u{3057}\\u{307E}\\u{3057}\\u{305F}\\u{3002}\n"
      "A\\xFF\\u{65E5}\\~\\x81";
  const std::pair<const char*, std::string> cases[] = {
      {"C.UTF-8", utf8}, {"ja_JP.UTF-8", utf8}, {"en_US.utf8", utf8},
      {"C", ascii},      {"POSIX", ascii},      {"ja_JP.eucJP", ascii}};
  for (const auto& [locale, expected] : cases) {
    EXPECT_EQ(childConsoleOutput(locale), expected) << locale;
  }
}

}  // namespace
}  // namespace kupack
