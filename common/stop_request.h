// A process-wide request to stop long work early. Whoever learns that the process is to end
// asks for it (a signal handler may: it only sets a lock-free flag); long decodes and copies
// look at it between pieces and end with a failure, so that the process ends within moments
// and its own files are cleaned up on the way out.
#pragma once

#include <atomic>

namespace kupack {

namespace detail {
inline std::atomic<bool> stopRequestFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free);
}  // namespace detail

// Asks the long work in progress, and all that starts later, to stop. Safe in a signal
// handler.
inline void requestStop() { detail::stopRequestFlag.store(true, std::memory_order_relaxed); }

inline bool stopRequested() { return detail::stopRequestFlag.load(std::memory_order_relaxed); }

// Withdraws the request (for tests, which go on in the same process).
inline void withdrawStopRequest() {
  detail::stopRequestFlag.store(false, std::memory_order_relaxed);
}

}  // namespace kupack
