// Helpers shared by the process and tool-process tests: the child program,
// temporary directories, bounded waits, captured log lines and checks on the
// children of the test process.
#ifndef TESTS_PROCESS_TEST_SUPPORT_H_
#define TESTS_PROCESS_TEST_SUPPORT_H_

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/launch.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_os.h"

namespace test_support {

// Upper bound of every wait for something that normally happens at once; it
// only matters when a test is failing.
inline constexpr std::chrono::milliseconds kGenerousTimeout{10000};
// How long a test watches for something that must not happen.
inline constexpr std::chrono::milliseconds kQuietPeriod{100};

// The path of the child program (process_test_child), and its command line.
std::string ChildProgram();
base::CommandLine ChildCommandLine();
// Launch options that give the child program |actions| (see the program).
base::LaunchOptions ChildActions(const std::string& actions);

using test_os::WaitUntil;

// A fresh directory, removed with its files at destruction.
using TempDir = test_os::TempDir;

void WriteFile(const std::string& path, const std::string& content);
// The file's content once it exists (the child writes it through a rename),
// or empty after kGenerousTimeout.
std::string WaitForFile(const std::string& path);
// The pid written to |path| by the child, or 0.
int WaitForPidFile(const std::string& path);

// The child's report (see process_test_child).
struct ChildReport {
  std::vector<std::string> argv;
  std::vector<std::string> environment;
  std::vector<int> open_fds;
  bool parsed = false;
};
ChildReport ParseReport(const std::string& text);
ChildReport WaitForReport(const std::string& path);

// Children of this process: all of them (on POSIX, zombies included).
using test_os::ChildProcesses;
// Processes launched by this one: children that run another program, and on
// POSIX the processes of kill-on-close jobs, which are children of the
// jobs' keepers (the keepers themselves are left out).
std::vector<int> LaunchedChildPids();

}  // namespace test_support

#endif  // TESTS_PROCESS_TEST_SUPPORT_H_
