#include "tools/demo_host/task_queue.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

namespace demo_host {
namespace {

TEST(TaskQueueTest, RunsTasksByDueTimeThenInPostingOrder) {
  TaskQueue queue;
  std::mutex lock;
  std::vector<int> order;
  auto record = [&](int n) {
    return [&, n] {
      std::lock_guard<std::mutex> guard(lock);
      order.push_back(n);
    };
  };
  // Hold the thread so that every task is queued before any runs; the
  // order then depends only on due times and posting order.
  std::atomic<bool> release{false};
  queue.PostTask([&] {
    while (!release)
      std::this_thread::yield();
  }, 0);
  queue.PostTask(record(4), 40);
  queue.PostTask(record(1), 0);
  queue.PostTask(record(3), 20);
  queue.PostTask(record(2), 0);
  release = true;
  // A RunAndWait task is due now, so it runs before the delayed ones.
  queue.RunAndWait(record(0));
  {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 0}));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(lock);
      if (order.size() == 5u || std::chrono::steady_clock::now() > deadline)
        break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 0, 3, 4}));
}

TEST(TaskQueueTest, DelaysATaskAtLeastAsLongAsAsked) {
  TaskQueue queue;
  const auto posted = std::chrono::steady_clock::now();
  std::atomic<bool> ran{false};
  std::chrono::steady_clock::time_point ran_at;
  queue.PostTask([&] {
    ran_at = std::chrono::steady_clock::now();
    ran = true;
  }, 30);
  // A task due now does not wait behind the delayed one.
  queue.RunAndWait([] {});
  EXPECT_FALSE(ran);
  while (!ran)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_GE(ran_at - posted, std::chrono::milliseconds(30));
}

TEST(TaskQueueTest, StopDropsPendingTasksAndReleasesWhatTheyHold) {
  auto held = std::make_shared<int>(7);
  std::atomic<bool> ran{false};
  {
    TaskQueue queue;
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

TEST(TaskQueueTest, RunAndWaitFromTheQueuesOwnThreadRunsInline) {
  TaskQueue queue;
  bool inner_ran = false;
  // Waiting for the queue from inside one of its own tasks would deadlock.
  EXPECT_TRUE(queue.RunAndWait([&] {
    EXPECT_TRUE(queue.IsCurrentThread());
    EXPECT_TRUE(queue.RunAndWait([&] { inner_ran = true; }));
  }));
  EXPECT_TRUE(inner_ran);
  EXPECT_FALSE(queue.IsCurrentThread());
}

}  // namespace
}  // namespace demo_host
