#include "tests/process/test_support_posix.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace test_support {

int OpenPidfd(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

bool WaitForPidfdExit(int pidfd, std::chrono::milliseconds limit) {
  struct pollfd entry = {pidfd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&entry, 1, static_cast<int>(limit.count()));
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

std::vector<int> ZombieChildPids() {
  std::vector<int> zombies;
  for (const int pid : ChildProcesses()) {
    if (!test_os::ProcessRunning(pid))
      zombies.push_back(pid);
  }
  return zombies;
}

std::vector<int> LaunchedChildPids() {
  auto image = [](const std::string& link) {
    char target[4096];
    const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
  };
  const std::string self = image("/proc/self/exe");
  std::vector<int> launched;
  for (const int pid : ChildProcesses()) {
    if (image("/proc/" + std::to_string(pid) + "/exe") != self)
      launched.push_back(pid);
  }
  return launched;
}

}  // namespace test_support
