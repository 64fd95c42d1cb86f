#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/process/child_protocol.h"
#include "tests/process/test_child_os.h"

extern char** environ;

namespace test_child {

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::string ProgramPath(int, char** argv) {
  return argv[0];
}

std::vector<std::string> EnvironmentEntries() {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; ++entry)
    entries.push_back(*entry);
  return entries;
}

std::vector<std::string> OpenDescriptors() {
  std::vector<std::string> fds;
  // /proc/self/fd lists the descriptor of its own directory stream too.
  DIR* dir = opendir("/proc/self/fd");
  const int own = dir ? dirfd(dir) : -1;
  while (struct dirent* entry = dir ? readdir(dir) : nullptr) {
    if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own)
      continue;
    fds.push_back(entry->d_name);
  }
  if (dir)
    closedir(dir);
  return fds;
}

int StartWaitingCopy(const std::string& program) {
  const pid_t pid = fork();
  if (pid == 0) {
    setenv(kActionsVariable, "wait-forever", 1);
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid > 0 ? static_cast<int>(pid) : 0;
}

void WaitForever() {
  for (;;)
    pause();
}

}  // namespace test_child
