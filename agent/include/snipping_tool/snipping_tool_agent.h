// The host-facing interface of the snipping tool agent.
//
// The host obtains the process-wide agent with GetQuilloSnipingToolAgent,
// calls Init with its delegate, asks for shots with SnippingShot, and calls
// Uninit before the delegate goes away. Every operation is meant to be
// called on the thread that runs the delegate's posted tasks (the host's UI
// thread). Declaration order is the interfaces' slot order.
#ifndef SNIPPING_TOOL_SNIPPING_TOOL_AGENT_H_
#define SNIPPING_TOOL_SNIPPING_TOOL_AGENT_H_

#include <cstdint>
#include <functional>
#include <string>

#include "snipping_tool/snipping_tool_config.h"
#include "snipping_tool/snipping_tool_payloads.h"

namespace snipping_tool {

class IRefCount {
 public:
  virtual void AddRef() = 0;
  virtual void Release() = 0;
  virtual ~IRefCount() = default;
};

// Implemented by the host. Calls come on the IPC runtime's threads, except
// those made by tasks run through PostTask; accept every call on any thread.
// Must stay valid until Uninit has returned; Uninit returns once the calls
// under way on other threads have returned, so no call may wait for the
// thread that runs Uninit.
class ISnippingToolAgentDelegate {
 public:
  // A log record of the IPC runtime. |value| is the runtime's: the id of the
  // connection concerned, 0 when none.
  virtual void Log(int severity, const std::string& file, int line, int64_t value,
                   const std::string& message) = 0;
  // An analytics event.
  virtual void ReportBIEvent(const std::string& key) = 0;
  // A configuration text (JSON) the tool wants the host to keep.
  virtual void ApplySnippingToolConfig(const std::string& config_json) = 0;
  // The tool asks for the membership window.
  virtual void ShowVipWindow() = 0;
  // The tool asks for the select-user window.
  virtual void ShowSelectUserWindow(const SelectUserWndSnippingShot& request) = 0;
  // A shot result arrived; its delivery to the success callable follows on
  // the UI thread.
  virtual void OnSnippingShotResultArrived() = 0;
  // Copy |task| and run it once on the UI thread after at least |delay_ms|.
  virtual void PostTask(const std::function<void()>& task, uint32_t delay_ms) = 0;
  // A screen-AI request; answer through |reply| (copy it to answer later).
  virtual void RequestAI(const RequestAISnippingShot& request,
                         const std::function<void(const ResponseAISnippingShot&)>& reply) = 0;

 protected:
  // The agent never deletes the delegate; no destructor slot precedes Log.
  ~ISnippingToolAgentDelegate() = default;
};

class ISnippingToolAgent : public IRefCount {
 public:
  virtual void Init(const SnippingToolConfig& config, ISnippingToolAgentDelegate* delegate,
                    bool use_screen_tool) = 0;
  virtual void Uninit() = 0;
  // Asks the tool for a shot. When the agent is broken, |on_failure| runs
  // at once and nothing else happens; while a shot is running the request is
  // dropped and neither callable runs. Otherwise the shot is accepted, and
  // exactly one of |on_success| and |on_failure| runs, once, on the UI
  // thread (a task given to PostTask) -- unless Uninit has returned before
  // that task runs: then it calls nothing of the host. A shot whose tool is
  // gone always ends. Either callable may ask for the next shot.
  virtual void SnippingShot(const std::string& image_save_path,
                            const std::function<void(const NotifySnippingShot&)>& on_success,
                            const std::function<void()>& on_failure, int screen_shot_type,
                            const AIScreenShotRequest& ai_screen_shot_request) = 0;
  virtual bool IsBroken() = 0;
  // Only events of the current shot, tool launch and tool connection stop a
  // shot or set the broken state: an idle agent is never broken by a
  // time-out. A broken state set here stays until cleared here or by
  // TerminateSnippingTool, but a running shot still ends when its tool does.
  virtual void SetBroken(bool broken) = 0;
  // The host's select-user window was hidden; tell the tool connected now.
  // With no tool connected the notice is dropped (a warning is logged).
  virtual void OnSelectUserWndHide(bool exit_screen_tool) = 0;
  virtual void SetIsDarkTheme(bool is_dark_theme) = 0;
  virtual void SetVipStatus(int vip_status) = 0;
  virtual void SetGraySwitch(const std::string& name, bool value) = 0;
  // Ends the tool and clears the broken state. A running shot ends as a lost
  // tool: its |on_failure| runs on the UI thread and the event
  // "pc_snipping_shot_broken_ipc_disconneted" is reported.
  virtual void TerminateSnippingTool() = 0;
  virtual void SetRecordStartedCallback(const std::function<void()>& callback) = 0;
  virtual void SetRecordFinishedCallback(const std::function<void()>& callback) = 0;
};

}  // namespace snipping_tool

#if defined(SNIPPING_TOOL_AGENT_IMPLEMENTATION)
#if defined(_WIN32)
#define SNIPPING_TOOL_AGENT_EXPORT __declspec(dllexport)
#else
#define SNIPPING_TOOL_AGENT_EXPORT __attribute__((visibility("default")))
#endif
#else
#define SNIPPING_TOOL_AGENT_EXPORT
#endif

// The factory's type, for hosts that resolve it at run time by name.
using GetQuilloSnipingToolAgentFunction = bool (*)(snipping_tool::ISnippingToolAgent**);

// The library's only export: the process-wide agent. False when |out| is
// null or the agent cannot be created.
extern "C" SNIPPING_TOOL_AGENT_EXPORT bool GetQuilloSnipingToolAgent(
    snipping_tool::ISnippingToolAgent** out);

#endif  // SNIPPING_TOOL_SNIPPING_TOOL_AGENT_H_
