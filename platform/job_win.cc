// Windows only: jobs are job objects.
#include "platform/job.h"

#include <windows.h>

// windows.h maps CreateJobObject to its A or W form, which would rename
// ours; this file calls the W form by its full name.
#undef CreateJobObject

#include "platform/process_testing.h"

namespace base {

JobHandle CreateJobObject() {
  // Default security: the handle is not inheritable, so the tool cannot hold
  // its own job open and outlive the agent.
  return CreateJobObjectW(nullptr, nullptr);
}

bool SetJobObjectLimitFlags(JobHandle job, uint32_t flags) {
  if (!IsValidJobHandle(job)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = flags;
  return SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits)) != FALSE;
}

bool internal::PrepareJobObjectOS(JobHandle job) {
  if (!IsValidJobHandle(job)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return true;  // a job object needs nothing before its first launch
}

bool IsValidJobHandle(JobHandle job) {
  return job != nullptr && job != INVALID_HANDLE_VALUE;
}

void CloseJobObject(JobHandle job) {
  if (IsValidJobHandle(job))
    CloseHandle(job);
}

}  // namespace base
