// Process and job behaviour that is the same on every platform, with the
// real child program.
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/command_line.h"
#include "platform/file_path.h"
#include "platform/job.h"
#include "platform/launch.h"
#include "platform/process.h"
#include "tests/process/test_support.h"

namespace base {
namespace {

using test_support::ChildActions;
using test_support::ChildCommandLine;
using test_support::kGenerousTimeout;

TEST(ProcessTest, ExitCodeIsTheChildsAndAskingAgainGivesItAgain) {
  Process exits = LaunchProcess(ChildCommandLine(), ChildActions("exit 7"));
  ASSERT_TRUE(exits.IsValid());
  int exit_code = -1;
  EXPECT_TRUE(exits.WaitForExitWithTimeout(kGenerousTimeout, &exit_code));
  EXPECT_EQ(exit_code, 7);
  exit_code = -1;
  EXPECT_TRUE(exits.WaitForExitWithTimeout(std::chrono::milliseconds(0), &exit_code));
  EXPECT_EQ(exit_code, 7);
}

TEST(ProcessTest, MoveTransfersOwnership) {
  Process child = LaunchProcess(ChildCommandLine(), ChildActions("exit 0"));
  ASSERT_TRUE(child.IsValid());
  const ProcessId pid = child.Pid();
  Process moved(std::move(child));
  EXPECT_FALSE(child.IsValid());  // NOLINT(bugprone-use-after-move): checked on purpose
  EXPECT_EQ(moved.Pid(), pid);
  Process assigned;
  assigned = std::move(moved);
  EXPECT_EQ(assigned.Pid(), pid);
  EXPECT_TRUE(assigned.WaitForExitWithTimeout(kGenerousTimeout, nullptr));
}

TEST(ProcessTest, InvalidProcessRefusesEverything) {
  Process none;
  EXPECT_FALSE(none.IsValid());
  EXPECT_EQ(none.Pid(), 0);
  EXPECT_FALSE(none.Terminate(0, true));
  EXPECT_FALSE(none.HasExited());
  EXPECT_FALSE(none.WaitForExitWithTimeout(std::chrono::milliseconds(0), nullptr));
  none.Close();
}

TEST(JobTest, ToolOutlivesTheThreadThatLaunchedIt) {
  // The tool is tied to the launching process, not to its thread: it must
  // stay up when a short-lived thread asked for the launch.
  JobHandle job = CreateJobObject();
  ASSERT_TRUE(SetJobObjectLimitFlags(job, kJobObjectLimitKillOnJobClose));
  Process tool;
  std::thread launcher([&] {
    LaunchOptions options = ChildActions("wait-forever");
    options.job_handle = job;
    tool = LaunchProcess(ChildCommandLine(), options);
  });
  launcher.join();
  ASSERT_TRUE(tool.IsValid());
  EXPECT_FALSE(tool.WaitForExitWithTimeout(test_support::kQuietPeriod, nullptr));
  CloseJobObject(job);
  EXPECT_TRUE(tool.WaitForExitWithTimeout(test_support::kGenerousTimeout, nullptr));
}

}  // namespace
}  // namespace base
