// The snipping tool child process: found next to the module, started with
// its switches inside a kill-on-close job, watched for its end, and
// terminated on request. At most one tool runs per object.
#ifndef IPC_IPC_SERVER_SNIPPING_TOOL_PROCESS_H_
#define IPC_IPC_SERVER_SNIPPING_TOOL_PROCESS_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/exit_wait.h"
#include "platform/file_path.h"
#include "platform/job.h"
#include "platform/process.h"
#include "snipping_tool/snipping_tool_config.h"

namespace snipping_tool {

// The two tool executables; the same file names on every OS.
inline constexpr char kVizudeDezoExecutable[] = "VizudeDezo.exe";
inline constexpr char kQuilloSnippingToolExecutable[] = "QuilloSnippingTool.exe";

class SnippingToolProcess {
 public:
  SnippingToolProcess();
  SnippingToolProcess(const SnippingToolProcess&) = delete;
  SnippingToolProcess& operator=(const SnippingToolProcess&) = delete;
  // Terminates a running tool and waits for an exit callback in progress.
  ~SnippingToolProcess();

  // Matches the tool of any launch.
  static constexpr uint64_t kAnyLaunch = ~uint64_t{0};

  // Starts the tool unless one is held: VizudeDezo.exe with its switches
  // when |use_screen_tool| is set, else QuilloSnippingTool.exe with the
  // classic ones, telling it |port|. Each launch gets the next launch number;
  // |make_peer_secret| (if set) is called with it, under this object's lock,
  // and its result handed to the tool in the environment variable
  // ipc_core::kPeerSecretEnvironmentVariable. A held tool counts only if it
  // is of |keep_launch|: the tool of a launch its owner has already ended
  // (its reset is on the way from another thread) is reset here and a new
  // one started. True when a tool process is held afterwards.
  bool StartProcessIfNeed(const SnippingToolConfig& config, uint32_t port, bool use_screen_tool,
                          const std::function<std::string(uint64_t launch)>& make_peer_secret = {},
                          uint64_t keep_launch = kAnyLaunch);

  // Terminates the held tool and closes its job, ending whatever the tool
  // started; with |launch|, only when the held tool and job are of that
  // launch (a later launch is left alone). The exit wait stays registered;
  // call CancelExitWait next.
  void ResetStatus(uint64_t launch = kAnyLaunch);

  // Drops the exit wait (with |launch|, only the wait on that launch's
  // tool), waiting for an exit callback that is running. Must not be called
  // from the exit callback itself.
  void CancelExitWait(uint64_t launch = kAnyLaunch);

  // With |on|, launches get a job readied ahead of time: one at once, and a
  // new one each time the held tool's job is closed, so that a launch costs
  // about one process creation (on POSIX the job's keeper, a process of its
  // own, is started then, off the shot's path). Off, the readied job is
  // closed, so that no process of ours is left, and none is readied until
  // this is turned on again. Off at construction.
  void SetPrepareLaunches(bool on);

  // True while a tool process is held.
  bool IsValid() const;

  // The exit callback, on the exit-wait thread: |context| is the object.
  static void WaitForProcessExit(void* context, unsigned char timer_or_wait_fired);

 private:
  void OnProcessExit();

  // Unregisters the wait in |exit_wait_|, if any (and of |launch|).
  void DropExitWait(bool wait_for_running_callback, uint64_t launch = kAnyLaunch);

  // A new kill-on-close job for a launch; null when none could be made.
  static base::JobHandle NewToolJob();
  // Readies |ready_job_| when launches are prepared and none is ready.
  // Requires |lock_|.
  void PrepareLaunchLocked();

  // Job of the last launch; closing it kills what it holds.
  base::ScopedJobHandle job_;
  // The next launch's job, readied ahead (SetPrepareLaunches), and whether
  // one is to be. Under |lock_|.
  base::ScopedJobHandle ready_job_;
  bool prepare_launches_ = false;
  // The exit wait on the tool of the last successful launch, and that
  // launch. Under |wait_lock_|, not |lock_|: CancelExitWait must not wait
  // for the lock an exit callback holds.
  std::mutex wait_lock_;
  base::ExitWaitHandle exit_wait_ = base::ExitWaitHandle();
  uint64_t exit_wait_launch_ = 0;
  base::Process process_;
  // The number of the last launch, that of the held tool and job (launches
  // are numbered from 1; 0 before the first). Written under |lock_|, read
  // without it to decide on the exit wait.
  std::atomic<uint64_t> launch_{0};
  // Serialises StartProcessIfNeed and ResetStatus; recursive because the
  // exit callback resets under it.
  std::recursive_mutex lock_;
  // Mirrors process_.IsValid() for IsValid(), which takes no lock.
  std::atomic<bool> process_valid_{false};
};

}  // namespace snipping_tool

#endif  // IPC_IPC_SERVER_SNIPPING_TOOL_PROCESS_H_
