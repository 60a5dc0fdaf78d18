// Console text reaches the writers the program sets: regular output and progress to one,
// diagnostics to the other, quiet silencing only the first, a capture taking both.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "common/console.h"

namespace kupack {
namespace {

std::string& outputSeen() {
  static std::string text;
  return text;
}
std::string& errorsSeen() {
  static std::string text;
  return text;
}
void recordOutput(std::string_view text) { outputSeen() += text; }
void recordErrors(std::string_view text) { errorsSeen() += text; }

// Sets the recording writers for one test and restores the unconverted ones after it.
class ConsoleWritersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    outputSeen().clear();
    errorsSeen().clear();
    setConsoleWriters(recordOutput, recordErrors);
  }
  void TearDown() override {
    setConsoleQuiet(false);
    setConsoleProgress(true);
    setConsoleWriters(nullptr, nullptr);
  }
};

TEST_F(ConsoleWritersTest, EachChannelReachesItsWriter) {
  consoleWrite("out ");
  consolePrint("%d\n", 7);
  consoleProgress("\r50%");
  consoleError("err ");
  consoleErrorPrint("%s\n", "x");
  EXPECT_EQ(outputSeen(), "out 7\n\r50%");
  EXPECT_EQ(errorsSeen(), "err x\n");
}

TEST_F(ConsoleWritersTest, QuietAndHiddenProgressSilenceOnlyTheirOwn) {
  setConsoleProgress(false);
  consoleProgress("\r50%");
  consoleWrite("shown");
  setConsoleQuiet(true);
  consoleWrite("hidden");
  consoleError("always");
  EXPECT_EQ(outputSeen(), "shown");
  EXPECT_EQ(errorsSeen(), "always");
}

TEST_F(ConsoleWritersTest, ACaptureTakesBothChannelsFromTheWriters) {
  std::string captured;
  {
    const ConsoleCapture capture([&](std::string_view text) { captured += text; });
    consoleWrite("a");
    consoleError("b");
  }
  consoleWrite("c");
  EXPECT_EQ(captured, "ab");
  EXPECT_EQ(outputSeen(), "c");
  EXPECT_EQ(errorsSeen(), "");
}

}  // namespace
}  // namespace kupack
