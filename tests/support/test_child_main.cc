// The child program of the tests that start processes. What it does is read from a list
// of actions: the environment variable TEST_CHILD_ACTIONS when set, else the
// file "<argv[0]>.actions" (so that a copy installed under a tool's name can
// be told what to do without touching its command line), else nothing.
//
// Actions, separated by newlines:
//   report <file>          write argv, environment and open descriptors
//   write-pid <file>       write this process's pid
//   grandchild <file>      start a copy of this program that waits forever,
//                          and write its pid
//   setsid-grandchild <file>
//                          the same, in a session of its own
//   daemon <file>          the same, double-forked into a session of its own
//   launch-tool <program> <file>
//                          launch <program> into a kill-on-close job through
//                          the platform layer, and write its pid; <program>,
//                          a copy of this one, starts a setsid-grandchild
//                          and a daemon, written to <file>.session and
//                          <file>.daemon
//   sleep <ms>             sleep
//   exit <code>            exit with <code>
//   abort                  crash
//   wait-forever           wait until killed
// Files are written whole through a rename, so a reader that sees the file
// sees all of it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

using namespace test_support;  // NOLINT(build/namespaces): the program is its helper

namespace {

void AppendRecord(std::string* report, char kind, const std::string& text) {
  report->push_back(kind);
  report->append(std::to_string(text.size()));
  report->push_back(' ');
  report->append(text);
  report->push_back('\n');
}

bool WriteFileAtomically(const std::string& path, const std::string& content) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
      return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

std::string Report(int argc, char** argv) {
  std::string report;
  for (const std::string& argument : OwnArguments(argc, argv))
    AppendRecord(&report, kArgRecord, argument);
  for (const std::string& entry : OwnEnvironment())
    AppendRecord(&report, kEnvRecord, entry);
  for (const std::string& fd : OwnDescriptors())
    AppendRecord(&report, kFdRecord, fd);
  return report;
}

std::string ReadActions(const std::string& program) {
  if (const char* actions = std::getenv(kActionsVariable))
    return actions;
  std::ifstream in(std::string(program) + ".actions", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void StartGrandchild(const std::string& program, const std::string& pid_file) {
  WriteFileAtomically(pid_file, std::to_string(StartWaitingCopy(program)));
}

void LaunchTool(const std::string& program, const std::string& pid_file) {
  base::JobHandle job = base::CreateJobObject();
  base::SetJobObjectLimitFlags(job, base::kJobObjectLimitKillOnJobClose);
  base::LaunchOptions options;
  options.job_handle = job;
  options.environment[kActionsVariable] = "setsid-grandchild " + pid_file +
                                                      ".session\ndaemon " + pid_file +
                                                      ".daemon\nwait-forever";
  base::Process tool = base::LaunchProcess(
      base::CommandLine(base::FilePath::FromUTF8Unsafe(program)), options);
  if (!tool.IsValid())
    std::_Exit(kLaunchFailedExitCode);
  WriteFileAtomically(pid_file, std::to_string(tool.Pid()));
  // The job and the tool stay open until this process is killed.
  WaitForever();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string program = OwnProgramPath(argc, argv);
  std::istringstream actions(ReadActions(program));
  std::string line;
  while (std::getline(actions, line)) {
    std::istringstream words(line);
    std::string action;
    std::string argument;
    std::string second;
    words >> action >> argument >> second;
    if (action == "report") {
      WriteFileAtomically(argument, Report(argc, argv));
    } else if (action == "write-pid") {
      WriteFileAtomically(argument, std::to_string(test_os::CurrentPid()));
    } else if (action == "grandchild") {
      StartGrandchild(program, argument);
    } else if (action == "setsid-grandchild" || action == "daemon") {
      WriteFileAtomically(argument,
                          std::to_string(StartDetachedCopy(program, action == "daemon")));
    } else if (action == "launch-tool") {
      LaunchTool(argument, second);
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
