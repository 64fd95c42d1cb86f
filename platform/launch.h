// Starting a child process from a command line.
#ifndef PLATFORM_LAUNCH_H_
#define PLATFORM_LAUNCH_H_

#include <map>
#include <string>

#include "platform/command_line.h"
#include "platform/job.h"
#include "platform/process.h"

namespace base {

struct LaunchOptions {
  // The job the child is placed in before it runs any code of its own; a
  // null handle launches it outside any job.
  JobHandle job_handle = JobHandle();
  // Variables added to (or replacing those of) the parent's environment for
  // the child. Names and values are UTF-8.
  std::map<std::string, std::string> environment;
};

// Starts the program of |command_line| with its arguments. On success the
// last system error is 0; on failure the result is invalid and the last
// system error tells why (on POSIX also when the executable could not be
// run: ENOENT, EACCES, ENOEXEC...).
//
// The child inherits the standard input, output and error and no other
// handle or descriptor of the parent.
//
// POSIX: a process launched into a kill-on-close job is started by the job's
// keeper (see job.h) and is its child, not ours; it and every descendant it
// has are killed when the job is closed or this process ends in any way,
// SIGKILL included. The launch returns once the program has been exec'd or
// has failed to be, as a direct launch does. The calling thread may end
// without taking the process along.
Process LaunchProcess(const CommandLine& command_line, const LaunchOptions& options);

}  // namespace base

#endif  // PLATFORM_LAUNCH_H_
