// A kupack run whose standard output goes to a pipe that is read only when asked: once the
// pipe is full the run waits in the middle of its work, so a test can act on it there (send
// a signal, change a file) without racing it. Killed and reaped on every way out.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace kupack::test {

class HeldRun {
 public:
  HeldRun(const std::filesystem::path& workingDir, const std::vector<std::string>& args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], STDOUT_FILENO);
      close(fds[0]);
      close(fds[1]);
      if (chdir(workingDir.c_str()) != 0) _exit(127);
      std::vector<char*> argv{const_cast<char*>(KUPACK_BINARY)};
      for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(KUPACK_BINARY, argv.data());
      _exit(127);
    }
    close(fds[1]);
    output_ = fds[0];
  }
  ~HeldRun() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) close(output_);
  }
  HeldRun(const HeldRun&) = delete;
  HeldRun& operator=(const HeldRun&) = delete;

  bool started() const { return pid_ > 0; }

  // Sends `signalNumber` and returns the wait status.
  int signalAndWait(int signalNumber) {
    kill(pid_, signalNumber);
    return waitForEnd();
  }

  // Reads the rest of the output and returns the wait status.
  int drainAndWait() {
    char buffer[4096];
    while (read(output_, buffer, sizeof buffer) > 0) {
    }
    return waitForEnd();
  }

 private:
  int waitForEnd() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  pid_t pid_ = -1;
  int output_ = -1;
};

}  // namespace kupack::test
