// WorkerPool: the threads of a packing run. Tasks posted to it run on the first free thread,
// in the order they were posted; a coder may lease a thread that has nothing to do and give
// it stretches of its own work (the LZSS coder's second parse), so that a run never uses
// more threads than the pool has. Destroying the pool drops tasks not yet started and joins
// every thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace kupack {

class WorkerPool {
 public:
  // Starts `threads` threads (fewer when the system refuses more; size() says how many).
  explicit WorkerPool(unsigned threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t size() const { return threads_.size(); }

  // Runs `task` on a free thread once the tasks posted before it have started.
  void post(std::function<void()> task);

  // One job handed to a leased thread; done once it has returned.
  struct HelperJob {
    std::function<void()> job;
    std::atomic<bool> done{false};
  };

  // The right to give one idle thread one job; the thread stays reserved until the lease
  // ends (or the job is taken). Ending a lease waits for its job.
  class Lease {
   public:
    Lease() = default;
    explicit Lease(WorkerPool* pool) : pool_(pool), job_(std::make_unique<HelperJob>()) {}
    Lease(Lease&& other) noexcept
        : pool_(std::exchange(other.pool_, nullptr)),
          job_(std::move(other.job_)),
          posted_(other.posted_) {}
    Lease& operator=(Lease&&) = delete;
    ~Lease();
    explicit operator bool() const { return pool_ != nullptr; }
    // Starts `job` on the reserved thread; at most once per lease, wait() before the next.
    void run(std::function<void()> job);
    // Returns once the job has returned (by yielding: jobs end soon after their last piece).
    void wait();

   private:
    WorkerPool* pool_ = nullptr;
    std::unique_ptr<HelperJob> job_;
    bool posted_ = false;
  };

  // A lease on an idle thread; empty when every thread is busy or reserved.
  Lease lease();

  // How many leased jobs the pool's threads have finished so far.
  std::size_t helperJobsDone() const { return helperJobsDone_.load(std::memory_order_acquire); }

 private:
  void serve();
  void postHelper(HelperJob* job);
  void releaseReservation();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  std::deque<HelperJob*> helpers_;
  std::size_t idle_ = 0;      // threads waiting for work
  std::size_t reserved_ = 0;  // idle threads promised to leases
  bool quit_ = false;
  std::atomic<std::size_t> helperJobsDone_{0};
  std::vector<std::thread> threads_;  // last: started when everything they use is made
};

}  // namespace kupack
