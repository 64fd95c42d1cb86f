// A kill-on-close group of processes (a Windows job object).
//
// Processes are placed in a job when they are launched (LaunchOptions). With
// kJobObjectLimitKillOnJobClose set, closing the job kills every process
// still in it.
//
// On POSIX a job is an object of this layer. A kill-on-close job gets a
// keeper at its first launch (or before it, with PrepareJobObject): a small helper program (snipping_tool_keeper,
// shipped next to this library) started as our child, which launches the
// job's processes as its own children and marks itself a child subreaper,
// so that every descendant that loses its parent becomes its child, whatever
// session or process group it moved to. When the job is closed, or this
// process ends in any way (SIGKILL included: the keeper's control socket
// closes), the keeper kills every process it holds, again and again until
// none is left, and ends; closing the job waits (a bounded time) for that.
// Without the keeper, launches into a kill-on-close job fail (ENOENT).
// Limits: a keeper that is itself killed outright leaves what it held
// running; a process of ours that forks without exec carries our end of
// the keeper's socket along, so the keeper sees our death only once that
// child has ended too; closing a job waits at most 5 s for a descendant
// that cannot be killed (stuck in the kernel).
// A job without kill-on-close needs no keeper: its processes are our
// children, each leading a process group of its own. On POSIX the job must
// have its flags set before processes are launched into it.
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

// Readies the job for its first launch now, so that the launch itself costs
// about one process creation: on POSIX a kill-on-close job starts its keeper
// here instead of at that launch; elsewhere (and for other jobs) there is
// nothing to do. Optional. False (and the last system error set) when the
// keeper could not be started; the first launch then tries again.
bool PrepareJobObject(JobHandle job);

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
  // Hands the held job over to the caller, holding none afterwards.
  JobHandle Take() {
    JobHandle job = job_;
    job_ = JobHandle();
    return job;
  }
  bool IsValid() const { return IsValidJobHandle(job_); }
  // Closes the held job (killing what it holds, when kill-on-close is set).
  void Close();

 private:
  JobHandle job_ = JobHandle();
};

}  // namespace base

#endif  // PLATFORM_JOB_H_
