// An owned handle to a child process.
//
// On Windows the handle is a process HANDLE. On Linux it is a pidfd: unlike
// a bare pid it can never name a different process after the child ends, so
// signals and waits through it cannot hit an unrelated process that reused
// the pid. Linux 5.3 or later is required for pidfd_open.
//
// On POSIX a child must be reaped (waited for) by its parent or it stays a
// zombie. A Process therefore reaps its child when it learns of its end, and
// Close() of a child that still runs hands it to a process-wide reaper that
// reaps it when it ends. The caller is never blocked on a running process
// unless it asks to wait.
//
// A process launched into a kill-on-close job on POSIX is not our child but
// the child of the job's keeper (see job.h), which reaps it. Everything
// works alike through its pidfd; its exit status comes from the kernel
// (Linux 6.15 or later), and is -1 on older kernels.
#ifndef PLATFORM_PROCESS_H_
#define PLATFORM_PROCESS_H_

#include <chrono>

namespace base {

#if defined(_WIN32)
using ProcessHandle = void*;      // HANDLE
using ProcessId = unsigned long;  // DWORD
inline constexpr ProcessHandle kNullProcessHandle = nullptr;
#else
using ProcessHandle = int;  // pidfd
using ProcessId = int;      // pid_t
inline constexpr ProcessHandle kNullProcessHandle = -1;
#endif

// Bounds the wait of Terminate(exit_code, true): a killed process normally
// ends at once, but one stuck in an uninterruptible call cannot be waited
// for forever.
inline constexpr std::chrono::milliseconds kTerminateWaitTimeout{60000};

class Process {
 public:
  // An invalid process.
  Process() = default;
  // Takes ownership of |handle|, which refers to the child |pid|.
  Process(ProcessId pid, ProcessHandle handle);
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  // Closes the handle; the process itself keeps running.
  ~Process();

  // True while a process handle is held.
  bool IsValid() const;
  // The process id; 0 when not valid.
  ProcessId Pid() const;
  // The owned handle; kNullProcessHandle when not valid. Stays owned by this
  // object: duplicate it to keep it beyond Close().
  ProcessHandle Handle() const;

  // Ends the process. With |wait|, returns only once it has ended (at most
  // kTerminateWaitTimeout). On POSIX the process is killed with SIGKILL and
  // |exit_code| is ignored: no POSIX call sets another process's exit status.
  // Returns false when the process could not be signalled, or did not end in
  // time when waited for.
  bool Terminate(int exit_code, bool wait) const;

  // True when the process has ended; never blocks.
  bool HasExited() const;

  // Waits up to |timeout| for the end of the process. True when it ended,
  // with |exit_code| (may be null) set to its exit status; on POSIX a death
  // by signal N is reported as 128 + N, as shells do.
  bool WaitForExitWithTimeout(std::chrono::milliseconds timeout, int* exit_code) const;

  // Releases the handle; the object becomes invalid. Does not end the
  // process.
  void Close();

 private:
  // The OS code behind Terminate, HasExited, WaitForExitWithTimeout and
  // Close, which first offer the call to an installed fake layer
  // (process_testing.h).
  bool TerminateOS(int exit_code, bool wait) const;
  bool HasExitedOS() const;
  bool WaitForExitWithTimeoutOS(std::chrono::milliseconds timeout, int* exit_code) const;
  void CloseOS();

  ProcessId pid_ = 0;
  ProcessHandle handle_ = kNullProcessHandle;
#if !defined(_WIN32)
  // The child has been reaped and |exit_code_| holds its status. Waits are
  // logically const, reaping is their side effect.
  mutable bool reaped_ = false;
  mutable int exit_code_ = 0;
#endif
};

}  // namespace base

#endif  // PLATFORM_PROCESS_H_
