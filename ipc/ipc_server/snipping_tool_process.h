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

  // Starts the tool unless one is held: VizudeDezo.exe with its switches
  // when |use_screen_tool| is set, else QuilloSnippingTool.exe with the
  // classic ones, telling it |port|. When a tool is launched,
  // |make_peer_secret| (if set) is called and its result handed to the tool
  // in the environment variable ipc_core::kPeerSecretEnvironmentVariable.
  // True when a tool process is held afterwards.
  bool StartProcessIfNeed(const SnippingToolConfig& config, uint32_t port, bool use_screen_tool,
                          const std::function<std::string()>& make_peer_secret = {});

  // Terminates the held tool and closes its job, ending whatever the tool
  // started. The exit wait stays registered; call CancelExitWait next.
  void ResetStatus();

  // Drops the exit wait, waiting for an exit callback that is running. Must
  // not be called from the exit callback itself.
  void CancelExitWait();

  // True while a tool process is held.
  bool IsValid() const;

  // The exit callback, on the exit-wait thread: |context| is the object.
  static void WaitForProcessExit(void* context, unsigned char timer_or_wait_fired);

 private:
  void OnProcessExit();

  // Unregisters the wait in |exit_wait_|, if any.
  void DropExitWait(bool wait_for_running_callback);

  // Job of the last launch; closing it kills what it holds.
  base::ScopedJobHandle job_;
  // The exit wait on the tool of the last successful launch. Exchanged
  // atomically: CancelExitWait takes no lock.
  std::atomic<base::ExitWaitHandle> exit_wait_{base::ExitWaitHandle()};
  base::Process process_;
  // Serialises StartProcessIfNeed and ResetStatus; recursive because the
  // exit callback resets under it.
  std::recursive_mutex lock_;
  // Mirrors process_.IsValid() for IsValid(), which takes no lock.
  std::atomic<bool> process_valid_{false};
};

}  // namespace snipping_tool

#endif  // IPC_IPC_SERVER_SNIPPING_TOOL_PROCESS_H_
