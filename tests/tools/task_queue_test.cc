#include "tools/task_queue/task_queue.h"

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_os.h"  // kWaitBound only

namespace task_queue {
namespace {

using Clock = TaskQueue::Clock;

// The virtual clock: due time, then posting order; nothing runs before the
// test moves the clock past it, and tasks run on the test's thread.
TEST(TaskQueueTest, VirtualClockRunsByDueTimeThenPostingOrderOnlyWhenAdvanced) {
  TaskQueue queue(Clock::kVirtual);
  std::vector<int> order;
  queue.PostTask([&] { order.push_back(4); }, 40);
  queue.PostTask([&] { order.push_back(1); }, 0);
  queue.PostTask([&] { order.push_back(3); }, 20);
  queue.PostTask([&] {
    order.push_back(2);
    queue.PostTask([&] { order.push_back(5); }, 25);  // due at 25 of the clock
  }, 0);
  queue.RunUntilIdle();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(queue.delayed_count(), 3u);
  queue.AdvanceTime(19);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  queue.AdvanceTime(6);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 5}));
  EXPECT_EQ(queue.now_ms(), 25u);
  // RunUntil waits in real time but never moves the virtual clock.
  EXPECT_FALSE(queue.RunUntil([&] { return order.size() == 5u; }, std::chrono::milliseconds(20)));
  queue.Drain();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 5, 4}));
  EXPECT_EQ(queue.size(), 0u);
}

// The real clock on a thread of its own (the demo host's UI thread).
TEST(TaskQueueTest, RealClockThreadRunsTasksAsTheyFallDue) {
  TaskQueue queue(Clock::kReal);
  std::mutex lock;
  std::vector<int> order;
  auto record = [&](int n) {
    return [&, n] {
      std::lock_guard<std::mutex> guard(lock);
      order.push_back(n);
    };
  };
  // Every task is queued before the thread starts.
  const auto posted = std::chrono::steady_clock::now();
  std::promise<std::chrono::steady_clock::time_point> delayed_ran_at;
  queue.PostTask([&] {
    record(3)();
    delayed_ran_at.set_value(std::chrono::steady_clock::now());
  }, 30);
  queue.PostTask(record(1), 0);
  queue.RunOnThread();
  // A RunAndWait task is due now: it wakes the thread waiting for the
  // delayed one, and runs before it.
  EXPECT_TRUE(queue.RunAndWait(record(2)));
  {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
  }
  std::future<std::chrono::steady_clock::time_point> ran_at = delayed_ran_at.get_future();
  ASSERT_EQ(ran_at.wait_for(test_os::kWaitBound), std::future_status::ready);
  EXPECT_GE(ran_at.get() - posted, std::chrono::milliseconds(30));
  {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  }
  // Waiting for the queue from inside one of its own tasks runs inline.
  bool inner_ran = false;
  EXPECT_TRUE(queue.RunAndWait([&] {
    EXPECT_TRUE(queue.IsCurrentThread());
    EXPECT_TRUE(queue.RunAndWait([&] { inner_ran = true; }));
  }));
  EXPECT_TRUE(inner_ran);
  EXPECT_FALSE(queue.IsCurrentThread());
}

// The real clock driven from the caller's thread (the benchmarks' host).
TEST(TaskQueueTest, RealClockRunUntilWaitsForTheNextDueTask) {
  TaskQueue queue(Clock::kReal);
  bool ran = false;
  queue.PostTask([&] { ran = true; }, 20);
  queue.RunUntilIdle();
  EXPECT_FALSE(ran);
  EXPECT_TRUE(queue.RunUntil([&] { return ran; }, test_os::kWaitBound));
}

TEST(TaskQueueTest, StopDropsPendingTasksAndReleasesWhatTheyHold) {
  auto held = std::make_shared<int>(7);
  std::atomic<bool> ran{false};
  {
    TaskQueue queue(Clock::kReal);
    queue.RunOnThread();
    queue.PostTask([held, &ran] { ran = true; }, 60000);
    queue.PostTask([held, &ran] { ran = true; }, 60000);
    EXPECT_EQ(held.use_count(), 3);
    queue.Stop();
    EXPECT_EQ(held.use_count(), 1) << "dropped tasks must release their captures at Stop";
    // After Stop nothing is queued, and a RunAndWait does not hang.
    queue.PostTask([held] {}, 0);
    EXPECT_EQ(held.use_count(), 1);
    EXPECT_FALSE(queue.RunAndWait([&ran] { ran = true; }));
  }
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace task_queue
