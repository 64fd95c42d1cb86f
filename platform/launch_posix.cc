// POSIX only (Linux): fork and exec, with the child placed in its job between
// the two. A kill-on-close job also gets a group keeper per launch, which
// takes the tool's group down when the launching process dies in any way.
#include "platform/launch.h"

#include <fcntl.h>
#include <pthread.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/exit_watcher_posix.h"
#include "platform/job_internal_posix.h"
#include "platform/last_error.h"
#include "platform/process_testing.h"

extern char** environ;

namespace base {
namespace {

// Exit status of a child that could not exec; its errno travels through the
// error pipe.
constexpr int kExecFailedExitCode = 127;

struct ChildSetup {
  const char* path = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  int error_pipe = -1;
  bool own_group = false;
  bool die_with_parent = false;
  int max_fd = 0;
};

// Runs in the child between fork and exec. Another thread of the parent may
// have held any lock at the time of the fork, so only async-signal-safe calls
// are allowed here: no allocation, no locks, no logging.
[[noreturn]] void RunChild(const ChildSetup& setup) {
  // Handlers of the parent must not run in the child, and signals the parent
  // ignores (SIGPIPE, typically) must not stay ignored in the tool.
  struct sigaction default_action = {};
  default_action.sa_handler = SIG_DFL;
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (signal_number != SIGKILL && signal_number != SIGSTOP)
      sigaction(signal_number, &default_action, nullptr);
  }

  int error = 0;
  if (setup.own_group && setpgid(0, 0) != 0)
    error = errno;

  if (!error) {
    // The agent holds listening sockets and connections; none may leak into
    // the tool. Marking every descriptor close-on-exec keeps the error pipe
    // (already close-on-exec) usable until exec succeeds.
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
      for (int fd = 3; fd < setup.max_fd; ++fd) {
        if (fd != setup.error_pipe)
          close(fd);
      }
    }
    sigset_t empty;
    sigemptyset(&empty);
    sigprocmask(SIG_SETMASK, &empty, nullptr);
    execve(setup.path, setup.argv, setup.envp);
    error = errno;
  }
  ssize_t ignored = write(setup.error_pipe, &error, sizeof(error));
  (void)ignored;
  _exit(kExecFailedExitCode);
}

std::vector<std::string> BuildEnvironment(const std::map<std::string, std::string>& extra) {
  std::vector<std::string> result;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string variable(*entry);
    const std::string name = variable.substr(0, variable.find('='));
    if (extra.count(name) == 0)
      result.push_back(std::move(variable));
  }
  for (const auto& [name, value] : extra)
    result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> PointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& s : strings)
    pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

void ReapFailedChild(pid_t pid) {
  ScopedLastErrorKeeper keep;
  // The child exits right after reporting, so this wait is short.
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

struct ForkResult {
  pid_t pid = -1;
  int error = 0;
};

// Forks the child and waits until it has exec'd (or reported why it could
// not). Returns its pid, or the error with pid -1.
ForkResult ForkAndExec(ChildSetup setup) {
  ForkResult result;
  int error_pipe[2];
  if (pipe2(error_pipe, O_CLOEXEC) != 0) {
    result.error = errno;
    return result;
  }
  setup.error_pipe = error_pipe[1];

  // With every signal blocked across the fork, no handler of the parent can
  // run in the child before it has reset them.
  sigset_t all_signals;
  sigset_t previous_mask;
  sigfillset(&all_signals);
  pthread_sigmask(SIG_SETMASK, &all_signals, &previous_mask);
  const pid_t pid = fork();
  if (pid == 0)
    RunChild(setup);
  const int fork_error = errno;
  pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
  close(error_pipe[1]);
  if (pid < 0) {
    close(error_pipe[0]);
    result.error = fork_error;
    return result;
  }

  // The pipe closes without data when exec succeeds; otherwise it carries
  // the child's errno.
  int child_error = 0;
  ssize_t received;
  do {
    received = read(error_pipe[0], &child_error, sizeof(child_error));
  } while (received < 0 && errno == EINTR);
  close(error_pipe[0]);
  if (received > 0) {
    ReapFailedChild(pid);
    result.error =
        received == static_cast<ssize_t>(sizeof(child_error)) && child_error ? child_error : EIO;
    return result;
  }
  result.pid = pid;
  return result;
}

// A group keeper: a forked copy of this process that waits on a pipe whose
// write end the job holds. It first reads the id of the group to keep, then
// waits for the pipe to close, because the job was closed or because this
// process died (a SIGKILLed agent runs no code of its own), and kills the
// group. This is what ties the tool, and whatever it started, to the
// agent's process: a death signal would follow the launching thread, not
// the process. Started before the tool, so that the agent cannot die
// unnoticed in between. Between fork and _exit it makes async-signal-safe
// calls only.
struct GroupKeeper {
  int lifeline = -1;  // write end; -1 when no keeper could be started
};

GroupKeeper StartGroupKeeper() {
  GroupKeeper keeper;
  int lifeline[2];
  if (pipe2(lifeline, O_CLOEXEC) != 0)
    return keeper;
  sigset_t all_signals;
  sigset_t previous_mask;
  sigfillset(&all_signals);
  pthread_sigmask(SIG_SETMASK, &all_signals, &previous_mask);
  const pid_t pid = fork();
  if (pid == 0) {
    // Signals stay blocked: a terminal's interrupt that ends the agent must
    // not end the keeper before it has done its one job. Nothing of the
    // agent's is kept open, the standard streams included, so that no pipe
    // a parent reads to its end waits for the keeper.
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
    }
    if (dup2(lifeline[0], 3) != 3)
      _exit(0);
    syscall(SYS_close_range, 4U, ~0U, 0U);
    pid_t group = 0;
    size_t got = 0;
    while (got < sizeof(group)) {
      const ssize_t n = read(3, reinterpret_cast<char*>(&group) + got, sizeof(group) - got);
      if (n > 0)
        got += static_cast<size_t>(n);
      else if (n == 0 || errno != EINTR)
        _exit(0);  // no tool was launched
    }
    char byte;
    while (read(3, &byte, 1) != 0 && errno == EINTR) {
    }
    if (group > 0)
      kill(-group, SIGKILL);
    _exit(0);
  }
  pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
  close(lifeline[0]);
  if (pid < 0) {
    close(lifeline[1]);
    return keeper;
  }
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0)
    internal::ReapWhenExited(pidfd);
  keeper.lifeline = lifeline[1];
  return keeper;
}

}  // namespace

namespace internal {

Process LaunchProcessOS(const CommandLine& command_line, const LaunchOptions& options) {
  // Everything the child needs is allocated here, before the fork.
  std::string path = command_line.GetProgram().value();
  std::vector<std::string> arguments(command_line.argv().begin(), command_line.argv().end());
  if (arguments.empty())
    arguments.push_back(path);
  std::vector<std::string> environment = BuildEnvironment(options.environment);
  std::vector<char*> argv = PointersTo(arguments);
  std::vector<char*> envp = PointersTo(environment);

  ChildSetup setup;
  setup.path = path.c_str();
  setup.argv = argv.data();
  setup.envp = envp.data();
  setup.own_group = IsValidJobHandle(options.job_handle);
  setup.die_with_parent = internal::JobKillsOnClose(options.job_handle);
  struct rlimit limit = {};
  setup.max_fd = (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
                     ? static_cast<int>(limit.rlim_cur)
                     : 65536;

  GroupKeeper keeper;
  if (setup.own_group && setup.die_with_parent)
    keeper = StartGroupKeeper();
  const ForkResult forked = ForkAndExec(setup);
  if (keeper.lifeline >= 0 && forked.pid < 0) {
    close(keeper.lifeline);  // the keeper ends without a group to keep
    keeper.lifeline = -1;
  }
  if (forked.pid < 0) {
    SetLastSystemError(static_cast<SystemErrorCode>(forked.error));
    return Process();
  }
  const pid_t pid = forked.pid;

  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    const int error = errno;
    kill(pid, SIGKILL);
    ReapFailedChild(pid);
    if (keeper.lifeline >= 0)
      close(keeper.lifeline);
    SetLastSystemError(static_cast<SystemErrorCode>(error));
    return Process();
  }
  if (setup.own_group)
    internal::AddProcessGroupToJob(options.job_handle, pid);
  if (keeper.lifeline >= 0) {
    const pid_t group = pid;
    ssize_t written;
    do {
      written = write(keeper.lifeline, &group, sizeof(group));
    } while (written < 0 && errno == EINTR);
    internal::AddLifelineToJob(options.job_handle, keeper.lifeline);
  }
  SetLastSystemError(0);
  return Process(pid, pidfd);
}

}  // namespace internal
}  // namespace base
