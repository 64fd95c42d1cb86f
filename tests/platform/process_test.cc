// Launching, processes and kill-on-close jobs, the same on every platform,
// with the real child program. What each OS does its own way is in
// process_<os>_test.cc.
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/command_line.h"
#include "platform/file_path.h"
#include "platform/job.h"
#include "platform/last_error.h"
#include "platform/launch.h"
#include "platform/process.h"
#include "tests/support/test_child.h"
#include "tests/support/test_os.h"

namespace base {
namespace {

using test_os::kQuietPeriod;
using test_os::kWaitBound;
using test_support::ChildActions;
using test_support::ChildCommandLine;

std::vector<std::string> ArgvUTF8(const CommandLine& command_line) {
  std::vector<std::string> argv;
  for (const CommandLine::StringType& arg : command_line.argv())
    argv.push_back(FilePath(arg).AsUTF8Unsafe());
  return argv;
}

TEST(LaunchProcessTest, ChildGetsItsArgumentsByteForByteAndTheParentsEnvironmentPlusExtras) {
  test_os::TempDir dir;
  CommandLine command_line = ChildCommandLine();
  // Blanks, quotation marks, backslashes (also before a quotation mark and
  // at the end), an empty value, a newline and non-ASCII text: on Windows
  // the child reads them back through the system's own parser.
  command_line.AppendSwitchASCII("blanks", "a b  c\td");
  command_line.AppendSwitchASCII("quotes", "say \"hi\" \\\"there\\");
  command_line.AppendSwitchASCII("empty", "");
  command_line.AppendSwitchASCII("newline", "one\ntwo");
  command_line.AppendSwitchASCII("config", "{\"k\":\"v w\",\"p\":\"C:\\\\dir\\\\\"}");
  command_line.AppendSwitchPath("image", FilePath::FromUTF8Unsafe("C:\\Users\\Jo Do\\\xC3\xA9t\xC3\xA9\\"));
  command_line.AppendSwitchASCII("text", "\xE4\xB8\xAD\xE6\x96\x87");
  test_os::ScopedEnv kept("SNIPPING_TEST_KEPT", "kept");
  test_os::ScopedEnv replaced("SNIPPING_TEST_REPLACED", "old");
  LaunchOptions options = ChildActions("report " + dir.File("report"));
  options.environment["SNIPPING_TEST_REPLACED"] = "new";
  options.environment["SNIPPING_TEST_ADDED"] = "secret \xC3\xA9t\xC3\xA9";

  Process child = LaunchProcess(command_line, options);
  ASSERT_TRUE(child.IsValid()) << "error " << GetLastSystemError();
  EXPECT_EQ(GetLastSystemError(), 0u);
  EXPECT_GT(child.Pid(), 0);
  const test_support::ChildReport report = test_support::WaitForReport(dir.File("report"));
  ASSERT_TRUE(report.parsed);
  EXPECT_EQ(report.argv, ArgvUTF8(command_line));
  EXPECT_THAT(report.environment,
              ::testing::IsSupersetOf({"SNIPPING_TEST_KEPT=kept", "SNIPPING_TEST_REPLACED=new",
                                       "SNIPPING_TEST_ADDED=secret \xC3\xA9t\xC3\xA9"}));
  EXPECT_THAT(report.environment,
              ::testing::Not(::testing::Contains("SNIPPING_TEST_REPLACED=old")));
  int exit_code = -1;
  EXPECT_TRUE(child.WaitForExitWithTimeout(kWaitBound, &exit_code));
  EXPECT_EQ(exit_code, 0);
}

TEST(LaunchProcessTest, UnlaunchableProgramsFailWithTheSystemsReason) {
  // On its own and into a kill-on-close job (on POSIX through the job's
  // keeper), the launch fails with the system's error and leaves nothing.
  test_os::TempDir dir;
  ScopedJobHandle job(CreateJobObject());
  ASSERT_TRUE(SetJobObjectLimitFlags(job.Get(), kJobObjectLimitKillOnJobClose));
  for (const test_os::UnlaunchableProgram& program : test_os::UnlaunchablePrograms()) {
    const std::string path = dir.File("program" + std::to_string(program.error));
    ASSERT_TRUE(test_os::WriteUnlaunchableProgram(program, path));
    for (const JobHandle into : {JobHandle(), job.Get()}) {
      SCOPED_TRACE(program.what + (into ? " in a kill-on-close job" : " without a job"));
      LaunchOptions options;
      options.job_handle = into;
      SetLastSystemError(0);
      Process child = LaunchProcess(CommandLine(FilePath::FromUTF8Unsafe(path)), options);
      EXPECT_EQ(GetLastSystemError(), static_cast<SystemErrorCode>(program.error));
      EXPECT_FALSE(child.IsValid());
      EXPECT_EQ(child.Pid(), 0);
      EXPECT_EQ(child.Handle(), kNullProcessHandle);
      // A child that failed to exec was reaped at once.
      EXPECT_TRUE(test_os::LaunchedProcesses().empty());
    }
  }
}

TEST(ProcessTest, ExitCodeIsTheChildsAndAskingAgainGivesItAgain) {
  Process launched = LaunchProcess(ChildCommandLine(), ChildActions("exit 7"));
  ASSERT_TRUE(launched.IsValid());
  int exit_code = -1;
  EXPECT_TRUE(launched.WaitForExitWithTimeout(kWaitBound, &exit_code));
  EXPECT_EQ(exit_code, 7);
  // A move, by construction or assignment, hands over the process and what
  // is known of its end, and leaves nothing behind.
  const ProcessId pid = launched.Pid();
  Process moved(std::move(launched));
  Process exits;
  exits = std::move(moved);
  EXPECT_FALSE(launched.IsValid());  // NOLINT(bugprone-use-after-move): checked on purpose
  EXPECT_FALSE(moved.IsValid());     // NOLINT(bugprone-use-after-move): checked on purpose
  EXPECT_EQ(exits.Pid(), pid);
  exit_code = -1;
  EXPECT_TRUE(exits.WaitForExitWithTimeout(std::chrono::milliseconds(0), &exit_code));
  EXPECT_EQ(exit_code, 7);
  EXPECT_TRUE(exits.HasExited());
  // Terminating what has ended is no error; a closed process refuses all.
  EXPECT_TRUE(exits.Terminate(0, false));
  exits.Close();
  EXPECT_FALSE(exits.IsValid());
  EXPECT_EQ(exits.Pid(), 0);
  EXPECT_EQ(exits.Handle(), kNullProcessHandle);
  EXPECT_FALSE(exits.Terminate(0, true));
  EXPECT_FALSE(exits.HasExited());
  EXPECT_FALSE(exits.WaitForExitWithTimeout(std::chrono::milliseconds(0), nullptr));
}

TEST(ProcessTest, WaitTimesOutWhileRunningAndTerminateEndsIt) {
  for (const bool wait : {true, false}) {
    SCOPED_TRACE(wait ? "waiting" : "not waiting");
    Process child = LaunchProcess(ChildCommandLine(), ChildActions("wait-forever"));
    ASSERT_TRUE(child.IsValid());
    EXPECT_FALSE(child.HasExited());
    EXPECT_FALSE(child.WaitForExitWithTimeout(std::chrono::milliseconds(1), nullptr));
    const int pid = child.Pid();
    EXPECT_TRUE(child.Terminate(0, wait));
    // With wait, the process has ended when Terminate returns.
    EXPECT_TRUE(!wait || child.HasExited());
    child.Close();
    EXPECT_TRUE(test_os::WaitForProcessEnd(pid));
  }
}

TEST(ProcessTest, ClosingARunningChildHandsItToTheReaper) {
  Process child = LaunchProcess(ChildCommandLine(), ChildActions("wait-forever"));
  ASSERT_TRUE(child.IsValid());
  const int pid = child.Pid();
  child.Close();
  EXPECT_FALSE(child.IsValid());
  ASSERT_TRUE(test_os::ProcessRunning(pid));
  // Ending it by pid is safe here: it is our unreaped child, so the pid
  // cannot have been reused.
  test_os::KillProcess(pid);
  EXPECT_TRUE(test_os::WaitForProcessGone(pid)) << "the closed child was never reaped";
}

TEST(JobTest, ToolOutlivesTheThreadThatLaunchedIt) {
  // The tool is tied to the launching process, not to its thread.
  ScopedJobHandle job(CreateJobObject());
  ASSERT_TRUE(SetJobObjectLimitFlags(job.Get(), kJobObjectLimitKillOnJobClose));
  Process tool;
  std::thread launcher([&] {
    LaunchOptions options = ChildActions("wait-forever");
    options.job_handle = job.Get();
    tool = LaunchProcess(ChildCommandLine(), options);
  });
  launcher.join();
  ASSERT_TRUE(tool.IsValid());
  EXPECT_FALSE(tool.WaitForExitWithTimeout(kQuietPeriod, nullptr));
  // Replacing the held job closes it; the error of the failed creation it
  // is replaced with stays readable.
  SetLastSystemError(12);
  job.Set(JobHandle());
  EXPECT_EQ(GetLastSystemError(), 12u);
  EXPECT_FALSE(job.IsValid());
  EXPECT_TRUE(tool.WaitForExitWithTimeout(kWaitBound, nullptr));
}

TEST(JobTest, InvalidHandlesAreRefused) {
  EXPECT_FALSE(IsValidJobHandle(JobHandle()));
  SetLastSystemError(0);
  EXPECT_FALSE(SetJobObjectLimitFlags(JobHandle(), kJobObjectLimitKillOnJobClose));
  EXPECT_NE(GetLastSystemError(), 0u);
  CloseJobObject(JobHandle());
}

}  // namespace
}  // namespace base
