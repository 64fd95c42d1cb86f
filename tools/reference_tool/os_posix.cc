// POSIX only.
#include "tools/reference_tool/os.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
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

namespace {

// A daemon the classic way: fork, setsid, fork again, and the middle
// process ends at once. The tool has threads, so between fork and exec only
// async-signal-safe calls are made; everything else is prepared before.
int64_t SpawnDaemon(char* const* argv, std::string* error) {
  int pid_pipe[2];
  if (pipe2(pid_pipe, O_CLOEXEC) != 0) {
    *error = std::string("pipe failed: ") + strerror(errno);
    return -1;
  }
  const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t middle = fork();
  if (middle == 0) {
    setsid();
    const pid_t daemon = fork();
    if (daemon != 0) {
      const pid_t reported = daemon > 0 ? daemon : -1;
      _exit(write(pid_pipe[1], &reported, sizeof(reported)) == sizeof(reported) ? 0 : 1);
    }
    if (null_fd >= 0) {
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
    }
    execve(argv[0], argv, environ);
    _exit(127);
  }
  const int fork_error = errno;
  close(pid_pipe[1]);
  if (null_fd >= 0)
    close(null_fd);
  pid_t daemon = -1;
  if (middle < 0) {
    *error = std::string("fork failed: ") + strerror(fork_error);
  } else {
    if (read(pid_pipe[0], &daemon, sizeof(daemon)) != sizeof(daemon) || daemon <= 0) {
      *error = "the daemon's parent reported no pid";
      daemon = -1;
    }
    while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  close(pid_pipe[0]);
  return daemon;
}

}  // namespace

int64_t SpawnSleeper(int ms, SleeperKind kind, std::string* error) {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (length <= 0) {
    *error = std::string("cannot find the own executable: ") + strerror(errno);
    return -1;
  }
  self[length] = '\0';
  std::string sleep_switch = std::string("--") + kSleepSwitch + "=" + std::to_string(ms);
  char* const child_argv[] = {self, sleep_switch.data(), nullptr};
  if (kind == SleeperKind::kDaemon)
    return SpawnDaemon(child_argv, error);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd <= 2; ++fd)
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (kind == SleeperKind::kNewSession)
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int result = posix_spawn(&pid, self, &actions, &attributes, child_argv, environ);
  posix_spawnattr_destroy(&attributes);
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
