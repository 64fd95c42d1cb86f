// POSIX only: a job is an object of this layer; a kill-on-close job holds
// its processes through a keeper process (see job_internal_posix.h).
#include <cerrno>
#include <mutex>
#include <new>

#include "platform/job.h"
#include "platform/job_internal_posix.h"
#include "platform/last_error.h"

namespace base {

JobHandle CreateJobObject() {
  PosixJob* job = new (std::nothrow) PosixJob();
  if (!job)
    SetLastSystemError(ENOMEM);
  return job;
}

bool SetJobObjectLimitFlags(JobHandle job, uint32_t flags) {
  if (!IsValidJobHandle(job)) {
    SetLastSystemError(EBADF);
    return false;
  }
  std::lock_guard<std::mutex> hold(job->lock);
  job->limit_flags = flags;
  return true;
}

bool IsValidJobHandle(JobHandle job) {
  return job != nullptr;
}

void CloseJobObject(JobHandle job) {
  if (!IsValidJobHandle(job))
    return;
  {
    std::lock_guard<std::mutex> hold(job->lock);
    // Only a kill-on-close job has a keeper; ending it ends what it holds.
    internal::EndJobKeeper(job);
  }
  delete job;
}

}  // namespace base
