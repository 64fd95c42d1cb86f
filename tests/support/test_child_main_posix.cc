#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/test_child.h"

namespace test_support {

std::vector<std::string> OwnArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::string OwnProgramPath(int, char** argv) {
  return argv[0];
}

std::vector<std::string> OwnDescriptors() {
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

int StartCopy(const std::string& program, CopyKind kind) {
  // The copy's pid comes through a pipe: a daemon is no child of ours.
  int pid_pipe[2];
  if (pipe(pid_pipe) != 0)
    return 0;
  const pid_t first = fork();
  if (first == 0) {
    close(pid_pipe[0]);
    if (kind != CopyKind::kChild)
      setsid();
    if (kind == CopyKind::kDaemon && fork() != 0)
      _exit(0);  // the daemon's parent ends at once, as a daemon's does
    const pid_t self = getpid();
    if (write(pid_pipe[1], &self, sizeof(self)) != sizeof(self))
      _exit(127);
    close(pid_pipe[1]);
    setenv(kActionsVariable, "wait-forever", 1);
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pid_pipe[1]);
  pid_t copy = 0;
  if (first < 0 || read(pid_pipe[0], &copy, sizeof(copy)) != sizeof(copy))
    copy = 0;
  close(pid_pipe[0]);
  if (first > 0 && kind == CopyKind::kDaemon)
    waitpid(first, nullptr, 0);  // the daemon's parent, which has ended
  return static_cast<int>(copy);
}

}  // namespace test_support
