// A kill-on-close group of processes (a Windows job object).
//
// Processes are placed in a job when they are launched (LaunchOptions). With
// kJobObjectLimitKillOnJobClose set, closing the job kills every process
// still in it.
//
// On POSIX a job is an object of this layer: every process launched into it
// leads a process group of its own, which its descendants join unless they
// leave it, and closing the job sends SIGKILL to each of those groups. Each
// launch into a kill-on-close job also starts a group keeper, a forked copy
// of this process holding the read end of a pipe whose write end the job
// holds: when this process ends in any way (SIGKILL included) the pipe
// closes and the keeper kills the group, so that the tool cannot outlive an
// agent that was killed before it could close the job. On POSIX the job
// must have its flags set before processes are launched into it.
#ifndef PLATFORM_JOB_H_
#define PLATFORM_JOB_H_

#include <cstdint>

namespace base {

#if defined(_WIN32)
using JobHandle = void*;  // HANDLE of a job object
#else
struct PosixJob;
using JobHandle = PosixJob*;
#endif

// The basic limit flag that makes closing the job kill its processes.
inline constexpr uint32_t kJobObjectLimitKillOnJobClose = 0x2000;

// A new job without limits, or a null handle (and the last system error set)
// on failure.
JobHandle CreateJobObject();

// Sets the job's basic limit flags. False (and the last system error set)
// for an invalid handle or when the system refuses.
bool SetJobObjectLimitFlags(JobHandle job, uint32_t flags);

// True for a handle that may refer to a job: neither null nor, on Windows,
// INVALID_HANDLE_VALUE.
bool IsValidJobHandle(JobHandle job);

// Closes the handle; with kill-on-close set this kills every process still
// in the job. Does nothing for an invalid handle.
void CloseJobObject(JobHandle job);

// Owns a job handle.
class ScopedJobHandle {
 public:
  ScopedJobHandle() = default;
  explicit ScopedJobHandle(JobHandle job) { Set(job); }
  ScopedJobHandle(const ScopedJobHandle&) = delete;
  ScopedJobHandle& operator=(const ScopedJobHandle&) = delete;
  ~ScopedJobHandle() { Close(); }

  // Replaces the held job: when |job| differs from it, the held one is
  // closed and |job| is kept only if it is a valid handle. The thread's last
  // system error survives the call, so that a failed creation can still be
  // reported after its result was stored.
  void Set(JobHandle job);
  JobHandle Get() const { return job_; }
  bool IsValid() const { return IsValidJobHandle(job_); }
  // Closes the held job (killing what it holds, when kill-on-close is set).
  void Close();

 private:
  JobHandle job_ = JobHandle();
};

}  // namespace base

#endif  // PLATFORM_JOB_H_
