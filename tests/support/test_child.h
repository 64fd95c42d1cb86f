// The one child program of the tests that start processes (test_child, built
// next to them), and the helpers that find it, start it and read what it
// reports. The program runs the actions it is given, one a line, from the
// variable kActionsVariable or else from the file "<its own path>.actions"
// (see test_child_main.cc).
#ifndef TESTS_SUPPORT_TEST_CHILD_H_
#define TESTS_SUPPORT_TEST_CHILD_H_

#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/launch.h"

namespace test_support {

inline constexpr char kActionsVariable[] = "TEST_CHILD_ACTIONS";
inline constexpr int kBadActionExitCode = 90;
inline constexpr int kLaunchFailedExitCode = 91;

// Report records: a kind letter and the text, ended by a NUL, which no
// argument, environment entry or number holds.
inline constexpr char kArgRecord = 'A';
inline constexpr char kEnvRecord = 'E';
inline constexpr char kFdRecord = 'F';

// The path of the child program, and its command line.
std::string ChildProgram();
base::CommandLine ChildCommandLine();
// Launch options that give the child program |actions|.
base::LaunchOptions ChildActions(const std::string& actions);

// The pid the child wrote to |path| (through a rename, so whole), or 0
// after test_os::kWaitBound.
int WaitForPidFile(const std::string& path);

// The child's "report": its arguments, environment and open descriptors.
struct ChildReport {
  std::vector<std::string> argv;
  std::vector<std::string> environment;
  std::vector<int> open_fds;
  bool parsed = false;
};
ChildReport WaitForReport(const std::string& path);

// What the child program asks of its system (test_child_main_<os>.cc):
// its arguments as the system hands them over, UTF-8; the path it was
// started under (a link or copy keeps its own); its open descriptors, where
// the system numbers them.
std::vector<std::string> OwnArguments(int argc, char** argv);
std::string OwnProgramPath(int argc, char** argv);
std::vector<std::string> OwnDescriptors();

}  // namespace test_support

#endif  // TESTS_SUPPORT_TEST_CHILD_H_
