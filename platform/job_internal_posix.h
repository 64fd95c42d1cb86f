// POSIX only: what launching needs to know of a job, shared by
// job_posix.cc and launch_posix.cc.
#ifndef PLATFORM_JOB_INTERNAL_POSIX_H_
#define PLATFORM_JOB_INTERNAL_POSIX_H_

#include <cstdint>
#include <mutex>

#include "platform/job.h"

namespace base {

// A job. A kill-on-close job gets a keeper (snipping_tool_keeper, see
// keeper_protocol_posix.h) at its first launch, or when it is prepared: a child of this process
// that launches the job's processes as its own children and kills them, and
// every descendant they leave behind, when the job is closed or this
// process dies.
struct PosixJob {
  // Serialises launches into the job and its closing.
  std::mutex lock;
  uint32_t limit_flags = 0;
  // This process's end of the keeper's control socket; -1 without keeper.
  int keeper_socket = -1;
  // A pidfd of the keeper, our child; -1 without keeper.
  int keeper_pidfd = -1;
};

namespace internal {

// Starts the job's keeper. Requires |job->lock|. False with the errno in
// |error| when it could not be started; a missing keeper is logged.
bool StartJobKeeper(PosixJob* job, int* error);

// Ends the job's keeper, if it has one: closes its control socket, upon
// which it kills everything it holds, and waits a bounded time for it to
// end, reaping it. Requires |job->lock|.
void EndJobKeeper(PosixJob* job);

}  // namespace internal
}  // namespace base

#endif  // PLATFORM_JOB_INTERNAL_POSIX_H_
