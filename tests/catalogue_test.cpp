// The message catalogue and the language choice: kupack's Japanese texts exactly as they have
// always been, English where no Japanese locale is set, output only in what the console shows.
#include "app/catalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/platform.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;

// The English original and the Japanese text kupack has always shown, exactly.
constexpr std::pair<const char*, const char*> ORIGINAL_TEXTS[] = {
    {"Choose the folder to pack\n\r(not the folder that holds this program)",
     "アーカイブにするフォルダの選択\n\r（この実行ファイルが含まれるフォルダは選ばないこと）"},
    {"Enter the name of the KUP file to save", "保存KUPファイル名を入力してください"},
    {"KUP file", "KUPファイル"},
    {"Error! Stopping.\n", "エラーです！終了します。\n"},
    {"Packing the files in the folder %s and its subfolders. Please wait.\n",
     "フォルダ%sの直下もしくはサブディレクトリのファイルをアーカイブにします。しばらくお待ちくだ"
     "さい。\n"},
    {"The folder that holds this program cannot be packed.\n",
     "この実行ファイル自身のあるフォルダはアーカイブ化できません。\n"},
    {"Making the archive.\n", "アーカイブ作成中です。\n"},
    {"Finished.\n", "終了しました。\n"},
    {"Found the subfolder %s.\n", "サブディレクトリ%sを発見しました。\n"},
    {"Subfolder %s done\n", "サブディレクトリ%s終了\n"},
    {"Compressing the file %s (%d/%d)\n", "ファイル%s圧縮中(%d/%d)\n"},
    {"Source:     %10lu bytes\n", "元データ：%10lu bytes\n"},
    {"Compressed: %10lu bytes (%lu%%)\n", "圧縮後　：%10lu bytes (%lu%%)\n"},
    {"Joining all the files.\n", "全てのファイルを連結しています。\n"},
    {"\rLeft %3lu%%", "\r残り%3lu%%"},
    {"Type: other (stored)\n", "Type:その他（無圧縮）\n"},
    {"Type: 256-colour BMP (modified LZSS)\n", "Type:256色BMP（変形LZSS形式）\n"},
    {"Source: %10lu(%lu%%)\r", "元データ：%10lu(%lu%%)\r"},
    {"Type: 24-bit BMP (SPB)\n", "Type:24bit-BMP（SPB形式）\n"},
};

TEST(Catalogue, JapaneseGivesTheOriginalTextsExactlyAndEnglishTheOriginals) {
  {
    const test::JapaneseTexts japanese;
    EXPECT_EQ(currentLanguage(), "ja");
    for (const auto& [english, original] : ORIGINAL_TEXTS) EXPECT_STREQ(tr(english), original);
    // A text without a translation shows as written.
    EXPECT_STREQ(tr("no such text in any catalogue"), "no such text in any catalogue");
  }
  EXPECT_EQ(currentLanguage(), "");
  for (const auto& [english, original] : ORIGINAL_TEXTS) EXPECT_STREQ(tr(english), english);
  EXPECT_FALSE(useLanguage("xx"));  // no catalogue: English
  EXPECT_STREQ(tr("Finished.\n"), "Finished.\n");
  EXPECT_EQ(catalogueLanguages(), std::vector<std::string>{"ja"});
}

// A folder that is not there ends the run with the original line and one naming the folder
// and the reason, in the language of the locale; nothing but ASCII where the locale is not
// UTF-8.
TEST(Catalogue, LocaleChoosesTheLanguageOfAMissingFolderRun) {
  if (platform::nativeSeparator() != '/') GTEST_SKIP() << "the code page decides on Windows";
  test::TempDir dir;
  const std::string missing = (dir / "nowhere").string();
  const std::string english =
      "Error! Stopping.\n" + missing + ": no folder to pack (No such file or directory)\n";
  const std::string japanese = "エラーです！終了します。\n" + missing +
                               ": アーカイブにするフォルダがありません (No such file or directory)\n";
  struct Case {
    std::vector<std::string> environment;  // set before the program, after LANG= LC_ALL=
    std::string locale;                    // LC_ALL
    bool inJapanese;
  };
  const Case cases[] = {
      {{}, "C", false},
      {{}, "", false},
      {{}, "POSIX", false},
      {{}, "C.UTF-8", false},
      {{}, "en_US.UTF-8", false},
      {{}, "de_DE.UTF-8", false},  // no German catalogue
      {{}, "ja_JP.UTF-8", true},
      {{}, "ja_JP.utf8", true},
      {{}, "ja_JP.eucJP", false},  // Japanese, but no UTF-8 to show it in
      {{}, "ja_JP", false},
      {{"LANGUAGE=ja:en"}, "en_US.UTF-8", true},
      {{"LANGUAGE=en:ja"}, "ja_JP.UTF-8", false},
      {{"LANGUAGE=ja"}, "C", false},  // as gettext: LANGUAGE counts only beside a locale
      {{"LANGUAGE=ja"}, "C.UTF-8", false},
      {{"LC_MESSAGES=ja_JP.UTF-8", "LC_CTYPE=C.UTF-8"}, "", true},
      {{"LC_MESSAGES=ja_JP.UTF-8"}, "", false},  // no character set but ASCII
      {{"LANG=ja_JP.UTF-8"}, "", true},
  };
  for (const Case& c : cases) {
    std::vector<std::string> command{"env"};
    command.insert(command.end(), c.environment.begin(), c.environment.end());
    command.insert(command.end(), {KUPACK_BINARY, missing, "x.kup"});
    const auto run = test::runCommand(command, dir.path(), "", c.locale);
    const std::string what = "LC_ALL=" + c.locale + " " + ::testing::PrintToString(c.environment);
    EXPECT_EQ(run.exitCode, 1) << what;
    EXPECT_EQ(run.out, "") << what;
    EXPECT_EQ(run.err, c.inJapanese ? japanese : english) << what;
  }
}

TEST(Catalogue, MissingFolderIsNamedWithItsReasonInTheChosenLanguage) {
  test::TempDir dir;
  const auto run = test::runKupack({"nowhere", "x.kup"}, dir.path(), "", test::JAPANESE);
  const std::string missing = test::nativeOf(dir / "nowhere");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, test::japaneseShown()
                         ? test::said("エラーです！終了します。\n" + missing +
                                      ": アーカイブにするフォルダがありません (No such file or "
                                      "directory)\n")
                         : "Error! Stopping.\n" + missing +
                               ": no folder to pack (No such file or directory)\n");
}

// Whatever a run shows in the C locale is ASCII: the texts are English and names that are not
// ASCII (or no text at all) are escaped.
TEST(Catalogue, CLocaleOutputIsAsciiOnly) {
  if (platform::nativeSeparator() != '/') GTEST_SKIP() << "the code page decides on Windows";
  test::TempDir dir;
  test::writeFile(dir / "tree" / "画像" / "日本.txt", std::string("a"));
  test::writeFile(dir / "tree" / "bad\xff.txt", std::string("b"));
  const std::vector<std::vector<std::string>> commands = {
      {"--progress", "tree", "a.kup"},  // refused: a name with no Shift-JIS form
      {"tree/画像", "b.kup"},          {"-l", "b.kup"},
      {"-x", "b.kup", "-C", "out"},    {"-t", "b.kup", "tree/画像"},
      {"-x", "b.kup", "無い.txt"},     {"--help"},
      {"--frobnicate-日本"},
  };
  for (const auto& args : commands) {
    const auto run = test::runKupack(args, dir.path(), "", "C");
    const std::string shown = run.out + run.err;
    EXPECT_FALSE(shown.empty()) << args[0];
    for (const char c : shown) {
      ASSERT_LT(static_cast<unsigned char>(c), 0x80u) << args[0] << ":\n" << shown;
    }
  }
  // The same names escaped readably.
  const auto listed = test::runKupack({"-l", "b.kup"}, dir.path(), "", "C");
  EXPECT_TRUE(test::contains(listed.out, "\\u{65E5}\\u{672C}.txt")) << listed.out;
}

}  // namespace
}  // namespace kupack
