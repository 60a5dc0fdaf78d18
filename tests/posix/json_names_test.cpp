// -l --json on names that are no Shift-JIS text: the readable "name" cannot tell them
// apart, "name_bytes" does, and those bytes given as a NAME select the entry. (POSIX: the
// test hands kupack arguments that are no text in any code page.)
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/archive_builder.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

using test::runKupack;

TEST(JsonNamesTest, NamesKeepEveryByteAndSelectTheirEntry) {
  test::TempDir dir_;
  // Two names that are no Shift-JIS text (a lead byte without a valid trail byte), which the
  // readable "name" shows alike, and the duplicate.
  test::writeFile(dir_ / "odd.kup",
                  test::buildArchiveBytes({test::storedEntry("x\x81\xfd", "one"),
                                           test::storedEntry("x\x81\xfe", "two"),
                                           test::storedEntry("x\x81\xfe", "three")}));
  const auto listed = runKupack({"-l", "--json", "odd.kup"}, dir_.path());
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  const auto json = nlohmann::json::parse(listed.out);
  ASSERT_EQ(json.size(), 3U);
  EXPECT_EQ(json[0]["name"], json[1]["name"]);
  EXPECT_EQ(json[0]["name_bytes"], "7881fd");
  EXPECT_EQ(json[1]["name_bytes"], "7881fe");
  EXPECT_EQ(json[2]["name_bytes"], "7881fe");
  EXPECT_EQ(json[0]["duplicate"], false);
  EXPECT_EQ(json[1]["duplicate"], false);
  EXPECT_EQ(json[2]["duplicate"], true);
  // The bytes themselves select each entry.
  EXPECT_EQ(runKupack({"-p", "odd.kup", std::string("x\x81\xfd")}, dir_.path()).out, "one");
  EXPECT_EQ(runKupack({"-p", "odd.kup", std::string("x\x81\xfe")}, dir_.path()).out, "two");
}

}  // namespace
}  // namespace kupack
