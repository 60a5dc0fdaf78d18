#include "archive/file_holder.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace kupack {
namespace {

TEST(FileHolderTest, WritesBigEndianAndLearnsSizeOnRead) {
  test::TempDir dir;
  const std::string path = (dir / "x.bin").string();
  {
    FileHolder out;
    ASSERT_TRUE(out.open(path, "wb"));
    EXPECT_TRUE(out.writeBE16(0x12345));  // only the low 16 bits count
    EXPECT_TRUE(out.writeBE32(0xA1B2C3D4u));
    EXPECT_TRUE(out.close());
    EXPECT_FALSE(out.isOpen());
  }
  EXPECT_EQ(test::readFile(path), std::string("\x23\x45\xA1\xB2\xC3\xD4", 6));
  FileHolder in;
  ASSERT_TRUE(in.open(path, "rb"));
  EXPECT_EQ(in.size(), 6u);
}

TEST(FileHolderTest, MissingFileLeavesHolderEmpty) {
  test::TempDir dir;
  FileHolder in;
  EXPECT_FALSE(in.open((dir / "none").string(), "rb"));
  EXPECT_FALSE(in.isOpen());
  EXPECT_TRUE(in.close());
}

TEST(FileHolderTest, FullDeviceIsReportedOnClose) {
  FileHolder out;
  if (!out.open("/dev/full", "wb")) GTEST_SKIP() << "no /dev/full here";
  std::string block(100000, 'x');
  const bool wrote = out.writeBytes(block.data(), block.size());
  const bool closed = out.close();
  EXPECT_FALSE(wrote && closed);
}

// A source is read for exactly the length it had when opened: a file that grows is never
// read past it, and one that grows or shrinks is noticed; an unchanged one is not.
TEST(FileHolderTest, ReadsExactlyTheOpenedLengthAndNoticesChange) {
  test::TempDir dir;
  const auto path = dir / "source.bin";
  char buffer[64] = {};
  struct Case {
    std::uintmax_t before;
    std::uintmax_t after;  // the length set once the file is open
    std::size_t read;      // what read() gives
    bool changed;
  };
  for (const Case& c : {Case{10, 10, 10, false}, Case{10, 1000, 10, true}, Case{100, 20, 20, true},
                        Case{0, 5, 0, true}}) {
    test::writeFile(path, std::string(static_cast<std::size_t>(c.before), 'a'));
    FileHolder in;
    ASSERT_TRUE(in.open(path.string(), "rb"));
    EXPECT_EQ(in.size(), c.before);
    std::filesystem::resize_file(path, c.after);
    EXPECT_EQ(in.read(buffer, sizeof buffer), c.read) << c.before << " -> " << c.after;
    EXPECT_EQ(in.read(buffer, sizeof buffer), 0u);
    EXPECT_EQ(in.changed(), c.changed) << c.before << " -> " << c.after;
    EXPECT_FALSE(in.readFailed());
  }
}

}  // namespace
}  // namespace kupack
