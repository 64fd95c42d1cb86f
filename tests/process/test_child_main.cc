// A child program for the process tests. What it does is read from a list
// of actions: the environment variable TEST_CHILD_ACTIONS when set, else the
// file "<argv[0]>.actions" (so that a copy installed under a tool's name can
// be told what to do without touching its command line), else nothing.
//
// Actions, separated by newlines:
//   report <file>          write argv, environment and open descriptors
//   write-pid <file>       write this process's pid
//   grandchild <file>      start a copy of this program that waits forever,
//                          and write its pid
//   launch-tool <program> <file>
//                          launch <program> into a kill-on-close job through
//                          the platform layer, and write its pid
//   sleep <ms>             sleep
//   exit <code>            exit with <code>
//   abort                  crash
//   wait-forever           wait until killed
// Files are written whole through a rename, so a reader that sees the file
// sees all of it.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

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
#include "tests/process/child_protocol.h"

extern char** environ;

namespace {

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
  for (int i = 0; i < argc; ++i)
    test_child::AppendRecord(&report, test_child::kArgRecord, argv[i]);
  for (char** entry = environ; *entry; ++entry)
    test_child::AppendRecord(&report, test_child::kEnvRecord, *entry);
  // /proc/self/fd lists the descriptor of its own directory stream too.
  DIR* fds = opendir("/proc/self/fd");
  const int own = fds ? dirfd(fds) : -1;
  while (struct dirent* entry = fds ? readdir(fds) : nullptr) {
    if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own)
      continue;
    test_child::AppendRecord(&report, test_child::kFdRecord, entry->d_name);
  }
  if (fds)
    closedir(fds);
  return report;
}

std::string ReadActions(const char* program) {
  if (const char* actions = std::getenv(test_child::kActionsVariable))
    return actions;
  std::ifstream in(std::string(program) + test_child::kActionsFileSuffix, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

[[noreturn]] void WaitForever() {
  for (;;)
    pause();
}

void StartGrandchild(const char* program, const std::string& pid_file) {
  const pid_t pid = fork();
  if (pid == 0) {
    setenv(test_child::kActionsVariable, "wait-forever", 1);
    execl(program, program, static_cast<char*>(nullptr));
    _exit(127);
  }
  WriteFileAtomically(pid_file, std::to_string(pid));
}

void LaunchTool(const std::string& program, const std::string& pid_file) {
  base::JobHandle job = base::CreateJobObject();
  base::SetJobObjectLimitFlags(job, base::kJobObjectLimitKillOnJobClose);
  base::LaunchOptions options;
  options.job_handle = job;
  options.environment[test_child::kActionsVariable] = "wait-forever";
  base::Process tool = base::LaunchProcess(
      base::CommandLine(base::FilePath::FromUTF8Unsafe(program)), options);
  if (!tool.IsValid())
    _exit(test_child::kLaunchFailedExitCode);
  WriteFileAtomically(pid_file, std::to_string(tool.Pid()));
  // The job and the tool stay open until this process is killed.
  WaitForever();
}

}  // namespace

int main(int argc, char** argv) {
  std::istringstream actions(ReadActions(argv[0]));
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
      WriteFileAtomically(argument, std::to_string(getpid()));
    } else if (action == "grandchild") {
      StartGrandchild(argv[0], argument);
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
      std::fprintf(stderr, "process_test_child: unknown action \"%s\"\n", action.c_str());
      return test_child::kBadActionExitCode;
    }
  }
  return 0;
}
