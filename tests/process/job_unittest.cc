#include "platform/job.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "platform/launch.h"
#include "platform/process.h"
#include "tests/process/child_protocol.h"
#include "tests/process/test_support_posix.h"

namespace base {
namespace {

using test_support::ChildProgram;

// A tool launched into a job, with a grandchild of its own and, when asked,
// two that leave its session: one in a session of its own and a
// double-forked daemon, whose parent has ended.
struct ToolWithDescendants {
  Process tool;
  pid_t grandchild = 0;
  pid_t session_leader = 0;
  pid_t daemon = 0;
};

ToolWithDescendants LaunchToolWithDescendants(JobHandle job, const test_support::TempDir& dir,
                                              bool escaping = false) {
  std::string actions = "grandchild " + dir.File("grandchild") + "\n";
  if (escaping)
    actions += "setsid-grandchild " + dir.File("session") + "\ndaemon " + dir.File("daemon") + "\n";
  LaunchOptions options = test_support::ChildActions(actions + "wait-forever");
  options.job_handle = job;
  ToolWithDescendants result;
  result.tool = LaunchProcess(test_support::ChildCommandLine(), options);
  if (result.tool.IsValid()) {
    result.grandchild = test_support::WaitForPidFile(dir.File("grandchild"));
    if (escaping) {
      result.session_leader = test_support::WaitForPidFile(dir.File("session"));
      result.daemon = test_support::WaitForPidFile(dir.File("daemon"));
    }
  }
  return result;
}

TEST(JobTest, ClosingAKillOnCloseJobEndsTheToolAndEveryDescendant) {
  test_support::TempDir dir;
  JobHandle job = CreateJobObject();
  ASSERT_TRUE(IsValidJobHandle(job));
  ASSERT_TRUE(SetJobObjectLimitFlags(job, kJobObjectLimitKillOnJobClose));
  ToolWithDescendants launched = LaunchToolWithDescendants(job, dir, true);
  ASSERT_TRUE(launched.tool.IsValid());
  std::vector<int> pidfds;
  for (const pid_t pid : {launched.grandchild, launched.session_leader, launched.daemon}) {
    ASSERT_GT(pid, 0);
    pidfds.push_back(test_support::OpenPidfd(pid));
    ASSERT_GE(pidfds.back(), 0);
  }
  // Two of them left the tool's session (and group), one lost its parent.
  EXPECT_EQ(getsid(launched.session_leader), launched.session_leader);
  EXPECT_NE(getsid(launched.daemon), getsid(launched.tool.Pid()));
  EXPECT_FALSE(launched.tool.HasExited());

  CloseJobObject(job);
  // Closing waited for the keeper: it is gone and reaped, and took
  // everything along.
  EXPECT_TRUE(test_support::ChildProcesses().empty());
  int exit_code = 0;
  EXPECT_TRUE(launched.tool.WaitForExitWithTimeout(test_support::kGenerousTimeout, &exit_code));
  EXPECT_EQ(exit_code, 128 + SIGKILL);
  for (const int pidfd : pidfds) {
    EXPECT_TRUE(test_support::WaitForPidfdExit(pidfd, std::chrono::milliseconds(0)));
    close(pidfd);
  }
}

TEST(JobTest, ClosingAJobWithoutKillOnCloseLeavesItsProcessesRunning) {
  test_support::TempDir dir;
  JobHandle job = CreateJobObject();
  ASSERT_TRUE(IsValidJobHandle(job));
  ToolWithDescendants launched = LaunchToolWithDescendants(job, dir);
  ASSERT_TRUE(launched.tool.IsValid());
  ASSERT_GT(launched.grandchild, 0);
  const int grandchild_pidfd = test_support::OpenPidfd(launched.grandchild);
  ASSERT_GE(grandchild_pidfd, 0);

  CloseJobObject(job);
  EXPECT_FALSE(launched.tool.WaitForExitWithTimeout(test_support::kQuietPeriod, nullptr));

  // Clean up through the group the tool leads.
  kill(-launched.tool.Pid(), SIGKILL);
  EXPECT_TRUE(launched.tool.WaitForExitWithTimeout(test_support::kGenerousTimeout, nullptr));
  EXPECT_TRUE(test_support::WaitForPidfdExit(grandchild_pidfd));
  close(grandchild_pidfd);
}

TEST(JobTest, ToolAndEveryDescendantDieWhenTheProcessThatLaunchedItIsKilled) {
  // The intermediate parent launches a tool into a kill-on-close job and
  // waits; killing it with SIGKILL leaves it no chance to close the job, so
  // only the job's keeper can end the tool and what it started, a daemon
  // and a process in a session of its own included.
  test_support::TempDir dir;
  Process parent = LaunchProcess(
      test_support::ChildCommandLine(),
      test_support::ChildActions("launch-tool " + ChildProgram() + " " + dir.File("tool")));
  ASSERT_TRUE(parent.IsValid());
  std::vector<int> pidfds;
  for (const char* name : {"tool", "tool.session", "tool.daemon"}) {
    const pid_t pid = test_support::WaitForPidFile(dir.File(name));
    ASSERT_GT(pid, 0) << name;
    pidfds.push_back(test_support::OpenPidfd(pid));
    ASSERT_GE(pidfds.back(), 0);
    EXPECT_FALSE(test_support::WaitForPidfdExit(pidfds.back(), std::chrono::milliseconds(0)));
  }

  EXPECT_TRUE(parent.Terminate(0, true));
  for (const int pidfd : pidfds) {
    const bool died = test_support::WaitForPidfdExit(pidfd);
    EXPECT_TRUE(died) << "a process of the job outlived the process that launched it";
    if (!died)
      syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    close(pidfd);
  }
}

TEST(JobTest, LaunchIntoAKillOnCloseJobFailsCleanlyWithoutTheKeeper) {
  // A copy of the child program in a directory without the keeper: its
  // launch into a kill-on-close job must fail, not start an unkept tool.
  test_support::TempDir dir;
  const std::string copy = dir.File("process_test_child");
  {
    std::ifstream in(ChildProgram(), std::ios::binary);
    std::ofstream out(copy, std::ios::binary);
    out << in.rdbuf();
  }
  ASSERT_EQ(chmod(copy.c_str(), 0700), 0);
  Process parent = LaunchProcess(
      CommandLine(FilePath(copy)),
      test_support::ChildActions("launch-tool " + ChildProgram() + " " + dir.File("tool")));
  ASSERT_TRUE(parent.IsValid());
  int exit_code = -1;
  EXPECT_TRUE(parent.WaitForExitWithTimeout(test_support::kGenerousTimeout, &exit_code));
  EXPECT_EQ(exit_code, test_child::kLaunchFailedExitCode);
}

TEST(JobTest, InvalidHandlesAreRefused) {
  EXPECT_FALSE(IsValidJobHandle(JobHandle()));
  SetLastSystemError(0);
  EXPECT_FALSE(SetJobObjectLimitFlags(JobHandle(), kJobObjectLimitKillOnJobClose));
  EXPECT_NE(GetLastSystemError(), 0u);
  CloseJobObject(JobHandle());
}

TEST(ScopedJobHandleTest, ReplacingClosesTheOldJobAndKeepsTheLastError) {
  test_support::TempDir dir;
  ScopedJobHandle held(CreateJobObject());
  ASSERT_TRUE(held.IsValid());
  ASSERT_TRUE(SetJobObjectLimitFlags(held.Get(), kJobObjectLimitKillOnJobClose));
  ToolWithDescendants launched = LaunchToolWithDescendants(held.Get(), dir);
  ASSERT_TRUE(launched.tool.IsValid());
  const int grandchild_pidfd = test_support::OpenPidfd(launched.grandchild);
  ASSERT_GE(grandchild_pidfd, 0);

  // A failed creation stores nothing, but its error must still be readable
  // after the old job was closed.
  SetLastSystemError(ENOMEM);
  held.Set(JobHandle());
  EXPECT_EQ(GetLastSystemError(), static_cast<SystemErrorCode>(ENOMEM));
  EXPECT_FALSE(held.IsValid());
  EXPECT_TRUE(launched.tool.WaitForExitWithTimeout(test_support::kGenerousTimeout, nullptr));
  EXPECT_TRUE(test_support::WaitForPidfdExit(grandchild_pidfd));
  close(grandchild_pidfd);
}

}  // namespace
}  // namespace base
