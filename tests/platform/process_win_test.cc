// What launching, processes and jobs do the Windows way.
#include <windows.h>
// The macro would turn base::CreateJobObject into CreateJobObjectA.
#undef CreateJobObject

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/job.h"
#include "platform/last_error.h"
#include "platform/launch.h"
#include "platform/process.h"
#include "tests/support/test_child.h"
#include "tests/support/test_os.h"

namespace base {
namespace {

using test_os::kWaitBound;
using test_support::ChildActions;
using test_support::ChildCommandLine;

TEST(LaunchProcessWinTest, NoHandleOfTheParentIsInherited) {
  // An inheritable event: with inheritance on it would show up in the child
  // under the same value.
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  HANDLE event = CreateEventW(&inheritable, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  Process child = LaunchProcess(ChildCommandLine(), ChildActions("wait-forever"));
  ASSERT_TRUE(child.IsValid());
  HANDLE in_child = nullptr;
  const BOOL found = DuplicateHandle(child.Handle(), event, GetCurrentProcess(), &in_child, 0,
                                     FALSE, DUPLICATE_SAME_ACCESS);
  if (found)
    CloseHandle(in_child);
  CloseHandle(event);
  EXPECT_FALSE(found);
  // Terminate ends it with the code asked for.
  EXPECT_TRUE(child.Terminate(3, true));
  int exit_code = 0;
  EXPECT_TRUE(child.WaitForExitWithTimeout(kWaitBound, &exit_code));
  EXPECT_EQ(exit_code, 3);
}

TEST(LaunchProcessWinTest, VariableNamesIgnoreCase) {
  test_os::TempDir dir;
  test_os::ScopedEnv replaced("SNIPPING_WIN_TEST_REPLACED", "old");
  LaunchOptions options = ChildActions("report " + dir.File("report"));
  options.environment["snipping_win_test_replaced"] = "new";
  Process child = LaunchProcess(ChildCommandLine(), options);
  ASSERT_TRUE(child.IsValid());
  const test_support::ChildReport report = test_support::WaitForReport(dir.File("report"));
  ASSERT_TRUE(report.parsed);
  EXPECT_EQ(std::count_if(report.environment.begin(), report.environment.end(),
                          [](const std::string& entry) {
                            return _strnicmp(entry.c_str(), "SNIPPING_WIN_TEST_REPLACED=", 27) == 0;
                          }),
            1);
  EXPECT_NE(std::find(report.environment.begin(), report.environment.end(),
                      "snipping_win_test_replaced=new"),
            report.environment.end());
  EXPECT_TRUE(child.WaitForExitWithTimeout(kWaitBound, nullptr));
}

TEST(LaunchProcessWinTest, AJobThatRefusesTheChildFailsTheLaunch) {
  ScopedJobHandle job(CreateJobObject());
  ASSERT_TRUE(job.IsValid());
  // A handle to the same job that may only be queried: assigning through it
  // is refused.
  HANDLE query_only = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), job.Get(), GetCurrentProcess(), &query_only,
                              JOB_OBJECT_QUERY, FALSE, 0));
  test_os::TempDir dir;
  LaunchOptions options = ChildActions("write-pid " + dir.File("pid"));
  options.job_handle = query_only;
  Process child = LaunchProcess(ChildCommandLine(), options);
  const SystemErrorCode error = GetLastSystemError();
  CloseHandle(query_only);
  EXPECT_FALSE(child.IsValid());
  EXPECT_EQ(error, static_cast<SystemErrorCode>(ERROR_ACCESS_DENIED));
  // The child was ended before it ran a single instruction of its own.
  EXPECT_FALSE(test_os::WaitUntil([&] { return test_os::FileHasContent(dir.File("pid")); },
                                  test_os::kQuietPeriod));
}

TEST(JobWinTest, InvalidHandleValueIsRefusedAndIgnored) {
  EXPECT_FALSE(IsValidJobHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(SetJobObjectLimitFlags(INVALID_HANDLE_VALUE, kJobObjectLimitKillOnJobClose));
  EXPECT_EQ(GetLastSystemError(), static_cast<SystemErrorCode>(ERROR_INVALID_HANDLE));
  CloseJobObject(INVALID_HANDLE_VALUE);
  SetLastSystemError(ERROR_NOT_ENOUGH_MEMORY);
  ScopedJobHandle job;
  job.Set(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(job.IsValid());
  EXPECT_EQ(GetLastSystemError(), static_cast<SystemErrorCode>(ERROR_NOT_ENOUGH_MEMORY));
}

}  // namespace
}  // namespace base
