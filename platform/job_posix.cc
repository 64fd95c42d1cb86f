// POSIX only: a job is a set of process groups that is killed as a whole.
#include <signal.h>
#include <unistd.h>
#include <sys/types.h>

#include <cerrno>
#include <mutex>
#include <new>
#include <vector>

#include "platform/job.h"
#include "platform/job_internal_posix.h"
#include "platform/last_error.h"

namespace base {

struct PosixJob {
  std::mutex lock;
  uint32_t limit_flags = 0;
  // One group per process launched into the job; the group id is the pid of
  // its leader.
  std::vector<pid_t> groups;
  // Write ends of the group keepers' lifelines.
  std::vector<int> lifelines;
};

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
    if (job->limit_flags & kJobObjectLimitKillOnJobClose) {
      // A group whose members have all ended and been reaped no longer
      // exists and kill() fails with ESRCH, which is fine. The group id only
      // becomes free for reuse once its leader has been reaped and no member
      // is left, and jobs are closed right after their tool ends, so the
      // window in which an unrelated group could carry the same id is small.
      for (pid_t group : job->groups)
        kill(-group, SIGKILL);
    }
    // The keepers find their groups gone and exit.
    for (int fd : job->lifelines)
      close(fd);
  }
  delete job;
}

namespace internal {

bool JobKillsOnClose(JobHandle job) {
  if (!IsValidJobHandle(job))
    return false;
  std::lock_guard<std::mutex> hold(job->lock);
  return (job->limit_flags & kJobObjectLimitKillOnJobClose) != 0;
}

void AddProcessGroupToJob(JobHandle job, pid_t pgid) {
  if (!IsValidJobHandle(job))
    return;
  std::lock_guard<std::mutex> hold(job->lock);
  job->groups.push_back(pgid);
}

void AddLifelineToJob(JobHandle job, int lifeline_fd) {
  if (!IsValidJobHandle(job)) {
    close(lifeline_fd);
    return;
  }
  std::lock_guard<std::mutex> hold(job->lock);
  job->lifelines.push_back(lifeline_fd);
}

}  // namespace internal
}  // namespace base
