// WorkerPool: tasks run in the order posted on the pool's threads; a lease is had only on an
// idle thread, runs its job on that thread, and no task takes a thread a lease counts on.
#include "codec/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace kupack {
namespace {

// Waits (bounded) until `done` holds.
// Sets the flag on every way out of a test, so that a task waiting for it ends and the pool
// can join.
struct SetOnExit {
  std::atomic<bool>& flag;
  ~SetOnExit() { flag = true; }
};

template <class Condition>
bool eventually(Condition done) {
  for (int i = 0; i < 5000 && !done(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

WorkerPool::Lease leaseWhenIdle(WorkerPool& pool) {
  for (int i = 0; i < 5000; ++i) {
    if (WorkerPool::Lease lease = pool.lease()) return lease;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return {};
}

TEST(WorkerPoolTest, LeasesAreHadOnlyOnIdleThreadsAndRunThere) {
  std::atomic<bool> release{false};
  WorkerPool pool(2);
  const SetOnExit releaseOnExit{release};
  ASSERT_EQ(pool.size(), 2u);
  std::atomic<int> busy{0};
  pool.post([&] {
    ++busy;
    while (!release) std::this_thread::yield();
  });
  ASSERT_TRUE(eventually([&] { return busy == 1; }));
  {
    // The second thread is idle: one lease, and no second one.
    WorkerPool::Lease lease = leaseWhenIdle(pool);
    ASSERT_TRUE(lease);
    EXPECT_FALSE(pool.lease());
    // A task posted now waits: the idle thread is promised to the lease.
    std::atomic<bool> taskRan{false};
    pool.post([&] { taskRan = true; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(taskRan);
    std::thread::id helper;
    lease.run([&] { helper = std::this_thread::get_id(); });
    lease.wait();
    EXPECT_NE(helper, std::this_thread::get_id());
    EXPECT_NE(helper, std::thread::id());
    release = true;
    EXPECT_TRUE(eventually([&] { return taskRan.load(); }));
  }
}

TEST(WorkerPoolTest, DestroyingThePoolDropsTasksNotStartedAndJoins) {
  std::atomic<int> ran{0};
  std::atomic<bool> started{false};
  std::atomic<bool> release{false};
  {
    WorkerPool pool(1);
    pool.post([&] {
      started = true;
      while (!release) std::this_thread::yield();
      ++ran;
    });
    // The queued tasks share one token; only the pool dropping them frees it (its one thread
    // is held by the first task), and that lets the first task end: no timing decides.
    auto token = std::shared_ptr<void>(nullptr, [&](void*) { release = true; });
    for (int i = 0; i < 10; ++i) pool.post([&ran, token] { ++ran; });
    token.reset();
    const bool began = eventually([&] { return started.load(); });
    if (!began) release = true;
    ASSERT_TRUE(began);
  }  // drops the ten tasks behind the running one, which frees it, and joins
  EXPECT_EQ(ran.load(), 1);
}

}  // namespace
}  // namespace kupack
