// Ending early: an interrupt, a termination request or a hang-up removes the files the run
// registered before the process ends, so that no half-written file is left behind.
#pragma once

#include <string>

namespace kupack::platform {

// From now on an interrupt, a termination request or a hang-up (on Windows: Ctrl-C,
// Ctrl-Break, closing the console) removes every file registered below and then ends the
// process as the signal would have; a console whose reader has gone (SIGPIPE) no longer
// ends the process, its writes just fail. A further signal while the files are being
// removed waits for that to finish; once the cleanup has begun no file is made any more.
// Safe to call more than once. Extraction's temporary files (StagedFile) are registered
// too while they are open.
void installEarlyEndCleanup();

// For tests (POSIX): `observer` is called from the early end's signal handler when its
// cleanup starts, before anything is removed, and when a further signal arrives while it
// runs; nullptr for none. It must do only what a signal handler may.
enum class EarlyEndMoment { CleanupStarts, FurtherSignal };
void setEarlyEndObserver(void (*observer)(EarlyEndMoment));

// Registers a file to be removed if the process ends early (see installEarlyEndCleanup)
// for as long as this object lives. A fixed number of files can be registered at once;
// beyond that, or for a path longer than the system's limit, nothing is registered.
class RemovedOnEarlyEnd {
 public:
  RemovedOnEarlyEnd() = default;
  explicit RemovedOnEarlyEnd(const std::string& path) { track(path); }
  ~RemovedOnEarlyEnd() { release(); }
  RemovedOnEarlyEnd(const RemovedOnEarlyEnd&) = delete;
  RemovedOnEarlyEnd& operator=(const RemovedOnEarlyEnd&) = delete;

  // Registers `path` (after releasing whatever was registered before).
  void track(const std::string& path);
  // Registers nothing any more.
  void release();

 private:
  int slot_ = -1;
};

}  // namespace kupack::platform
