// Whole interactive runs: the folder and the archive name answered at the console prompts
// that stand in for the dialogs, with standard input that is not a terminal.
#include <gtest/gtest.h>

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

class KupackPromptTest : public ::testing::Test {
 protected:
  KupackPromptTest() { test::writeFile(dir_ / "tree" / "a.txt", std::string("abc")); }
  void SetUp() override { KUPACK_SKIP_UNLESS_DIALOGS_READ_STANDARD_INPUT(); }
  test::TempDir dir_;
};

TEST_F(KupackPromptTest, AnswersAtThePromptsPackTheFolder) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  const auto run = runKupack({}, dir_.path(), "tree\nout\n");
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_TRUE(contains(run.out, said("アーカイブにするフォルダの選択")));
  EXPECT_TRUE(contains(run.out, said("保存KUPファイル名を入力してください")));
  EXPECT_TRUE(contains(run.out, said("終了しました。\n")));
  // A name typed without an extension gets ".kup", relative to the start folder.
  EXPECT_EQ(test::readFile(dir_ / "out.kup").size(), 6u + 5 + 14 + 3);
  // Standard input is no terminal: no key wait, no prompt for it.
  EXPECT_FALSE(contains(run.out, said("続行するには何かキーを押してください")));
}

TEST_F(KupackPromptTest, EndOfInputAtTheFolderQuestionCancelsQuietly) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  const auto run = runKupack({}, dir_.path(), "");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_FALSE(contains(run.out, said("終了しました。\n")));
  EXPECT_FALSE(contains(run.out, said("アーカイブ作成中です。\n")));
  EXPECT_FALSE(fs::exists(dir_ / "tree" / "arc.kup"));
}

TEST_F(KupackPromptTest, CancelAtTheNameQuestionWritesArcKupIntoTheFolder) {
  const auto run = runKupack({}, dir_.path(), "tree\n\n");
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_TRUE(fs::exists(dir_ / "tree" / "arc.kup"));
}

TEST_F(KupackPromptTest, StartFolderIsRefusedAfterTheNameQuestion) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  const auto run = runKupack({}, dir_ / "tree", "../tree/\nx\n");
  EXPECT_EQ(run.exitCode, 1);
  const auto namePrompt = run.out.find(said("保存KUPファイル名を入力してください"));
  ASSERT_NE(namePrompt, std::string::npos);
  // The refusal (on standard error) names the reason where the program runs on the console.
  EXPECT_EQ(run.err, said("起動したフォルダは対話形式ではアーカイブ化できません。"
                          "コマンドラインで指定してください（kupack フォルダ）。\n"));
  EXPECT_FALSE(fs::exists(dir_ / "tree" / "x.kup"));
}

TEST_F(KupackPromptTest, FolderThatDoesNotExistIsTheErrorEnding) {
  KUPACK_SKIP_UNLESS_JAPANESE_SHOWN();
  const auto run = runKupack({}, dir_.path(), "no/such/folder\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, said("エラーです！終了します。\n") +
                         said(test::nativeOf(dir_ / "no/such/folder") +
                              ": アーカイブにするフォルダがありません (No such file or directory)\n"));
  EXPECT_FALSE(contains(run.out, said("保存KUPファイル名を入力してください")));
}

TEST_F(KupackPromptTest, ExistingArchiveIsReplacedOnlyAfterYes) {
  test::writeFile(dir_ / "old.kup", std::string("keep me"));
  // "n" to the replace question, then another name.
  auto run = runKupack({}, dir_.path(), "tree\nold.kup\nn\nnew.kup\n");
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(test::readFile(dir_ / "old.kup"), "keep me");
  EXPECT_TRUE(fs::exists(dir_ / "new.kup"));
  // "y" replaces it.
  run = runKupack({}, dir_.path(), "tree\nold.kup\ny\n");
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(test::readFile(dir_ / "old.kup"), test::readFile(dir_ / "new.kup"));
}

}  // namespace
}  // namespace kupack
