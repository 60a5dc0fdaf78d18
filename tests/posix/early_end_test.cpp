// Ending early on a signal, in child processes of the test: the run's files are removed
// however the signals come, a second one while the first is being handled included (the
// second is sent only once the child has said that the first one's cleanup is running).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "platform/file.h"
#include "platform/platform.h"
#include "tests/test_support.h"

namespace kupack {
namespace {

namespace fs = std::filesystem;

// The child's end of the socket to the test, for the handler's observer.
int childSocket = -1;

// In the child: says which moment the handler reached; at the cleanup's start it then
// waits for the test's word before the cleanup goes on.
void observeEarlyEnd(platform::EarlyEndMoment moment) {
  const char said = moment == platform::EarlyEndMoment::CleanupStarts ? 'C' : 'F';
  if (send(childSocket, &said, 1, MSG_NOSIGNAL) != 1) _exit(120);
  if (moment == platform::EarlyEndMoment::CleanupStarts) {
    char word = 0;
    if (read(childSocket, &word, 1) != 1) _exit(121);
  }
}

// A child process that ends early: it sets up the cleanup, makes its file with `make` and
// says 'R', then waits in two threads for the signals, so that a second signal always has a
// thread that is not handling the first.
class EarlyEndingChild {
 public:
  template <typename Make>
  explicit EarlyEndingChild(Make make) {
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(sockets[0]);
      childSocket = sockets[1];
      platform::installEarlyEndCleanup();
      platform::setEarlyEndObserver(observeEarlyEnd);
      if (!make()) _exit(122);
      std::thread waiting([] {
        for (;;) pause();
      });
      const char ready = 'R';
      if (send(childSocket, &ready, 1, MSG_NOSIGNAL) != 1) _exit(123);
      for (;;) pause();
    }
    close(sockets[1]);
    socket_ = sockets[0];
  }
  ~EarlyEndingChild() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (socket_ >= 0) close(socket_);
  }
  EarlyEndingChild(const EarlyEndingChild&) = delete;
  EarlyEndingChild& operator=(const EarlyEndingChild&) = delete;

  bool started() const { return pid_ > 0 && socket_ >= 0; }

  // The next word from the child; 0 once it has ended (or after a minute of silence, which
  // only a broken child gives).
  char nextWord() const {
    pollfd waiting{socket_, POLLIN, 0};
    if (poll(&waiting, 1, 60000) != 1) return 0;
    char word = 0;
    return read(socket_, &word, 1) == 1 ? word : 0;
  }
  void sayGoOn() const {
    const char word = 'G';
    send(socket_, &word, 1, MSG_NOSIGNAL);
  }
  void signal(int signalNumber) const { kill(pid_, signalNumber); }
  int waitForEnd() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  int socket_ = -1;
};

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  return names;
}

TEST(EarlyEndTest, ASecondSignalDuringTheCleanupNeverKeepsThePartialArchive) {
  struct Case {
    int first;
    int second;
  };
  for (const Case& signals : {Case{SIGINT, SIGINT}, Case{SIGTERM, SIGTERM}, Case{SIGHUP, SIGHUP},
                              Case{SIGINT, SIGTERM}}) {
    SCOPED_TRACE(testing::Message() << "signals " << signals.first << ", " << signals.second);
    test::TempDir dir;
    const std::string stem = (dir.path() / "out.kup").string();
    EarlyEndingChild child([&] {
      static platform::RemovedOnEarlyEnd removal;
      std::string made;
      std::FILE* part = platform::createUniqueFile(stem, ".part", made, &removal);
      return part != nullptr;
    });
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.nextWord(), 'R');
    ASSERT_EQ(namesIn(dir.path()).size(), 1U);
    child.signal(signals.first);
    ASSERT_EQ(child.nextWord(), 'C');
    child.signal(signals.second);
    // The second signal reaches the thread that is not cleaning up, which must leave the
    // cleanup to finish rather than end the process.
    EXPECT_EQ(child.nextWord(), 'F');
    child.sayGoOn();
    const int status = child.waitForEnd();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signals.first) << status;
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{});
  }
}

TEST(EarlyEndTest, AnExtractedFileBeingWrittenIsRemoved) {
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signalNumber);
    test::TempDir dir;
    const std::string root = dir.path().string();
    EarlyEndingChild child([&] {
      static platform::StagedCreation created;
      created = platform::realFileSystem().createStaged(root, {"sub", "file.bin"}, false);
      static const std::uint8_t partly[] = {'p', 'a', 'r', 't', 'l', 'y'};
      return created.result == platform::CreateBelowResult::Created &&
             created.file->append(partly).isOk();
    });
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.nextWord(), 'R');
    ASSERT_EQ(namesIn(dir.path() / "sub").size(), 1U);
    child.signal(signalNumber);
    ASSERT_EQ(child.nextWord(), 'C');
    child.sayGoOn();
    const int status = child.waitForEnd();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << status;
    EXPECT_EQ(namesIn(dir.path() / "sub"), std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace kupack
