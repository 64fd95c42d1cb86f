// A process-wide stand-in for the operating system's processes, for tests
// that run the agent's process handling without starting programs. While a
// layer is installed every launch, process operation, exit wait and job
// close of this library goes to it instead of the OS. Not for production.
#ifndef PLATFORM_PROCESS_TESTING_H_
#define PLATFORM_PROCESS_TESTING_H_

#include "platform/command_line.h"
#include "platform/exit_wait.h"
#include "platform/job.h"
#include "platform/launch.h"
#include "platform/process.h"

namespace base {
namespace testing {

class FakeProcessLayer {
 public:
  virtual ~FakeProcessLayer() = default;
  // LaunchProcess. A launched process is MakeFakeProcess(pid), a failed one
  // Process() (set the last system error).
  virtual Process Launch(const CommandLine& command_line, const LaunchOptions& options) = 0;
  // Process operations on MakeFakeProcess(pid); Close is told before the
  // handle is dropped.
  virtual bool Terminate(ProcessId pid, bool wait) = 0;
  virtual bool HasExited(ProcessId pid) = 0;
  virtual void Close(ProcessId pid) = 0;
  // RegisterExitWait and UnregisterExitWait, with the watched process's pid.
  virtual bool RegisterExitWait(ExitWaitHandle* wait, ProcessId pid, ExitWaitCallback callback,
                                void* context) = 0;
  virtual bool UnregisterExitWait(ExitWaitHandle wait, bool wait_for_running_callback) = 0;
  // A job is about to be closed (what was launched into it is killed when
  // it kills on close).
  virtual void JobClosing(JobHandle job) = 0;
};

// Installs |layer| (null restores the OS). Not owned.
void SetFakeProcessLayer(FakeProcessLayer* layer);

// A valid process object for the fake process |pid| (> 0); its handle is
// never a handle of the OS.
Process MakeFakeProcess(ProcessId pid);

// |number| (> 0) as an exit wait registration of a fake layer.
ExitWaitHandle MakeFakeExitWait(uint64_t number);
uint64_t FakeExitWaitNumber(ExitWaitHandle wait);

}  // namespace testing

namespace internal {
// The OS implementations behind the portable front (process_testing.cc).
Process LaunchProcessOS(const CommandLine& command_line, const LaunchOptions& options);
bool RegisterExitWaitOS(ExitWaitHandle* wait, ProcessHandle process, ExitWaitCallback callback,
                        void* context);
bool UnregisterExitWaitOS(ExitWaitHandle wait, bool wait_for_running_callback);
bool PrepareJobObjectOS(JobHandle job);
// Tells an installed fake layer that |job| is about to be closed.
void NotifyJobClosing(JobHandle job);
}  // namespace internal

}  // namespace base

#endif  // PLATFORM_PROCESS_TESTING_H_
