#include "platform/launch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/job.h"
#include "platform/last_error.h"
#include "platform/process.h"
#include "tests/process/test_support_posix.h"

namespace base {
namespace {

using test_support::ChildProgram;
using test_support::ChildActions;
using test_support::ChildCommandLine;
using test_support::kGenerousTimeout;

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

TEST(LaunchProcessTest, ChildReceivesArgumentsByteForByte) {
  test_support::TempDir dir;
  CommandLine command_line = ChildCommandLine();
  // Blanks, quotation marks, backslashes, an empty value, a newline and
  // non-ASCII text: POSIX passes argv through without any quoting.
  command_line.AppendSwitchASCII("plain", "value");
  command_line.AppendSwitchASCII("blanks", "a b  c");
  command_line.AppendSwitchASCII("quotes", "say \"hi\" \\\"there\\");
  command_line.AppendSwitchASCII("empty", "");
  command_line.AppendSwitchASCII("newline", "one\ntwo");
  command_line.AppendSwitchASCII("text", "\xE4\xB8\xAD\xE6\x96\x87");

  Process child = LaunchProcess(command_line, ChildActions("report " + dir.File("report")));
  ASSERT_TRUE(child.IsValid());
  EXPECT_EQ(GetLastSystemError(), 0u);
  EXPECT_GT(child.Pid(), 0);

  const test_support::ChildReport report = test_support::WaitForReport(dir.File("report"));
  ASSERT_TRUE(report.parsed);
  EXPECT_EQ(report.argv, command_line.argv());
  int exit_code = -1;
  EXPECT_TRUE(child.WaitForExitWithTimeout(kGenerousTimeout, &exit_code));
  EXPECT_EQ(exit_code, 0);
}

TEST(LaunchProcessTest, ChildGetsParentEnvironmentPlusExtraVariables) {
  test_support::TempDir dir;
  // The child inherits this process's environment: PATH is there in any
  // test run; HOME is replaced by the extra value.
  ASSERT_NE(getenv("PATH"), nullptr);
  LaunchOptions options = ChildActions("report " + dir.File("report"));
  options.environment["SNIPPING_EXTRA"] = "secret value";
  options.environment["HOME"] = "/replaced";

  Process child = LaunchProcess(ChildCommandLine(), options);
  ASSERT_TRUE(child.IsValid());
  const test_support::ChildReport report = test_support::WaitForReport(dir.File("report"));
  ASSERT_TRUE(report.parsed);
  EXPECT_TRUE(Contains(report.environment, std::string("PATH=") + getenv("PATH")));
  EXPECT_TRUE(Contains(report.environment, "SNIPPING_EXTRA=secret value"));
  EXPECT_TRUE(Contains(report.environment, "HOME=/replaced"));
  EXPECT_EQ(std::count_if(report.environment.begin(), report.environment.end(),
                          [](const std::string& v) { return v.rfind("HOME=", 0) == 0; }),
            1);
  EXPECT_TRUE(child.WaitForExitWithTimeout(kGenerousTimeout, nullptr));
}

TEST(LaunchProcessTest, ChildInheritsOnlyStandardDescriptors) {
  test_support::TempDir dir;
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
  EXPECT_TRUE(child.WaitForExitWithTimeout(kGenerousTimeout, nullptr));
}

class LaunchFailureTest : public ::testing::Test {
 protected:
  // Launches |program|, on its own and into a kill-on-close job (through
  // the job's keeper), and expects an invalid process with
  // |expected_error| both times.
  void ExpectFailure(const std::string& program, int expected_error) {
    ScopedJobHandle job(CreateJobObject());
    ASSERT_TRUE(SetJobObjectLimitFlags(job.Get(), kJobObjectLimitKillOnJobClose));
    for (const JobHandle into : {JobHandle(), job.Get()}) {
      SCOPED_TRACE(into ? "in a kill-on-close job" : "without a job");
      LaunchOptions options;
      options.job_handle = into;
      SetLastSystemError(0);
      Process child = LaunchProcess(CommandLine(FilePath(program)), options);
      EXPECT_EQ(GetLastSystemError(), static_cast<SystemErrorCode>(expected_error));
      EXPECT_FALSE(child.IsValid());
      EXPECT_EQ(child.Pid(), 0);
      EXPECT_EQ(child.Handle(), kNullProcessHandle);
      // The child that failed to exec was reaped at once.
      EXPECT_TRUE(test_support::ZombieChildPids().empty());
    }
  }

  test_support::TempDir dir_;
};

TEST_F(LaunchFailureTest, MissingExecutable) {
  ExpectFailure(dir_.File("missing"), ENOENT);
}

TEST_F(LaunchFailureTest, FileWithoutExecutePermission) {
  test_support::WriteFile(dir_.File("plain"), "not a program");
  ExpectFailure(dir_.File("plain"), EACCES);
}

TEST_F(LaunchFailureTest, ExecutableOfUnknownFormat) {
  // Executable, but neither an ELF image nor a script.
  const std::string path = dir_.File("garbage");
  test_support::WriteFile(path, std::string("\x01\x02\x03\x04garbage", 11));
  ASSERT_EQ(chmod(path.c_str(), 0700), 0);
  ExpectFailure(path, ENOEXEC);
}

TEST(ProcessTest, ExitCodeOfACrashIsTheShellsOne) {
  Process crashes = LaunchProcess(ChildCommandLine(), ChildActions("abort"));
  ASSERT_TRUE(crashes.IsValid());
  int exit_code = -1;
  EXPECT_TRUE(crashes.WaitForExitWithTimeout(kGenerousTimeout, &exit_code));
  EXPECT_EQ(exit_code, 128 + SIGABRT);
}

TEST(ProcessTest, WaitTimesOutWhileRunningAndTerminateWithWaitEndsIt) {
  Process child = LaunchProcess(ChildCommandLine(), ChildActions("wait-forever"));
  ASSERT_TRUE(child.IsValid());
  EXPECT_FALSE(child.HasExited());
  EXPECT_FALSE(child.WaitForExitWithTimeout(std::chrono::milliseconds(1), nullptr));

  // With wait, the process has ended when Terminate returns.
  EXPECT_TRUE(child.Terminate(0, true));
  EXPECT_TRUE(child.HasExited());
  int exit_code = -1;
  EXPECT_TRUE(child.WaitForExitWithTimeout(std::chrono::milliseconds(0), &exit_code));
  EXPECT_EQ(exit_code, 128 + SIGKILL);
}

TEST(ProcessTest, TerminateWithoutWaitReturnsAtOnce) {
  Process child = LaunchProcess(ChildCommandLine(), ChildActions("wait-forever"));
  ASSERT_TRUE(child.IsValid());
  const int pidfd = test_support::OpenPidfd(child.Pid());
  ASSERT_GE(pidfd, 0);
  EXPECT_TRUE(child.Terminate(0, false));
  child.Close();
  EXPECT_FALSE(child.IsValid());
  EXPECT_TRUE(test_support::WaitForPidfdExit(pidfd));
  close(pidfd);
}

TEST(ProcessTest, ClosingARunningChildHandsItToTheReaper) {
  Process child = LaunchProcess(ChildCommandLine(), ChildActions("wait-forever"));
  ASSERT_TRUE(child.IsValid());
  const ProcessId pid = child.Pid();
  child.Close();
  EXPECT_FALSE(child.IsValid());
  EXPECT_EQ(child.Pid(), 0);
  ASSERT_TRUE(test_os::ProcessRunning(pid));
  // Ending it by pid is safe here: it is our unreaped child, so the pid
  // cannot have been reused.
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_TRUE(test_support::WaitUntil([&] {
    const std::vector<pid_t> children = test_support::ChildProcesses();
    return std::find(children.begin(), children.end(), pid) == children.end();
  })) << "the closed child was never reaped";
}

}  // namespace
}  // namespace base
