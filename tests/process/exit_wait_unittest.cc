#include "platform/exit_wait.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/launch.h"
#include "platform/process.h"
#include "tests/process/test_support_posix.h"

namespace base {
namespace {

using test_support::kGenerousTimeout;
using test_support::kQuietPeriod;
using test_support::WaitUntil;

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
      watch->released.wait(hold, [watch] { return !watch->hold_calls; });
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
  std::mutex lock;
  std::condition_variable released;
  bool hold_calls = false;
};

TEST(ExitWaitTest, FiresOnceWhenTheProcessEnds) {
  Process child = LaunchChild("wait-forever");
  ASSERT_TRUE(child.IsValid());
  Watch watch;
  ExitWaitHandle wait = ExitWaitHandle();
  ASSERT_TRUE(RegisterExitWait(&wait, child.Handle(), &Watch::Callback, &watch));
  EXPECT_NE(wait, ExitWaitHandle());
  EXPECT_EQ(watch.entered.load(), 0);

  ASSERT_TRUE(child.Terminate(0, false));
  EXPECT_TRUE(WaitUntil([&] { return watch.returned.load() == 1; }));
  EXPECT_EQ(watch.fired_flag.load(), 0);
  EXPECT_NE(watch.thread.load(), std::this_thread::get_id());
  // The pidfd stays readable after the end; a second call would show here.
  EXPECT_FALSE(WaitUntil([&] { return watch.entered.load() > 1; }, kQuietPeriod));
  EXPECT_TRUE(UnregisterExitWait(wait, true));
}

TEST(ExitWaitTest, FiresForAProcessThatEndedBeforeRegistration) {
  Process child = LaunchChild("exit 0");
  ASSERT_TRUE(child.IsValid());
  ASSERT_TRUE(child.WaitForExitWithTimeout(kGenerousTimeout, nullptr));
  Watch watch;
  ExitWaitHandle wait = ExitWaitHandle();
  ASSERT_TRUE(RegisterExitWait(&wait, child.Handle(), &Watch::Callback, &watch));
  EXPECT_TRUE(WaitUntil([&] { return watch.returned.load() == 1; }));
  EXPECT_TRUE(UnregisterExitWait(wait, true));
}

TEST(ExitWaitTest, WatchesADuplicateSoTheCallerMayCloseItsHandle) {
  Process child = LaunchChild("wait-forever");
  ASSERT_TRUE(child.IsValid());
  const int pidfd = test_support::OpenPidfd(child.Pid());
  ASSERT_GE(pidfd, 0);
  Watch watch;
  ExitWaitHandle wait = ExitWaitHandle();
  ASSERT_TRUE(RegisterExitWait(&wait, child.Handle(), &Watch::Callback, &watch));
  child.Close();
  // Killed through a pidfd of our own, since the Process let it go.
  ASSERT_EQ(syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0), 0);
  close(pidfd);
  EXPECT_TRUE(WaitUntil([&] { return watch.returned.load() == 1; }));
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

TEST(ExitWaitTest, CancelAfterTheCallbackHasRun) {
  Process child = LaunchChild("exit 0");
  ASSERT_TRUE(child.IsValid());
  Watch watch;
  ExitWaitHandle wait = ExitWaitHandle();
  ASSERT_TRUE(RegisterExitWait(&wait, child.Handle(), &Watch::Callback, &watch));
  ASSERT_TRUE(WaitUntil([&] { return watch.returned.load() == 1; }));
  EXPECT_TRUE(UnregisterExitWait(wait, true));
  EXPECT_EQ(watch.entered.load(), 1);
}

TEST(ExitWaitTest, CancelWaitsForARunningCallback) {
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
    UnregisterExitWait(wait, true);
    returned_when_cancelled.store(watch.returned.load());
    cancelled.store(true);
  });
  // The callback is held, so the cancellation cannot have returned.
  EXPECT_FALSE(WaitUntil([&] { return cancelled.load(); }, kQuietPeriod));
  watch.Release();
  canceller.join();
  EXPECT_EQ(returned_when_cancelled.load(), 1);
}

TEST(ExitWaitTest, CancelWithoutWaitingReturnsWhileTheCallbackRuns) {
  Process child = LaunchChild("exit 0");
  ASSERT_TRUE(child.IsValid());
  Watch watch;
  watch.hold_calls = true;
  ExitWaitHandle wait = ExitWaitHandle();
  ASSERT_TRUE(RegisterExitWait(&wait, child.Handle(), &Watch::Callback, &watch));
  ASSERT_TRUE(WaitUntil([&] { return watch.entered.load() == 1; }));
  EXPECT_TRUE(UnregisterExitWait(wait, false));
  EXPECT_EQ(watch.returned.load(), 0);
  watch.Release();
  EXPECT_TRUE(WaitUntil([&] { return watch.returned.load() == 1; }));
}

TEST(ExitWaitTest, CancelFromInsideTheCallbackDoesNotDeadlock) {
  Process child = LaunchChild("exit 0");
  ASSERT_TRUE(child.IsValid());
  Watch watch;
  ExitWaitHandle wait = ExitWaitHandle();
  std::atomic<int> unregistered{-1};
  std::mutex wait_lock;
  // The callback may run before RegisterExitWait has stored the handle.
  std::unique_lock<std::mutex> registering(wait_lock);
  watch.on_call = [&](Watch*) {
    std::lock_guard<std::mutex> hold(wait_lock);
    unregistered.store(UnregisterExitWait(wait, true) ? 1 : 0);
  };
  ASSERT_TRUE(RegisterExitWait(&wait, child.Handle(), &Watch::Callback, &watch));
  registering.unlock();
  EXPECT_TRUE(WaitUntil([&] { return watch.returned.load() == 1; }));
  EXPECT_EQ(unregistered.load(), 1);
  // The registration is gone once its callback returned.
  EXPECT_TRUE(WaitUntil([&] { return !UnregisterExitWait(wait, true); }));
}

TEST(ExitWaitTest, ManyWaitsEachFireOnceOnOneThread) {
  constexpr int kChildren = 8;
  Process children[kChildren];
  Watch watches[kChildren];
  ExitWaitHandle waits[kChildren] = {};
  for (int i = 0; i < kChildren; ++i) {
    children[i] = LaunchChild("exit 0");
    ASSERT_TRUE(children[i].IsValid());
    ASSERT_TRUE(RegisterExitWait(&waits[i], children[i].Handle(), &Watch::Callback, &watches[i]));
  }
  for (int i = 0; i < kChildren; ++i) {
    EXPECT_TRUE(WaitUntil([&] { return watches[i].returned.load() == 1; }));
    EXPECT_EQ(watches[i].thread.load(), watches[0].thread.load());
  }
  EXPECT_FALSE(WaitUntil(
      [&] {
        for (const Watch& watch : watches) {
          if (watch.entered.load() != 1)
            return true;
        }
        return false;
      },
      kQuietPeriod));
  for (ExitWaitHandle wait : waits)
    EXPECT_TRUE(UnregisterExitWait(wait, true));
}

TEST(ExitWaitTest, RefusesBadArgumentsWithALoggedError) {
  test_support::LogCapture log;
  Watch watch;
  ExitWaitHandle wait = ExitWaitHandle();
  EXPECT_FALSE(RegisterExitWait(&wait, kNullProcessHandle, &Watch::Callback, &watch));
  EXPECT_FALSE(RegisterExitWait(nullptr, 0, &Watch::Callback, &watch));
  EXPECT_FALSE(UnregisterExitWait(ExitWaitHandle(), true));
  EXPECT_EQ(log.LinesContaining("ExitWait refused").size(), 3u);
  EXPECT_EQ(log.Severities(), std::vector<logging::LogSeverity>(3, logging::LOG_ERROR));
}

}  // namespace
}  // namespace base
