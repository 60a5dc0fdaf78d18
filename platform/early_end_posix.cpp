// Ending early on POSIX systems: INT, TERM and HUP remove the registered files from the
// signal handler, from fixed storage, before the signal ends the process.

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <string>

#include "platform/early_end.h"
#include "platform/internal_posix.h"

namespace kupack::platform {

// Files being made right now and not yet registered (see internal_posix.h).
std::atomic<int> creationsUnderway{0};

// Set once an early end's cleanup has begun.
std::atomic<bool> endingEarly{false};

namespace {

// For tests: told what the early end's handler is doing (see setEarlyEndObserver).
std::atomic<void (*)(EarlyEndMoment)> earlyEndObserver{nullptr};

void tellEarlyEndObserver(EarlyEndMoment moment) {
  if (const auto observer = earlyEndObserver.load()) observer(moment);
}

// The files to remove on an early end, in fixed storage the signal handler can read
// without allocating: a slot is claimed, then its name written, then marked ready. The
// name is relative to `folder` (a descriptor, or AT_FDCWD for a path).
constexpr int EARLY_END_SLOTS = 40;  // extraction writes up to 32 files at once
enum SlotState : int { SLOT_FREE, SLOT_CLAIMED, SLOT_READY };
struct EarlyEndSlot {
  std::atomic<int> state{SLOT_FREE};
  int folder = AT_FDCWD;
  char path[PATH_MAX] = {};
};
EarlyEndSlot earlyEndSlots[EARLY_END_SLOTS];

}  // namespace

int takeEarlyEndSlot(int folder, const std::string& name) {
  if (name.size() >= PATH_MAX) return -1;
  for (int i = 0; i < EARLY_END_SLOTS; ++i) {
    EarlyEndSlot& slot = earlyEndSlots[i];
    int expected = SLOT_FREE;
    if (!slot.state.compare_exchange_strong(expected, SLOT_CLAIMED, std::memory_order_acquire))
      continue;
    slot.folder = folder;
    std::memcpy(slot.path, name.c_str(), name.size() + 1);
    slot.state.store(SLOT_READY, std::memory_order_release);
    return i;
  }
  return -1;
}

void freeEarlyEndSlot(int slot) {
  if (slot >= 0) earlyEndSlots[slot].state.store(SLOT_FREE, std::memory_order_release);
}

namespace {

// Runs with INT, TERM and HUP held on its thread (the action's mask) and stays installed,
// so that a second signal never ends the process halfway: one that reaches another thread
// finds the cleanup under way and returns, leaving it to finish. Only once every file is
// removed does the signal get its default action back; raised again on this thread, where
// it is held, it ends the process as soon as the handler returns.
extern "C" void removeRegisteredAndReraise(int signalNumber) {
  const int savedErrno = errno;
  if (endingEarly.exchange(true)) {
    tellEarlyEndObserver(EarlyEndMoment::FurtherSignal);
    errno = savedErrno;
    return;
  }
  tellEarlyEndObserver(EarlyEndMoment::CleanupStarts);
  // A file being made on another thread is registered within moments: wait for it (bounded,
  // about a second at most).
  for (int wait = 0; wait < 1000 && creationsUnderway.load() > 0; ++wait) {
    const timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
  for (EarlyEndSlot& slot : earlyEndSlots) {
    if (slot.state.load(std::memory_order_acquire) == SLOT_READY)
      unlinkat(slot.folder, slot.path, 0);
  }
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  sigaction(signalNumber, &defaultAction, nullptr);
  raise(signalNumber);
  errno = savedErrno;
}

}  // namespace

void installEarlyEndCleanup() {
  struct sigaction action {};
  action.sa_handler = removeRegisteredAndReraise;
  sigemptyset(&action.sa_mask);
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signalNumber);
  action.sa_flags = 0;
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction previous {};
    // A signal ignored by whoever started the run (nohup, a background job) stays ignored.
    if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
      continue;
    sigaction(signalNumber, &action, nullptr);
  }
  signal(SIGPIPE, SIG_IGN);
}

void RemovedOnEarlyEnd::track(const std::string& path) {
  release();
  slot_ = takeEarlyEndSlot(AT_FDCWD, path);
}

void RemovedOnEarlyEnd::release() {
  freeEarlyEndSlot(slot_);
  slot_ = -1;
}

void setEarlyEndObserver(void (*observer)(EarlyEndMoment)) { earlyEndObserver.store(observer); }

}  // namespace kupack::platform
