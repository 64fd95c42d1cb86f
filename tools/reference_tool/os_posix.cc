// POSIX only.
#include "tools/reference_tool/os.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <string.h>
#include <unistd.h>

#include "tools/reference_tool/switches.h"

extern char** environ;

namespace reference_tool {

std::FILE* OpenFileUtf8(const std::string& utf8_path, const char* mode) {
  return std::fopen(utf8_path.c_str(), mode);
}

void RemoveFileUtf8(const std::string& utf8_path) {
  unlink(utf8_path.c_str());
}

std::vector<std::string> ArgumentsUtf8(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

int64_t SpawnSleeper(int ms, std::string* error) {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (length <= 0) {
    *error = std::string("cannot find the own executable: ") + strerror(errno);
    return -1;
  }
  self[length] = '\0';
  std::string sleep_switch = std::string("--") + kSleepSwitch + "=" + std::to_string(ms);
  char* const child_argv[] = {self, sleep_switch.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd <= 2; ++fd)
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  pid_t pid = -1;
  const int result = posix_spawn(&pid, self, &actions, nullptr, child_argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) {
    *error = std::string("posix_spawn failed: ") + strerror(result);
    return -1;
  }
  return pid;
}

int64_t CurrentProcessId() {
  return getpid();
}

}  // namespace reference_tool
