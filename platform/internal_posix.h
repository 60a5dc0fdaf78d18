// What the POSIX files of the platform layer share among themselves: the UTF-8 checks and
// code page 932 conversions, a path with its links resolved, and the early end's hold on
// signals while a file is made. Only platform/*_posix.cpp include it.
#pragma once

#include <signal.h>

#include <atomic>
#include <optional>
#include <string>
#include <string_view>

namespace kupack::platform {

// The length of the well-formed UTF-8 character at the start of `text` (shortest form,
// no surrogate, at most U+10FFFF), its code point in `codePoint`; 0 when there is none.
std::size_t decodeUtf8Char(std::string_view text, char32_t& codePoint);

bool isUtf8(std::string_view text);
bool isAscii(std::string_view text);

// Well-formed UTF-8 as UTF-16 code units.
std::u16string utf8ToUtf16(std::string_view utf8);

// Code page 932 as UTF-8, nullopt when any part of it does not convert.
std::optional<std::string> cp932ToUtf8(std::string_view cp932);

// `path` with every link resolved (realpath), or nullopt (errno set).
std::optional<std::string> resolvedPath(const std::string& path);

// ---- Ending early (early_end_posix.cpp) ----------------------------------------------

// Files being made right now and not yet registered: an early end on another thread waits
// for them (see removeRegisteredAndReraise).
extern std::atomic<int> creationsUnderway;

// Set once an early end's cleanup has begun: no file is made from then on, and a further
// signal leaves the cleanup to finish.
extern std::atomic<bool> endingEarly;

// While it lives, this thread receives none of the signals that end a run early (one sent
// meanwhile arrives when it ends, or is taken by another thread, which then waits for the
// creation to be registered).
class EarlyEndSignalsHeld {
 public:
  EarlyEndSignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, signalNumber);
    pthread_sigmask(SIG_BLOCK, &held, &previous_);
    creationsUnderway.fetch_add(1);
  }
  ~EarlyEndSignalsHeld() {
    creationsUnderway.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  EarlyEndSignalsHeld(const EarlyEndSignalsHeld&) = delete;
  EarlyEndSignalsHeld& operator=(const EarlyEndSignalsHeld&) = delete;

  // True once an early end has begun: nothing may be made any more, since its cleanup
  // might not see it. (Counted as underway first, then looked: a cleanup that began
  // before is seen here, one that begins after waits for this creation.)
  static bool tooLate() { return endingEarly.load(); }

 private:
  sigset_t previous_{};
};

// Takes a free slot for `name` below `folder` (a descriptor, or AT_FDCWD for a path) in the
// early end's list of files to remove; -1 when none is free or the name too long.
int takeEarlyEndSlot(int folder, const std::string& name);

// Gives the slot back (nothing for -1).
void freeEarlyEndSlot(int slot);

}  // namespace kupack::platform
