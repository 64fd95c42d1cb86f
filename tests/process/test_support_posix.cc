#include "tests/process/test_support_posix.h"

#include <dirent.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace test_support {
namespace {

// Fields of /proc/<pid>/stat after the command name, which may hold blanks
// and parentheses: the state, then the parent's pid.
bool ReadStat(pid_t pid, char* state, pid_t* parent) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(in, text);
  const size_t end_of_name = text.rfind(')');
  if (end_of_name == std::string::npos)
    return false;
  std::istringstream rest(text.substr(end_of_name + 1));
  return static_cast<bool>(rest >> *state >> *parent);
}

std::vector<int> Children(bool zombies_only) {
  std::vector<int> result;
  DIR* proc = opendir("/proc");
  if (!proc)
    return result;
  const pid_t self = getpid();
  while (struct dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    char state = 0;
    pid_t parent = 0;
    if (pid > 0 && ReadStat(pid, &state, &parent) && parent == self &&
        (!zombies_only || state == 'Z')) {
      result.push_back(static_cast<int>(pid));
    }
  }
  closedir(proc);
  return result;
}

}  // namespace

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

bool IsAlive(pid_t pid) {
  char state = 0;
  pid_t parent = 0;
  return ReadStat(pid, &state, &parent) && state != 'Z' && state != 'X';
}

std::vector<int> ChildPids() {
  return Children(false);
}

std::vector<int> ZombieChildPids() {
  return Children(true);
}

std::vector<int> LaunchedChildPids() {
  auto image = [](const std::string& link) {
    char target[4096];
    const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
  };
  const std::string self = image("/proc/self/exe");
  std::vector<int> launched;
  for (const int pid : ChildPids()) {
    if (image("/proc/" + std::to_string(pid) + "/exe") != self)
      launched.push_back(pid);
  }
  return launched;
}

}  // namespace test_support
