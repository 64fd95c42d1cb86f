// POSIX only (Linux): fork and exec, with the child placed in its job between
// the two, forked from one launcher thread that lives as long as the process.
#include "platform/launch.h"

#include <fcntl.h>
#include <pthread.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/exit_watcher_posix.h"
#include "platform/job_internal_posix.h"
#include "platform/last_error.h"

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
  pid_t parent_pid = 0;
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
  if (!error && setup.die_with_parent) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
      error = errno;
    } else if (getppid() != setup.parent_pid) {
      // The parent ended before the death signal was armed; nobody is
      // left to report to.
      _exit(kExecFailedExitCode);
    }
  }

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

// The thread every child is forked from. PR_SET_PDEATHSIG fires when the
// forking thread ends, not when the process does; forking from a thread that
// never ends ties the tool to the agent's process, whatever thread of the
// host or of the IPC runtime asked for the launch.
class LauncherThread {
 public:
  static LauncherThread& Get() {
    static LauncherThread* const launcher = new LauncherThread();
    return *launcher;
  }

  ForkResult Fork(const ChildSetup& setup) {
    Request request;
    request.setup = &setup;
    std::unique_lock<std::mutex> hold(lock_);
    queue_.push_back(&request);
    changed_.notify_all();
    changed_.wait(hold, [&request] { return request.done; });
    return request.result;
  }

 private:
  struct Request {
    const ChildSetup* setup = nullptr;
    ForkResult result;
    bool done = false;
  };

  LauncherThread() {
    // The thread takes none of the host's signals.
    sigset_t all_signals;
    sigset_t previous_mask;
    sigfillset(&all_signals);
    pthread_sigmask(SIG_SETMASK, &all_signals, &previous_mask);
    std::thread([this] { Run(); }).detach();
    pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
  }

  [[noreturn]] void Run() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      changed_.wait(hold, [this] { return !queue_.empty(); });
      Request* request = queue_.front();
      queue_.pop_front();
      hold.unlock();
      const ForkResult result = ForkAndExec(*request->setup);
      hold.lock();
      request->result = result;
      request->done = true;
      changed_.notify_all();
    }
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Request*> queue_;
};

// A group keeper: a forked copy of this process that only waits on a pipe
// whose write end the job holds, and kills the group |pgid| when the pipe
// closes, because the job was closed or because this process died (a
// SIGKILLed agent runs no code of its own). Between fork and _exit it makes
// async-signal-safe calls only. A keeper that cannot be started leaves the
// tool tied to the agent by its death signal alone.
void StartGroupKeeper(JobHandle job, pid_t pgid) {
  int lifeline[2];
  if (pipe2(lifeline, O_CLOEXEC) != 0)
    return;
  sigset_t all_signals;
  sigset_t previous_mask;
  sigfillset(&all_signals);
  pthread_sigmask(SIG_SETMASK, &all_signals, &previous_mask);
  const pid_t keeper = fork();
  if (keeper == 0) {
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
    if (dup2(lifeline[0], 3) == 3) {
      syscall(SYS_close_range, 4U, ~0U, 0U);
      char byte;
      while (read(3, &byte, 1) != 0 && errno == EINTR) {
      }
    }
    kill(-pgid, SIGKILL);
    _exit(0);
  }
  pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
  close(lifeline[0]);
  if (keeper < 0) {
    close(lifeline[1]);
    return;
  }
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, keeper, 0));
  if (pidfd >= 0)
    internal::ReapWhenExited(pidfd);
  internal::AddLifelineToJob(job, lifeline[1]);
}

}  // namespace

Process LaunchProcess(const CommandLine& command_line, const LaunchOptions& options) {
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
  setup.parent_pid = getpid();
  struct rlimit limit = {};
  setup.max_fd = (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
                     ? static_cast<int>(limit.rlim_cur)
                     : 65536;

  const ForkResult forked = LauncherThread::Get().Fork(setup);
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
    SetLastSystemError(static_cast<SystemErrorCode>(error));
    return Process();
  }
  if (setup.own_group)
    internal::AddProcessGroupToJob(options.job_handle, pid);
  if (setup.own_group && setup.die_with_parent)
    StartGroupKeeper(options.job_handle, pid);
  SetLastSystemError(0);
  return Process(pid, pidfd);
}

}  // namespace base
