// POSIX only: what launching needs to know of a job, shared by
// job_posix.cc and launch_posix.cc.
#ifndef PLATFORM_JOB_INTERNAL_POSIX_H_
#define PLATFORM_JOB_INTERNAL_POSIX_H_

#include <sys/types.h>

#include "platform/job.h"

namespace base {
namespace internal {

// Whether closing |job| kills its processes, read before launching into it:
// only then is the child armed to die with its parent.
bool JobKillsOnClose(JobHandle job);

// Records that the process group |pgid| (led by a child just launched into
// |job|) belongs to the job.
void AddProcessGroupToJob(JobHandle job, pid_t pgid);

// Gives |job| the write end of a group keeper's lifeline; closing the job
// closes it. When the agent's process dies in any way the kernel closes it
// too, and the keeper kills the group, the tool and what it started.
void AddLifelineToJob(JobHandle job, int lifeline_fd);

}  // namespace internal
}  // namespace base

#endif  // PLATFORM_JOB_INTERNAL_POSIX_H_
