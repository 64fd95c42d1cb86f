// Launching, jobs and exit waits on Windows, with a real child program.
#include "platform/launch.h"

#include <windows.h>
// The macro would turn base::CreateJobObject into CreateJobObjectA.
#undef CreateJobObject

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/exit_wait.h"
#include "platform/job.h"
#include "platform/last_error.h"
#include "platform/process.h"
#include "platform/utf_string_conversions.h"
#include "tests/windows/win_test_util.h"

namespace base {
namespace {

using win_test::kGenerousTimeout;
using win_test::kQuietPeriod;
using win_test::WaitUntil;

CommandLine ChildCommandLine() {
  return CommandLine(FilePath(win_test::ChildProgram()));
}

Process LaunchChild(const std::vector<std::wstring>& actions, JobHandle job = JobHandle()) {
  CommandLine command_line = ChildCommandLine();
  for (const std::wstring& action : actions) {
    const size_t equals = action.find(L'=');
    command_line.AppendSwitchNative(
        base::SysWideToUTF8(action.substr(2, equals == std::wstring::npos ? std::wstring::npos
                                                                     : equals - 2)),
        equals == std::wstring::npos ? L"" : action.substr(equals + 1));
  }
  LaunchOptions options;
  options.job_handle = job;
  return LaunchProcess(command_line, options);
}

bool HasEnded(HANDLE process, std::chrono::milliseconds limit = kGenerousTimeout) {
  return WaitForSingleObject(process, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
}

// Owns a HANDLE for the length of a test.
struct Handle {
  explicit Handle(HANDLE handle) : h(handle) {}
  ~Handle() {
    if (h)
      CloseHandle(h);
  }
  HANDLE h;
};

TEST(LaunchWinTest, TheChildReadsBackExactlyTheArgumentsGiven) {
  win_test::TempDir temp;
  CommandLine command_line = ChildCommandLine();
  command_line.AppendSwitchNative("write-args", temp.File(L"args with blank.txt"));
  command_line.AppendSwitchASCII("port", "50123");
  command_line.AppendSwitchASCII("config", "{\"k\":\"v w\",\"p\":\"C:\\\\dir\\\\\"}");
  command_line.AppendSwitchNative("image", L"C:\\Users\\Jo Do\\shot \u00e9.png");
  command_line.AppendSwitchNative("trailing", L"C:\\dir with blank\\");
  command_line.AppendSwitchASCII("bare", "");

  Process child = LaunchProcess(command_line, LaunchOptions());
  ASSERT_TRUE(child.IsValid()) << "error " << GetLastSystemError();
  EXPECT_EQ(GetLastSystemError(), 0u);
  EXPECT_NE(child.Pid(), 0u);
  int exit_code = -1;
  ASSERT_TRUE(child.WaitForExitWithTimeout(kGenerousTimeout, &exit_code));
  EXPECT_EQ(exit_code, 0);

  std::vector<std::string> expected;
  for (const std::wstring& arg : command_line.argv())
    expected.push_back(base::SysWideToUTF8(arg));
  EXPECT_EQ(win_test::ParseRecords(win_test::WaitForFile(temp.File(L"args with blank.txt"))),
            expected);
}

TEST(LaunchWinTest, ExtraVariablesAreAddedOrReplaceInheritedOnes) {
  win_test::TempDir temp;
  SetEnvironmentVariableW(L"SNIPPING_WIN_TEST_REPLACED", L"old");
  SetEnvironmentVariableW(L"SNIPPING_WIN_TEST_KEPT", L"kept");

  CommandLine command_line = ChildCommandLine();
  command_line.AppendSwitchNative("write-env", temp.File(L"env.txt"));
  LaunchOptions options;
  // Names are case-insensitive: the lower-case name replaces the variable.
  options.environment["snipping_win_test_replaced"] = "new";
  options.environment["SNIPPING_WIN_TEST_ADDED"] = "\xc3\xa9t\xc3\xa9";
  options.environment["AAA_SNIPPING_FIRST"] = "1";
  Process child = LaunchProcess(command_line, options);
  ASSERT_TRUE(child.IsValid()) << "error " << GetLastSystemError();
  ASSERT_TRUE(child.WaitForExitWithTimeout(kGenerousTimeout, nullptr));
  SetEnvironmentVariableW(L"SNIPPING_WIN_TEST_REPLACED", nullptr);
  SetEnvironmentVariableW(L"SNIPPING_WIN_TEST_KEPT", nullptr);

  const std::vector<std::string> entries =
      win_test::ParseRecords(win_test::WaitForFile(temp.File(L"env.txt")));
  auto count_of = [&](const std::string& prefix) {
    return std::count_if(entries.begin(), entries.end(), [&](const std::string& entry) {
      return _strnicmp(entry.c_str(), prefix.c_str(), prefix.size()) == 0;
    });
  };
  EXPECT_EQ(count_of("SNIPPING_WIN_TEST_REPLACED="), 1);
  EXPECT_NE(std::find(entries.begin(), entries.end(), "snipping_win_test_replaced=new"),
            entries.end());
  EXPECT_NE(std::find(entries.begin(), entries.end(), "SNIPPING_WIN_TEST_KEPT=kept"),
            entries.end());
  EXPECT_NE(std::find(entries.begin(), entries.end(), "SNIPPING_WIN_TEST_ADDED=\xc3\xa9t\xc3\xa9"),
            entries.end());
}

TEST(LaunchWinTest, AMissingProgramFailsWithTheSystemsReason) {
  win_test::TempDir temp;
  Process child = LaunchProcess(CommandLine(FilePath(temp.File(L"missing.exe"))), LaunchOptions());
  EXPECT_FALSE(child.IsValid());
  EXPECT_EQ(child.Pid(), 0u);
  EXPECT_EQ(GetLastSystemError(), static_cast<SystemErrorCode>(ERROR_FILE_NOT_FOUND));
}

TEST(LaunchWinTest, NoHandleOfTheParentIsInherited) {
  // An inheritable event: with inheritance on it would show up in the child
  // under the same value.
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  Handle event(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
  ASSERT_NE(event.h, nullptr);
  Process child = LaunchChild({L"--wait"});
  ASSERT_TRUE(child.IsValid());
  HANDLE in_child = nullptr;
  // Asking the child's handle table for the same value: absent means not
  // inherited.
  const BOOL found = DuplicateHandle(child.Handle(), event.h, GetCurrentProcess(), &in_child, 0,
                                     FALSE, DUPLICATE_SAME_ACCESS);
  if (found)
    CloseHandle(in_child);
  EXPECT_FALSE(found);
  child.Terminate(0, true);
}

TEST(LaunchWinTest, TheChildIsInTheJobBeforeItRuns) {
  ScopedJobHandle job(CreateJobObject());
  ASSERT_TRUE(job.IsValid());
  ASSERT_TRUE(SetJobObjectLimitFlags(job.Get(), kJobObjectLimitKillOnJobClose));
  Process child = LaunchChild({L"--wait"}, job.Get());
  ASSERT_TRUE(child.IsValid());
  BOOL in_job = FALSE;
  ASSERT_TRUE(IsProcessInJob(child.Handle(), job.Get(), &in_job));
  EXPECT_TRUE(in_job);
  // The child is running (resumed), not left suspended.
  EXPECT_FALSE(child.HasExited());
  EXPECT_TRUE(child.Terminate(3, true));
  int exit_code = 0;
  EXPECT_TRUE(child.WaitForExitWithTimeout(kGenerousTimeout, &exit_code));
  EXPECT_EQ(exit_code, 3);
}

TEST(LaunchWinTest, AJobThatRefusesTheChildFailsTheLaunch) {
  ScopedJobHandle job(CreateJobObject());
  ASSERT_TRUE(job.IsValid());
  // A handle to the same job that may only be queried: assigning through it
  // is refused.
  HANDLE query_only = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), job.Get(), GetCurrentProcess(), &query_only,
                              JOB_OBJECT_QUERY, FALSE, 0));
  win_test::TempDir temp;
  Process child = LaunchChild({L"--write-pid=" + temp.File(L"pid")}, query_only);
  const SystemErrorCode error = GetLastSystemError();
  CloseHandle(query_only);
  EXPECT_FALSE(child.IsValid());
  EXPECT_EQ(error, static_cast<SystemErrorCode>(ERROR_ACCESS_DENIED));
  // The child was ended before it ran a single instruction of its own.
  const std::wstring pid_file = temp.File(L"pid");
  EXPECT_FALSE(WaitUntil(
      [&] { return GetFileAttributesW(pid_file.c_str()) != INVALID_FILE_ATTRIBUTES; },
      kQuietPeriod));
}

TEST(JobWinTest, ClosingTheJobKillsTheChildAndItsGrandchild) {
  win_test::TempDir temp;
  ScopedJobHandle job(CreateJobObject());
  ASSERT_TRUE(job.IsValid());
  ASSERT_TRUE(SetJobObjectLimitFlags(job.Get(), kJobObjectLimitKillOnJobClose));
  Process child = LaunchChild({L"--spawn-grandchild=" + temp.File(L"grandchild"), L"--wait"},
                              job.Get());
  ASSERT_TRUE(child.IsValid());
  const std::string grandchild_pid = win_test::WaitForFile(temp.File(L"grandchild"));
  ASSERT_FALSE(grandchild_pid.empty());
  Handle grandchild(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE,
                                FALSE, static_cast<DWORD>(std::stoul(grandchild_pid))));
  ASSERT_NE(grandchild.h, nullptr);
  BOOL in_job = FALSE;
  EXPECT_TRUE(IsProcessInJob(grandchild.h, job.Get(), &in_job));
  EXPECT_TRUE(in_job) << "what the child starts inherits its job";
  EXPECT_FALSE(HasEnded(child.Handle(), kQuietPeriod));

  job.Close();
  EXPECT_FALSE(job.IsValid());
  EXPECT_TRUE(HasEnded(child.Handle()));
  EXPECT_TRUE(HasEnded(grandchild.h));
}

TEST(JobWinTest, WithoutKillOnCloseClosingTheJobLeavesTheChild) {
  ScopedJobHandle job(CreateJobObject());
  ASSERT_TRUE(job.IsValid());
  Process child = LaunchChild({L"--wait"}, job.Get());
  ASSERT_TRUE(child.IsValid());
  job.Close();
  EXPECT_FALSE(HasEnded(child.Handle(), kQuietPeriod));
  EXPECT_TRUE(child.Terminate(0, true));
}

TEST(JobWinTest, InvalidHandlesAreRefusedAndIgnored) {
  EXPECT_FALSE(IsValidJobHandle(nullptr));
  EXPECT_FALSE(IsValidJobHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(SetJobObjectLimitFlags(nullptr, kJobObjectLimitKillOnJobClose));
  EXPECT_EQ(GetLastSystemError(), static_cast<SystemErrorCode>(ERROR_INVALID_HANDLE));
  CloseJobObject(nullptr);
  CloseJobObject(INVALID_HANDLE_VALUE);
  // A failed creation stored in a holder keeps the creation's error.
  SetLastSystemError(ERROR_NOT_ENOUGH_MEMORY);
  ScopedJobHandle job;
  job.Set(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(job.IsValid());
  EXPECT_EQ(GetLastSystemError(), static_cast<SystemErrorCode>(ERROR_NOT_ENOUGH_MEMORY));
}

TEST(ProcessWinTest, TerminateSetsTheExitCodeAndToleratesAnEndedProcess) {
  Process child = LaunchChild({L"--exit=7"});
  ASSERT_TRUE(child.IsValid());
  int exit_code = 0;
  ASSERT_TRUE(child.WaitForExitWithTimeout(kGenerousTimeout, &exit_code));
  EXPECT_EQ(exit_code, 7);
  EXPECT_TRUE(child.HasExited());
  EXPECT_TRUE(child.Terminate(0, false));
  child.Close();
  EXPECT_FALSE(child.IsValid());
  EXPECT_EQ(child.Pid(), 0u);
  EXPECT_EQ(child.Handle(), kNullProcessHandle);
  EXPECT_FALSE(child.Terminate(0, false));
}

// Counts its calls; optionally holds each call until released.
struct Watch {
  static void Callback(void* context, unsigned char timer_or_wait_fired) {
    auto* watch = static_cast<Watch*>(context);
    watch->fired_flag.store(timer_or_wait_fired);
    watch->thread.store(GetCurrentThreadId());
    watch->entered.fetch_add(1);
    if (watch->on_call)
      watch->on_call(watch);
    {
      std::unique_lock<std::mutex> hold(watch->lock);
      watch->released.wait_for(hold, kGenerousTimeout, [watch] { return !watch->hold_calls; });
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
  std::atomic<DWORD> thread{0};
  std::function<void(Watch*)> on_call;
  std::atomic<ExitWaitHandle> wait{nullptr};
  std::atomic<bool> unregister_result{false};
  std::mutex lock;
  std::condition_variable released;
  bool hold_calls = false;
};

TEST(ExitWaitWinTest, FiresOnceOnAPoolThreadWhenTheProcessEnds) {
  Process child = LaunchChild({L"--wait"});
  ASSERT_TRUE(child.IsValid());
  Watch watch;
  ExitWaitHandle wait = nullptr;
  ASSERT_TRUE(RegisterExitWait(&wait, child.Handle(), &Watch::Callback, &watch));
  EXPECT_NE(wait, nullptr);
  EXPECT_FALSE(WaitUntil([&] { return watch.entered.load() > 0; }, kQuietPeriod));

  ASSERT_TRUE(child.Terminate(0, false));
  EXPECT_TRUE(WaitUntil([&] { return watch.returned.load() == 1; }));
  EXPECT_EQ(watch.fired_flag.load(), 0);
  EXPECT_NE(watch.thread.load(), GetCurrentThreadId());
  // A process handle stays signalled; a wait without WT_EXECUTEONLYONCE
  // would fire again and again.
  EXPECT_FALSE(WaitUntil([&] { return watch.entered.load() > 1; }, kQuietPeriod));
  EXPECT_TRUE(UnregisterExitWait(wait, true));
}

TEST(ExitWaitWinTest, AnEndedProcessFiresAtOnce) {
  Process child = LaunchChild({L"--exit=0"});
  ASSERT_TRUE(child.IsValid());
  ASSERT_TRUE(child.WaitForExitWithTimeout(kGenerousTimeout, nullptr));
  Watch watch;
  ExitWaitHandle wait = nullptr;
  ASSERT_TRUE(RegisterExitWait(&wait, child.Handle(), &Watch::Callback, &watch));
  EXPECT_TRUE(WaitUntil([&] { return watch.returned.load() == 1; }));
  EXPECT_TRUE(UnregisterExitWait(wait, true));
  EXPECT_EQ(watch.entered.load(), 1);
}

TEST(ExitWaitWinTest, TheCallersHandleMayBeClosedWhileTheWaitIsRegistered) {
  Process child = LaunchChild({L"--wait"});
  ASSERT_TRUE(child.IsValid());
  Handle terminator(OpenProcess(PROCESS_TERMINATE, FALSE, child.Pid()));
  ASSERT_NE(terminator.h, nullptr);
  Watch watch;
  ExitWaitHandle wait = nullptr;
  ASSERT_TRUE(RegisterExitWait(&wait, child.Handle(), &Watch::Callback, &watch));
  // The wait watches a duplicate: closing ours must not cancel or confuse it.
  child.Close();
  EXPECT_FALSE(WaitUntil([&] { return watch.entered.load() > 0; }, kQuietPeriod));
  ASSERT_TRUE(TerminateProcess(terminator.h, 0));
  EXPECT_TRUE(WaitUntil([&] { return watch.returned.load() == 1; }));
  EXPECT_TRUE(UnregisterExitWait(wait, true));
}

TEST(ExitWaitWinTest, ACancelledWaitNeverFires) {
  Process child = LaunchChild({L"--wait"});
  ASSERT_TRUE(child.IsValid());
  Watch watch;
  ExitWaitHandle wait = nullptr;
  ASSERT_TRUE(RegisterExitWait(&wait, child.Handle(), &Watch::Callback, &watch));
  EXPECT_TRUE(UnregisterExitWait(wait, true));
  ASSERT_TRUE(child.Terminate(0, true));
  EXPECT_FALSE(WaitUntil([&] { return watch.entered.load() > 0; }, kQuietPeriod));
  // Exactly once: a second cancellation finds nothing.
  EXPECT_FALSE(UnregisterExitWait(wait, true));
}

TEST(ExitWaitWinTest, CancellingWaitsForARunningCallback) {
  Process child = LaunchChild({L"--wait"});
  ASSERT_TRUE(child.IsValid());
  Watch watch;
  watch.hold_calls = true;
  ExitWaitHandle wait = nullptr;
  ASSERT_TRUE(RegisterExitWait(&wait, child.Handle(), &Watch::Callback, &watch));
  ASSERT_TRUE(child.Terminate(0, false));
  ASSERT_TRUE(WaitUntil([&] { return watch.entered.load() == 1; }));

  std::atomic<bool> cancelled{false};
  std::atomic<int> returned_when_cancelled{-1};
  std::thread canceller([&] {
    UnregisterExitWait(wait, true);
    returned_when_cancelled.store(watch.returned.load());
    cancelled.store(true);
  });
  // The callback is held: the cancellation must still be waiting.
  EXPECT_FALSE(WaitUntil([&] { return cancelled.load(); }, kQuietPeriod));
  watch.Release();
  canceller.join();
  EXPECT_EQ(returned_when_cancelled.load(), 1);
}

TEST(ExitWaitWinTest, CancellingWithoutWaitingReturnsWhileTheCallbackRuns) {
  Process child = LaunchChild({L"--wait"});
  ASSERT_TRUE(child.IsValid());
  Watch watch;
  watch.hold_calls = true;
  ExitWaitHandle wait = nullptr;
  ASSERT_TRUE(RegisterExitWait(&wait, child.Handle(), &Watch::Callback, &watch));
  ASSERT_TRUE(child.Terminate(0, false));
  ASSERT_TRUE(WaitUntil([&] { return watch.entered.load() == 1; }));
  EXPECT_TRUE(UnregisterExitWait(wait, false));
  EXPECT_EQ(watch.returned.load(), 0);
  watch.Release();
  EXPECT_TRUE(WaitUntil([&] { return watch.returned.load() == 1; }));
}

TEST(ExitWaitWinTest, ACallbackMayCancelItsOwnWait) {
  Process child = LaunchChild({L"--wait"});
  ASSERT_TRUE(child.IsValid());
  Watch watch;
  watch.on_call = [](Watch* self) {
    // Waiting for the running callback from inside it would never end.
    self->unregister_result.store(UnregisterExitWait(self->wait.load(), true));
  };
  ExitWaitHandle wait = nullptr;
  ASSERT_TRUE(RegisterExitWait(&wait, child.Handle(), &Watch::Callback, &watch));
  watch.wait.store(wait);
  ASSERT_TRUE(child.Terminate(0, false));
  EXPECT_TRUE(WaitUntil([&] { return watch.returned.load() == 1; }));
  EXPECT_TRUE(watch.unregister_result.load());
  EXPECT_FALSE(UnregisterExitWait(wait, true)) << "already cancelled from the callback";
}

TEST(ExitWaitWinTest, CancellingAsProcessesEndNeverOutlivesTheRegistration) {
  // Each round ends a child and cancels its wait at the same moment, in each
  // of the three ways (waiting, not waiting, from inside the callback), so
  // that the pool's callback and the cancellation race. A callback runs at
  // most once and never after its registration is gone; a bug here shows as
  // a crash or a callback that never returns.
  constexpr int kRounds = 30;
  for (int round = 0; round < kRounds && !HasFailure(); ++round) {
    Process child = LaunchChild({L"--wait"});
    ASSERT_TRUE(child.IsValid());
    Watch watch;
    const int way = round % 3;
    if (way == 2) {
      watch.on_call = [](Watch* self) { UnregisterExitWait(self->wait.load(), true); };
    }
    ExitWaitHandle wait = nullptr;
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
    EXPECT_FALSE(WaitUntil([&] { return watch.entered.load() > 1; }, std::chrono::milliseconds(20)));
    EXPECT_TRUE(WaitUntil([&] { return watch.entered.load() == watch.returned.load(); }));
    EXPECT_FALSE(UnregisterExitWait(wait, true)) << "round " << round;
  }
}

TEST(ExitWaitWinTest, AnInvalidHandleCannotBeWatched) {
  Watch watch;
  ExitWaitHandle wait = nullptr;
  EXPECT_FALSE(RegisterExitWait(&wait, nullptr, &Watch::Callback, &watch));
  EXPECT_NE(GetLastSystemError(), 0u);
}

}  // namespace
}  // namespace base
