// The child program of the tests that start processes. It runs the actions,
// one a line, of the variable TEST_CHILD_ACTIONS when set, else of the file
// "<argv[0]>.actions" (so that a copy installed under a tool's name can be
// told what to do without touching its command line):
//   report <file>          write argv, environment and open descriptors
//   write-pid <file>       write this process's pid
//   launch-tool <program>  launch <program> into a kill-on-close job and
//                          exit: 0, or 91 when the launch failed
//   sleep <ms>, exit <code>, abort, wait-forever
// Files are written whole through a rename, so a reader that sees the file
// sees all of it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/command_line.h"
#include "platform/file_path.h"
#include "platform/job.h"
#include "platform/launch.h"
#include "tests/support/test_child.h"
#include "tests/support/test_os.h"
#include "tests/support/test_text.h"

using namespace test_support;  // NOLINT(build/namespaces): the program is its helper

namespace {

[[noreturn]] void WaitForever() {
  for (;;)
    std::this_thread::sleep_for(std::chrono::hours(1));
}

void AppendRecord(std::string* report, char kind, const std::string& text) {
  report->append(1, kind).append(text).push_back('\0');
}

bool WriteFileAtomically(const std::string& path, const std::string& content) {
  const std::string temporary = path + ".tmp";
  return WriteFile(temporary, content) && std::rename(temporary.c_str(), path.c_str()) == 0;
}

std::string Report(int argc, char** argv) {
  std::string report;
  for (const std::string& argument : OwnArguments(argc, argv))
    AppendRecord(&report, kArgRecord, argument);
  for (const std::string& entry : test_os::EnvironmentOf(test_os::CurrentPid()))
    AppendRecord(&report, kEnvRecord, entry);
  for (const std::string& fd : OwnDescriptors())
    AppendRecord(&report, kFdRecord, fd);
  return report;
}

[[noreturn]] void LaunchTool(const std::string& program) {
  base::JobHandle job = base::CreateJobObject();
  base::SetJobObjectLimitFlags(job, base::kJobObjectLimitKillOnJobClose);
  base::LaunchOptions options;
  options.job_handle = job;
  options.environment[kActionsVariable] = "wait-forever";
  const base::Process tool = base::LaunchProcess(
      base::CommandLine(base::FilePath::FromUTF8Unsafe(program)), options);
  // The job's end at exit takes a launched tool with it.
  std::_Exit(tool.IsValid() ? 0 : kLaunchFailedExitCode);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string program = OwnProgramPath(argc, argv);
  const char* from_variable = std::getenv(kActionsVariable);
  std::istringstream actions(from_variable ? from_variable : ReadFile(program + ".actions"));
  std::string line;
  while (std::getline(actions, line)) {
    std::istringstream words(line);
    std::string action;
    std::string argument;
    words >> action >> argument;
    if (action == "report") {
      WriteFileAtomically(argument, Report(argc, argv));
    } else if (action == "write-pid") {
      WriteFileAtomically(argument, std::to_string(test_os::CurrentPid()));
    } else if (action == "launch-tool") {
      LaunchTool(argument);
    } else if (action == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argument.c_str())));
    } else if (action == "exit") {
      return std::atoi(argument.c_str());
    } else if (action == "abort") {
      std::abort();
    } else if (action == "wait-forever") {
      WaitForever();
    } else if (!action.empty()) {
      std::fprintf(stderr, "test_child: unknown action \"%s\"\n", action.c_str());
      return kBadActionExitCode;
    }
  }
  return 0;
}
