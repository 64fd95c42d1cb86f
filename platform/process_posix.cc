// POSIX only (Linux): a process held through a pidfd.
#include "platform/process.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/exit_watcher_posix.h"
#include "platform/last_error.h"

namespace base {
namespace {

// A shell-style status: the exit code, or 128 + N for death by signal N.
int StatusFromSiginfo(const siginfo_t& info) {
  return info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
}

// Waits up to |timeout| for |pidfd| to become readable, which it does when
// the process has ended. A negative timeout waits without bound.
bool PollForExit(int pidfd, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    int wait_ms = -1;
    if (timeout.count() >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - Clock::now());
      wait_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    struct pollfd entry = {pidfd, POLLIN, 0};
    const int ready = poll(&entry, 1, wait_ms);
    if (ready > 0)
      return true;
    if (ready == 0)
      return false;
    if (errno != EINTR)
      return false;
  }
}

// What the kernel tells of a process through its pidfd (Linux 6.13 and
// later; the exit status from 6.15 on, once the process has been reaped).
// Declared here because the system's headers may predate it.
struct PidfdInfo {
  uint64_t mask;
  uint64_t cgroupid;
  uint32_t pid, tgid, ppid, ruid, rgid, euid, egid, suid, sgid, fsuid, fsgid;
  int32_t exit_code;  // a wait status
};
constexpr unsigned long kPidfdGetInfo = _IOWR(0xFF, 11, PidfdInfo);
constexpr uint64_t kPidfdInfoExit = 1u << 3;
// A process of a job is reaped by the job's keeper as soon as it ends; this
// only bounds the wait on kernels that report no exit status.
constexpr std::chrono::milliseconds kReapedByOthersBound{250};

// The exit status of an ended process that is not our child (a process of a
// kill-on-close job, whose parent is the job's keeper), or -1 when the
// kernel cannot tell it.
int ExitStatusOfNonChild(int pidfd) {
  PidfdInfo info = {};
  info.mask = kPidfdInfoExit;
  if (ioctl(pidfd, kPidfdGetInfo, &info) != 0)
    return -1;  // too old a kernel, or reaped on one without exit statuses
  if (!(info.mask & kPidfdInfoExit)) {
    // Not reaped yet: a pidfd reports POLLHUP once its process has been.
    struct pollfd entry = {pidfd, 0, 0};
    int ready;
    do {
      ready = poll(&entry, 1, static_cast<int>(kReapedByOthersBound.count()));
    } while (ready < 0 && errno == EINTR);
    info = {};
    info.mask = kPidfdInfoExit;
    if (ready <= 0 || ioctl(pidfd, kPidfdGetInfo, &info) != 0 || !(info.mask & kPidfdInfoExit))
      return -1;
  }
  const int status = info.exit_code;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

Process::Process(ProcessId pid, ProcessHandle handle) : pid_(pid), handle_(handle) {}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, 0)),
      handle_(std::exchange(other.handle_, kNullProcessHandle)),
      reaped_(std::exchange(other.reaped_, false)),
      exit_code_(std::exchange(other.exit_code_, 0)) {}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    Close();
    pid_ = std::exchange(other.pid_, 0);
    handle_ = std::exchange(other.handle_, kNullProcessHandle);
    reaped_ = std::exchange(other.reaped_, false);
    exit_code_ = std::exchange(other.exit_code_, 0);
  }
  return *this;
}

Process::~Process() {
  Close();
}

bool Process::IsValid() const {
  return handle_ != kNullProcessHandle;
}

ProcessId Process::Pid() const {
  return IsValid() ? pid_ : 0;
}

ProcessHandle Process::Handle() const {
  return handle_;
}

bool Process::TerminateOS(int /*exit_code*/, bool wait) const {
  if (!IsValid())
    return false;
  if (!reaped_ && syscall(SYS_pidfd_send_signal, handle_, SIGKILL, nullptr, 0) != 0 &&
      errno != ESRCH) {
    return false;
  }
  return !wait || WaitForExitWithTimeout(kTerminateWaitTimeout, nullptr);
}

bool Process::HasExitedOS() const {
  if (!IsValid())
    return false;
  return reaped_ || PollForExit(handle_, std::chrono::milliseconds(0));
}

bool Process::WaitForExitWithTimeoutOS(std::chrono::milliseconds timeout, int* exit_code) const {
  if (!IsValid())
    return false;
  if (!reaped_) {
    if (!PollForExit(handle_, timeout))
      return false;
    siginfo_t info = {};
    int result;
    do {
      result = waitid(P_PIDFD, static_cast<id_t>(handle_), &info, WEXITED);
    } while (result != 0 && errno == EINTR);
    // ECHILD: not our child (its parent, a job's keeper, reaps it); it has
    // ended all the same, and the kernel may tell its status.
    exit_code_ = result == 0 ? StatusFromSiginfo(info) : ExitStatusOfNonChild(handle_);
    reaped_ = true;
  }
  if (exit_code)
    *exit_code = exit_code_;
  return true;
}

void Process::CloseOS() {
  if (!IsValid())
    return;
  ScopedLastErrorKeeper keep_last_error;
  bool hand_to_reaper = false;
  if (!reaped_) {
    siginfo_t info = {};
    const int result = waitid(P_PIDFD, static_cast<id_t>(handle_), &info, WEXITED | WNOHANG);
    // Reaped now (si_pid set), or not a child of ours (ECHILD): nothing is
    // left to wait for. Otherwise it still runs and the reaper takes the
    // pidfd over, to reap the child when it ends.
    hand_to_reaper = result == 0 ? info.si_pid == 0 : errno != ECHILD;
  }
  if (hand_to_reaper)
    internal::ReapWhenExited(handle_);
  else
    close(handle_);
  handle_ = kNullProcessHandle;
  pid_ = 0;
  reaped_ = false;
  exit_code_ = 0;
}

}  // namespace base
