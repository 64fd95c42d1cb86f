// Exit waits on every platform, with the real child program.
#include "platform/exit_wait.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <iterator>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/launch.h"
#include "platform/process.h"
#include "tests/support/test_child.h"
#include "tests/support/test_os.h"

namespace base {
namespace {

using test_os::kQuietPeriod;
using test_os::kWaitBound;
using test_os::WaitUntil;

Process LaunchChild(const std::string& actions) {
  return LaunchProcess(test_support::ChildCommandLine(), test_support::ChildActions(actions));
}

// Counts its calls; optionally holds each call until released.
struct Watch {
  static void Callback(void* context, unsigned char timer_or_wait_fired) {
    auto* watch = static_cast<Watch*>(context);
    watch->fired_flag.store(timer_or_wait_fired);
    watch->thread.store(std::this_thread::get_id());
    watch->entered.fetch_add(1);
    if (watch->on_call)
      watch->on_call(watch);
    {
      std::unique_lock<std::mutex> hold(watch->lock);
      watch->released.wait_for(hold, kWaitBound, [watch] { return !watch->hold_calls; });
    }
    watch->returned.fetch_add(1);
  }

  void Release() {
    std::lock_guard<std::mutex> hold(lock);
    hold_calls = false;
    released.notify_all();
  }

  std::atomic<int> entered{0};
  std::atomic<int> returned{0};
  std::atomic<unsigned char> fired_flag{0xff};
  std::atomic<std::thread::id> thread{};
  std::function<void(Watch*)> on_call;
  std::atomic<ExitWaitHandle> wait{ExitWaitHandle()};
  std::mutex lock;
  std::condition_variable released;
  bool hold_calls = false;
};

TEST(ExitWaitTest, FiresOnceOnAThreadOfItsOwnWhenTheProcessEnds) {
  Process child = LaunchChild("wait-forever");
  ASSERT_TRUE(child.IsValid());
  const int pid = child.Pid();
  Watch watch;
  ExitWaitHandle wait = ExitWaitHandle();
  ASSERT_TRUE(RegisterExitWait(&wait, child.Handle(), &Watch::Callback, &watch));
  EXPECT_NE(wait, ExitWaitHandle());
  // The wait watches a duplicate: the caller may close its handle.
  child.Close();
  EXPECT_FALSE(WaitUntil([&] { return watch.entered.load() > 0; }, kQuietPeriod));

  // Killed by pid, since the Process let it go; it is our unreaped child.
  test_os::KillProcess(pid);
  EXPECT_TRUE(WaitUntil([&] { return watch.returned.load() == 1; }));
  EXPECT_EQ(watch.fired_flag.load(), 0);
  EXPECT_NE(watch.thread.load(), std::this_thread::get_id());
  // An ended process stays signalled (a readable pidfd, a signalled
  // handle); a second call would show here.
  EXPECT_FALSE(WaitUntil([&] { return watch.entered.load() > 1; }, kQuietPeriod));
  EXPECT_TRUE(UnregisterExitWait(wait, true));
}

TEST(ExitWaitTest, CancelledBeforeTheEndNeverFires) {
  Process child = LaunchChild("wait-forever");
  ASSERT_TRUE(child.IsValid());
  Watch watch;
  ExitWaitHandle wait = ExitWaitHandle();
  ASSERT_TRUE(RegisterExitWait(&wait, child.Handle(), &Watch::Callback, &watch));
  EXPECT_TRUE(UnregisterExitWait(wait, true));
  ASSERT_TRUE(child.Terminate(0, true));
  EXPECT_FALSE(WaitUntil([&] { return watch.entered.load() > 0; }, kQuietPeriod));
  // A registration is forgotten once cancelled.
  EXPECT_FALSE(UnregisterExitWait(wait, true));
}

TEST(ExitWaitTest, CancelWaitsForARunningCallbackOrNotAsAsked) {
  for (const bool wait_for_callback : {true, false}) {
    SCOPED_TRACE(wait_for_callback ? "waiting" : "not waiting");
    Process child = LaunchChild("exit 0");
    ASSERT_TRUE(child.IsValid());
    Watch watch;
    watch.hold_calls = true;
    ExitWaitHandle wait = ExitWaitHandle();
    ASSERT_TRUE(RegisterExitWait(&wait, child.Handle(), &Watch::Callback, &watch));
    ASSERT_TRUE(WaitUntil([&] { return watch.entered.load() == 1; }));

    std::atomic<bool> cancelled{false};
    std::atomic<int> returned_when_cancelled{-1};
    std::thread canceller([&] {
      EXPECT_TRUE(UnregisterExitWait(wait, wait_for_callback));
      returned_when_cancelled.store(watch.returned.load());
      cancelled.store(true);
    });
    // The callback is held: a waiting cancellation cannot have returned.
    EXPECT_EQ(WaitUntil([&] { return cancelled.load(); }, kQuietPeriod), !wait_for_callback);
    watch.Release();
    canceller.join();
    EXPECT_EQ(returned_when_cancelled.load(), wait_for_callback ? 1 : 0);
    EXPECT_TRUE(WaitUntil([&] { return watch.returned.load() == 1; }));
  }
}

// A callback that ran after its wait was cancelled touched freed memory.
TEST(ExitWaitRegressionTest, CancellingAsProcessesEndNeverOutlivesTheRegistration) {
  // Each round ends a child and cancels its wait at the same moment, in each
  // of the three ways (waiting, not waiting, from inside the callback, which
  // must not deadlock). A callback runs at most once and never after its
  // registration is gone; a bug shows as a crash or a callback that never
  // returns.
  for (int round = 0; round < 30 && !HasFailure(); ++round) {
    Process child = LaunchChild("wait-forever");
    ASSERT_TRUE(child.IsValid());
    Watch watch;
    const int way = round % 3;
    if (way == 2)
      watch.on_call = [](Watch* self) { EXPECT_TRUE(UnregisterExitWait(self->wait.load(), true)); };
    ExitWaitHandle wait = ExitWaitHandle();
    ASSERT_TRUE(RegisterExitWait(&wait, child.Handle(), &Watch::Callback, &watch));
    watch.wait.store(wait);
    ASSERT_TRUE(child.Terminate(0, false));
    if (way == 0) {
      EXPECT_TRUE(UnregisterExitWait(wait, true));
      EXPECT_EQ(watch.entered.load(), watch.returned.load());
    } else if (way == 1) {
      EXPECT_TRUE(UnregisterExitWait(wait, false));
    } else {
      ASSERT_TRUE(WaitUntil([&] { return watch.returned.load() == 1; }));
    }
    // Whatever started has returned, and nothing starts any more.
    EXPECT_TRUE(WaitUntil([&] { return watch.entered.load() == watch.returned.load(); }));
    EXPECT_LE(watch.entered.load(), 1);
    EXPECT_FALSE(UnregisterExitWait(wait, true)) << "round " << round;
  }
}

// Processes that ended before their registration: each wait fires at once,
// and only once.
TEST(ExitWaitTest, ManyWaitsOfEndedProcessesEachFireOnce) {
  constexpr int kChildren = 8;
  Process children[kChildren];
  Watch watches[kChildren];
  ExitWaitHandle waits[kChildren] = {};
  for (int i = 0; i < kChildren; ++i) {
    children[i] = LaunchChild("exit 0");
    ASSERT_TRUE(children[i].WaitForExitWithTimeout(kWaitBound, nullptr));
    ASSERT_TRUE(RegisterExitWait(&waits[i], children[i].Handle(), &Watch::Callback, &watches[i]));
  }
  for (Watch& watch : watches)
    EXPECT_TRUE(WaitUntil([&] { return watch.returned.load() == 1; }));
  EXPECT_FALSE(WaitUntil(
      [&] {
        return std::any_of(std::begin(watches), std::end(watches),
                           [](const Watch& watch) { return watch.entered.load() != 1; });
      },
      kQuietPeriod));
  // Cancelling after the callback ran is still owed, and succeeds.
  for (ExitWaitHandle wait : waits)
    EXPECT_TRUE(UnregisterExitWait(wait, true));
}

TEST(ExitWaitTest, AnInvalidProcessOrAnUnknownWaitIsRefused) {
  Watch watch;
  ExitWaitHandle wait = ExitWaitHandle();
  EXPECT_FALSE(RegisterExitWait(&wait, kNullProcessHandle, &Watch::Callback, &watch));
  EXPECT_FALSE(UnregisterExitWait(ExitWaitHandle(), true));
}

}  // namespace
}  // namespace base
