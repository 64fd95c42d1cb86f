// POSIX only: a job is an object of this layer; a kill-on-close job holds
// its processes through a keeper process (see job_internal_posix.h).
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <new>

#include "platform/exit_watcher_posix.h"
#include "platform/job.h"
#include "platform/job_internal_posix.h"
#include "platform/last_error.h"
#include "platform/logging.h"
#include "platform/process_testing.h"

namespace base {
namespace {

// How long closing a job waits for its keeper to have killed everything.
constexpr int kKeeperEndTimeoutMs = 5000;

}  // namespace

namespace internal {

void EndJobKeeper(PosixJob* job) {
  if (job->keeper_socket >= 0) {
    close(job->keeper_socket);
    job->keeper_socket = -1;
  }
  if (job->keeper_pidfd < 0)
    return;
  // Waiting here makes closing the job final: when it returns, what the job
  // held is gone and the keeper reaped.
  struct pollfd entry = {job->keeper_pidfd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&entry, 1, kKeeperEndTimeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready > 0) {
    siginfo_t info = {};
    while (waitid(P_PIDFD, static_cast<id_t>(job->keeper_pidfd), &info, WEXITED) != 0 &&
           errno == EINTR) {
    }
    close(job->keeper_pidfd);
  } else {
    LOG(WARNING) << "CloseJobObject: the job keeper has not ended yet; it is reaped when it does";
    ReapWhenExited(job->keeper_pidfd);
  }
  job->keeper_pidfd = -1;
}

}  // namespace internal

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

bool internal::PrepareJobObjectOS(JobHandle job) {
  if (!IsValidJobHandle(job)) {
    SetLastSystemError(EBADF);
    return false;
  }
  std::lock_guard<std::mutex> hold(job->lock);
  if (!(job->limit_flags & kJobObjectLimitKillOnJobClose) || job->keeper_socket >= 0)
    return true;
  int error = 0;
  if (!internal::StartJobKeeper(job, &error)) {
    SetLastSystemError(static_cast<SystemErrorCode>(error));
    return false;
  }
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
