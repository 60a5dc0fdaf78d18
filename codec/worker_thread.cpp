#include "codec/worker_thread.h"

#include <system_error>

namespace kupack {

WorkerThread::WorkerThread() {
  if (std::thread::hardware_concurrency() < 2) return;
  try {
    thread_ = std::thread([this] { serve(); });
  } catch (const std::system_error&) {
    // No second thread: leases stay empty and coders code alone.
  }
}

WorkerThread::~WorkerThread() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    quit_.store(true, std::memory_order_release);
  }
  wake_.notify_one();
  thread_.join();
}

void WorkerThread::post(std::function<void()> job) {
  job_ = std::move(job);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    posted_.fetch_add(1, std::memory_order_release);
  }
  wake_.notify_one();
}

void WorkerThread::waitForJob() {
  const std::uint64_t job = posted_.load(std::memory_order_relaxed);
  while (finished_.load(std::memory_order_acquire) != job) std::this_thread::yield();
}

void WorkerThread::serve() {
  std::uint64_t seen = 0;
  for (;;) {
    // Yielding while it watches, so that on a processor shared with the coder (a process
    // held to one core) the coder runs.
    const auto awakeUntil = std::chrono::steady_clock::now() + STAY_AWAKE;
    while (posted_.load(std::memory_order_acquire) == seen &&
           !quit_.load(std::memory_order_acquire) &&
           std::chrono::steady_clock::now() < awakeUntil) {
      std::this_thread::yield();
    }
    if (posted_.load(std::memory_order_acquire) == seen) {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] {
        return quit_.load(std::memory_order_acquire) ||
               posted_.load(std::memory_order_acquire) != seen;
      });
      if (quit_.load(std::memory_order_acquire) && posted_.load(std::memory_order_acquire) == seen)
        return;
    }
    seen = posted_.load(std::memory_order_acquire);
    job_();
    finished_.store(seen, std::memory_order_release);
  }
}

}  // namespace kupack
