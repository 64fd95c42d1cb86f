#include "platform/job.h"

#include "platform/last_error.h"
#include "platform/process_testing.h"

namespace base {

void ScopedJobHandle::Set(JobHandle job) {
  if (job == job_)
    return;
  ScopedLastErrorKeeper keep_last_error;
  Close();
  if (IsValidJobHandle(job))
    job_ = job;
}

void ScopedJobHandle::Close() {
  if (IsValidJobHandle(job_)) {
    internal::NotifyJobClosing(job_);
    CloseJobObject(job_);
  }
  job_ = JobHandle();
}

}  // namespace base
