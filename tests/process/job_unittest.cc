#include "platform/job.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>


#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "platform/launch.h"
#include "platform/process.h"
#include "tests/process/test_support_posix.h"

namespace base {
namespace {

using test_support::ChildProgram;

// A tool launched into a job that starts a grandchild of its own.
struct ToolWithGrandchild {
  Process tool;
  pid_t grandchild = 0;
};

ToolWithGrandchild LaunchToolWithGrandchild(JobHandle job, const test_support::TempDir& dir) {
  LaunchOptions options =
      test_support::ChildActions("grandchild " + dir.File("grandchild") + "\nwait-forever");
  options.job_handle = job;
  ToolWithGrandchild result;
  result.tool = LaunchProcess(test_support::ChildCommandLine(), options);
  if (result.tool.IsValid())
    result.grandchild = test_support::WaitForPidFile(dir.File("grandchild"));
  return result;
}

TEST(JobTest, ClosingAKillOnCloseJobEndsTheToolAndItsChildren) {
  test_support::TempDir dir;
  JobHandle job = CreateJobObject();
  ASSERT_TRUE(IsValidJobHandle(job));
  ASSERT_TRUE(SetJobObjectLimitFlags(job, kJobObjectLimitKillOnJobClose));
  ToolWithGrandchild launched = LaunchToolWithGrandchild(job, dir);
  ASSERT_TRUE(launched.tool.IsValid());
  ASSERT_GT(launched.grandchild, 0);

  // The tool leads a group of its own, and its child stayed in it.
  EXPECT_EQ(getpgid(launched.tool.Pid()), launched.tool.Pid());
  EXPECT_EQ(getpgid(launched.grandchild), launched.tool.Pid());
  const int grandchild_pidfd = test_support::OpenPidfd(launched.grandchild);
  ASSERT_GE(grandchild_pidfd, 0);
  EXPECT_FALSE(launched.tool.HasExited());

  CloseJobObject(job);
  int exit_code = 0;
  EXPECT_TRUE(launched.tool.WaitForExitWithTimeout(test_support::kGenerousTimeout, &exit_code));
  EXPECT_EQ(exit_code, 128 + SIGKILL);
  EXPECT_TRUE(test_support::WaitForPidfdExit(grandchild_pidfd));
  close(grandchild_pidfd);
}

TEST(JobTest, ClosingAJobWithoutKillOnCloseLeavesItsProcessesRunning) {
  test_support::TempDir dir;
  JobHandle job = CreateJobObject();
  ASSERT_TRUE(IsValidJobHandle(job));
  ToolWithGrandchild launched = LaunchToolWithGrandchild(job, dir);
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

TEST(JobTest, ToolDiesWhenTheProcessThatLaunchedItIsKilled) {
  // The intermediate parent launches a tool into a kill-on-close job and
  // waits; killing it with SIGKILL leaves it no chance to close the job, so
  // only the group keeper started at launch can end the tool.
  test_support::TempDir dir;
  Process parent = LaunchProcess(
      test_support::ChildCommandLine(),
      test_support::ChildActions("launch-tool " + ChildProgram() + " " + dir.File("tool")));
  ASSERT_TRUE(parent.IsValid());
  const pid_t tool = test_support::WaitForPidFile(dir.File("tool"));
  ASSERT_GT(tool, 0);
  const int tool_pidfd = test_support::OpenPidfd(tool);
  ASSERT_GE(tool_pidfd, 0);
  EXPECT_FALSE(test_support::WaitForPidfdExit(tool_pidfd, std::chrono::milliseconds(0)));

  EXPECT_TRUE(parent.Terminate(0, true));
  const bool tool_died = test_support::WaitForPidfdExit(tool_pidfd);
  EXPECT_TRUE(tool_died) << "the tool outlived the process that launched it";
  if (!tool_died)
    syscall(SYS_pidfd_send_signal, tool_pidfd, SIGKILL, nullptr, 0);
  close(tool_pidfd);
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
  ToolWithGrandchild launched = LaunchToolWithGrandchild(held.Get(), dir);
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
