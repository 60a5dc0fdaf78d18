#include "codec/worker_pool.h"

#include <system_error>

namespace kupack {

WorkerPool::WorkerPool(unsigned threads) {
  threads_.reserve(threads);
  for (unsigned i = 0; i < threads; ++i) {
    try {
      threads_.emplace_back([this] { serve(); });
    } catch (const std::system_error&) {
      break;  // fewer threads; size() tells the caller
    }
  }
}

WorkerPool::~WorkerPool() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
    tasks_.clear();
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void WorkerPool::post(std::function<void()> task) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

WorkerPool::Lease WorkerPool::lease() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (idle_ <= reserved_) return {};
  ++reserved_;
  return Lease(this);
}

void WorkerPool::postHelper(HelperJob* job) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    helpers_.push_back(job);
  }
  wake_.notify_all();
}

void WorkerPool::releaseReservation() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    --reserved_;
  }
  wake_.notify_all();
}

void WorkerPool::serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ++idle_;
    // A task is taken, and the pool left, only by a thread no lease is counting on: a lease
    // had just before the pool ends still finds its thread.
    wake_.wait(lock, [this] {
      return !helpers_.empty() || (idle_ > reserved_ && (quit_ || !tasks_.empty()));
    });
    --idle_;
    if (!helpers_.empty()) {
      HelperJob* helper = helpers_.front();
      helpers_.pop_front();
      --reserved_;
      lock.unlock();
      helper->job();
      helperJobsDone_.fetch_add(1, std::memory_order_release);
      helper->done.store(true, std::memory_order_release);
      lock.lock();
      continue;
    }
    if (quit_) return;
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    task = nullptr;  // whatever it holds goes before the thread waits again
    lock.lock();
  }
}

WorkerPool::Lease::~Lease() {
  if (pool_ == nullptr) return;
  if (posted_) {
    wait();
  } else {
    pool_->releaseReservation();
  }
}

void WorkerPool::Lease::run(std::function<void()> job) {
  job_->job = std::move(job);
  job_->done.store(false, std::memory_order_relaxed);
  posted_ = true;
  pool_->postHelper(job_.get());
}

void WorkerPool::Lease::wait() {
  while (!job_->done.load(std::memory_order_acquire)) std::this_thread::yield();
}

}  // namespace kupack
