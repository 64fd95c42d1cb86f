// What processes, jobs and exit waits do the POSIX way.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/exit_wait.h"
#include "platform/job.h"
#include "platform/last_error.h"
#include "platform/launch.h"
#include "platform/process.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_child.h"
#include "tests/support/test_os.h"
#include "tests/support/test_text.h"

namespace base {
namespace {

using test_os::kWaitBound;
using test_support::ChildActions;
using test_support::ChildCommandLine;

TEST(LaunchProcessPosixTest, ChildInheritsOnlyStandardDescriptors) {
  test_os::TempDir dir;
  // Descriptors the agent holds (listening sockets, pipes), deliberately
  // without close-on-exec.
  int leaky_pipe[2];
  ASSERT_EQ(pipe(leaky_pipe), 0);
  const int leaky_file = open(dir.path().c_str(), O_RDONLY);
  ASSERT_GE(leaky_file, 0);
  Process child = LaunchProcess(ChildCommandLine(), ChildActions("report " + dir.File("report")));
  ASSERT_TRUE(child.IsValid());
  const test_support::ChildReport report = test_support::WaitForReport(dir.File("report"));
  close(leaky_pipe[0]);
  close(leaky_pipe[1]);
  close(leaky_file);
  ASSERT_TRUE(report.parsed);
  // 0, 1 and 2 are whatever the test runner gave us, possibly closed.
  for (int fd : report.open_fds)
    EXPECT_LT(fd, 3) << "descriptor " << fd << " leaked into the child";
  EXPECT_TRUE(child.WaitForExitWithTimeout(kWaitBound, nullptr));
}

TEST(ProcessPosixTest, ExitCodesOfACrashAndATerminationAreTheShellsOnes) {
  for (const auto& [actions, expected] : {std::pair<const char*, int>{"abort", 128 + SIGABRT},
                                          {"wait-forever", 128 + SIGKILL}}) {
    Process child = LaunchProcess(ChildCommandLine(), ChildActions(actions));
    ASSERT_TRUE(child.IsValid());
    if (expected == 128 + SIGKILL) {
      EXPECT_TRUE(child.Terminate(3, false));
    }
    int exit_code = -1;
    EXPECT_TRUE(child.WaitForExitWithTimeout(kWaitBound, &exit_code));
    EXPECT_EQ(exit_code, expected) << actions;
  }
}

TEST(JobPosixTest, LaunchIntoAKillOnCloseJobFailsCleanlyWithoutTheKeeper) {
  // A copy of the child program in a directory without the keeper: its
  // launch into a kill-on-close job must fail, not start an unkept tool.
  test_os::TempDir dir;
  const std::string copy = dir.File("test_child");
  ASSERT_TRUE(test_support::WriteFile(copy, test_support::ReadFile(test_support::ChildProgram())));
  ASSERT_EQ(chmod(copy.c_str(), 0700), 0);
  Process parent = LaunchProcess(
      CommandLine(FilePath(copy)),
      ChildActions("launch-tool " + test_support::ChildProgram()));
  ASSERT_TRUE(parent.IsValid());
  int exit_code = -1;
  EXPECT_TRUE(parent.WaitForExitWithTimeout(kWaitBound, &exit_code));
  EXPECT_EQ(exit_code, test_support::kLaunchFailedExitCode);
}

void NeverCalled(void*, unsigned char) {
  ADD_FAILURE() << "called";
}

// A readied job whose keeper was killed (by the user, or by the system short
// of memory) fails its next launch at once with the lost channel's error (a
// launch that kept writing to the dead keeper would spin until the suite's
// time-out); the launch after it starts a new keeper. The tool leads a
// process group of its own, so that a signal to the launcher's group (a
// terminal's Ctrl-C) does not reach it, and its exit wait, registered
// without a free descriptor, is refused rather than left unwatched.
TEST(JobPosixTest, AToolLaunchedPastAKilledKeeperLeadsItsGroupAndIsWatchedOrRefused) {
  const std::vector<int> before = test_os::ChildProcesses();
  ScopedJobHandle job(CreateJobObject());
  ASSERT_TRUE(SetJobObjectLimitFlags(job.Get(), kJobObjectLimitKillOnJobClose));
  ASSERT_TRUE(PrepareJobObject(job.Get()));
  std::vector<int> keepers;
  for (int pid : test_os::ChildProcesses()) {
    if (std::find(before.begin(), before.end(), pid) == before.end())
      keepers.push_back(pid);
  }
  ASSERT_EQ(keepers.size(), 1u);
  test_os::KillProcess(keepers[0]);
  ASSERT_TRUE(test_os::WaitForProcessEnd(keepers[0]));
  LaunchOptions options = ChildActions("wait-forever");
  options.job_handle = job.Get();
  EXPECT_FALSE(LaunchProcess(ChildCommandLine(), options).IsValid());
  EXPECT_EQ(GetLastSystemError(), static_cast<SystemErrorCode>(EPIPE));

  Process tool = LaunchProcess(ChildCommandLine(), options);
  ASSERT_TRUE(tool.IsValid());
  EXPECT_EQ(getpgid(tool.Pid()), tool.Pid());
  // The first registration brings up the exit watcher.
  ExitWaitHandle wait = ExitWaitHandle();
  ASSERT_TRUE(RegisterExitWait(&wait, tool.Handle(), &NeverCalled, nullptr));
  EXPECT_TRUE(UnregisterExitWait(wait, true));
  test_os::DescriptorExhaustion exhaustion;
  if (exhaustion.Take()) {
    EXPECT_FALSE(RegisterExitWait(&wait, tool.Handle(), &NeverCalled, nullptr));
  }
}

TEST(ExitWaitPosixTest, RefusesBadArgumentsWithALoggedError) {
  test_support::LogCapture log;
  ExitWaitHandle wait = ExitWaitHandle();
  EXPECT_FALSE(RegisterExitWait(&wait, kNullProcessHandle, &NeverCalled, nullptr));
  EXPECT_FALSE(RegisterExitWait(nullptr, 0, &NeverCalled, nullptr));
  EXPECT_FALSE(UnregisterExitWait(ExitWaitHandle(), true));
  EXPECT_EQ(log.LinesContaining("ExitWait refused").size(), 3u);
  EXPECT_EQ(log.Severities(), std::vector<logging::LogSeverity>(3, logging::LOG_ERROR));
}

}  // namespace
}  // namespace base
