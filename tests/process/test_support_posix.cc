#include "tests/process/test_support_posix.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "platform/keeper_protocol_posix.h"

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

namespace {

// The children of the single-threaded process |pid|, from the kernel's list.
std::vector<int> ChildrenOf(int pid) {
  std::ifstream list("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  std::vector<int> children;
  int child = 0;
  while (list >> child)
    children.push_back(child);
  return children;
}

}  // namespace

std::vector<int> LaunchedChildPids() {
  auto image = [](int pid) {
    char target[4096];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
  };
  const std::string keeper = std::string("/") + base::keeper::kKeeperExecutable;
  auto is_keeper = [&](const std::string& path) {
    return path.size() > keeper.size() &&
           path.compare(path.size() - keeper.size(), keeper.size(), keeper) == 0;
  };
  const std::string self = image(getpid());
  std::vector<int> launched;
  for (const int pid : ChildProcesses()) {
    const std::string path = image(pid);
    if (is_keeper(path)) {
      // The processes of a kill-on-close job are the keeper's children.
      for (const int kept : ChildrenOf(pid))
        launched.push_back(kept);
    } else if (path != self) {
      launched.push_back(pid);
    }
  }
  return launched;
}

}  // namespace test_support
