// The file layer on what only POSIX systems make easily: a named pipe.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "archive/archive_reader.h"
#include "app/status_text.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

// A pipe is refused at once, never waited for, and said to be no regular file: the error is
// the layer's own, not whatever an earlier call left behind.
TEST(FilePosixTest, PipeIsNoRegularFileAndNeverWaitedFor) {
  test::TempDir dir;
  const std::string pipe = (dir / "pipe.kup").string();
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  std::unique_ptr<platform::ReadableFile> file;
  errno = ENOTTY;  // as an earlier isatty() leaves it
  const Status status = platform::realFileSystem().openReadable(pipe, file);
  EXPECT_EQ(status.code(), Status::Code::CannotOpen);
  EXPECT_EQ(status.errorNumber(), EINVAL);
  EXPECT_EQ(platform::regularFileLength(pipe), std::nullopt);
  errno = ENOTTY;
  ArchiveReader reader;
  const Status opened = reader.open(pipe);
  EXPECT_NE(statusText(opened).find("is not a regular file"), std::string::npos) << statusText(opened);
}

// A list given as a pipe (a shell's process substitution, <(...)) is read to its end.
TEST(FilePosixTest, ListMayBeAPipe) {
  int ends[2] = {-1, -1};
  ASSERT_EQ(pipe(ends), 0);
  const std::string text = "*.db\n.git\n";
  ASSERT_EQ(write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(ends[1]);
  std::vector<std::uint8_t> bytes;
  const Status read =
      platform::realFileSystem().readList("/dev/fd/" + std::to_string(ends[0]), 100, bytes);
  close(ends[0]);
  ASSERT_TRUE(read) << statusText(read);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), text);
}

}  // namespace
}  // namespace kupack
