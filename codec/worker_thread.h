// WorkerThread: a second thread that a coder is handed to code ahead on, one job after the
// other. Whoever makes it owns it (the packing run makes one for all its entries); a coder
// only leases it for a while. A thread made anew for every job may wait for milliseconds
// before it first runs, while the thread that made it is busy; this one stays, and after a
// job it keeps watching for the next one for a moment before it sleeps, so that the jobs
// of a run find it awake.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace kupack {

class WorkerThread {
 public:
  // Starts the thread when the processor has a second core; otherwise, or when no thread
  // can be started, there is none and every lease() is empty.
  WorkerThread();
  // Lets the thread end and joins it; no lease may be alive.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // The right to give the thread one job after the other, until the lease ends.
  class Lease {
   public:
    Lease() = default;
    explicit Lease(WorkerThread* worker) : worker_(worker) {}
    Lease(Lease&& other) noexcept : worker_(std::exchange(other.worker_, nullptr)) {}
    Lease& operator=(Lease&&) = delete;
    ~Lease() {
      if (worker_ != nullptr) worker_->busy_.store(false, std::memory_order_release);
    }
    explicit operator bool() const { return worker_ != nullptr; }
    // Starts `job` on the thread; wait() must follow before the next run().
    void run(std::function<void()> job) { worker_->post(std::move(job)); }
    void wait() { worker_->waitForJob(); }

   private:
    WorkerThread* worker_ = nullptr;
  };

  // A lease; empty when there is no thread or another holds it.
  Lease lease() {
    if (!thread_.joinable() || busy_.exchange(true, std::memory_order_acquire)) return {};
    return Lease(this);
  }

 private:
  void post(std::function<void()> job);
  // Jobs end soon after the last piece is taken, so this waits by yielding the processor
  // (std::atomic::wait is not dependable everywhere: MinGW's can miss its wake-up).
  void waitForJob();
  void serve();

  static constexpr std::chrono::milliseconds STAY_AWAKE{3};

  std::atomic<bool> busy_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<bool> quit_{false};         // set under mutex_, for the wait
  std::atomic<std::uint64_t> posted_{0};  // jobs given
  std::atomic<std::uint64_t> finished_{0};
  std::function<void()> job_;  // written before posted_ grows, read after
  std::thread thread_;         // last: started when everything it uses is made
};

}  // namespace kupack
