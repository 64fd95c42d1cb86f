// The object that does the agent's work: it holds the shot state, owns the
// IPC service host and the tool process, offers the "snipping_tool_agent"
// service to the tool and relays what the tool sends to the host.
//
// Threads: the ISnippingToolAgent operations come from the host's thread;
// observer events, requests and invoke results from IPC runtime threads; the
// *_UI halves, time-outs and the handshake completion run on the host's UI
// thread through the delegate's PostTask. The shot state is a set of atomic
// flags changed without a lock; the plain settings the host sets (callables,
// theme, switches, the save path) sit behind |settings_lock_|, held only to
// copy them, never while calling out.
//
// Lifetime: one reference count for the whole object. The facade holds one
// reference, every posted task and every pending shot invoke holds one. The
// request handlers hold only weak references, so Uninit followed by the
// facade's release destroys the object (and with it the IPC service host)
// once posted tasks and pending invokes are done.
#ifndef IPC_IPC_SERVER_SNIPPING_TOOL_AGENT_SERVICE_HOST_H_
#define IPC_IPC_SERVER_SNIPPING_TOOL_AGENT_SERVICE_HOST_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "ipc/ipc_server/delegate_gate.h"
#include "ipc/ipc_server/shot_lifecycle.h"
#include "ipc/ipc_server/snipping_tool_process.h"
#include "ipc_core/service.h"
#include "ipc_core/service_host.h"
#include "platform/file_path.h"
#include "snipping_tool/snipping_tool_agent.h"

namespace snipping_tool {

// Why a shot stopped.
enum SnippingShotFailureReason : int32_t {
  kStartProcess = 1,
  kHandshakeTimeout = 2,
  kPortTimeout = 3,
  kIpcInvoke = 4,
  kIpcDisconnected = 5,
  kPortFailure = 6,
};

// The name used in logs and analytics events ("handeshake_timeout", ...);
// "unknown" outside 1 to 6.
const char* SnippingShotFailureReasonName(int32_t reason);

// The service's name and the methods the agent offers and invokes.
extern const char kAgentServiceName[];
extern const char kMethodHandshake[];
extern const char kMethodNotify[];
extern const char kMethodBILog[];
extern const char kMethodSetConfig[];
extern const char kMethodShowVipWnd[];
extern const char kMethodShowSelectUserWnd[];
extern const char kMethodNotifyRecordStarted[];
extern const char kMethodNotifyRecordFinished[];
extern const char kMethodRequestAI[];
extern const char kToolMethodShot[];
extern const char kToolMethodResponseAI[];
extern const char kToolMethodOnSelectUserWndHide[];

class SnippingToolAgentServiceHost : public ISnippingToolAgent,
                                     public ipc_core::IServiceHostObserver,
                                     public ipc_core::SimpleService {
 public:
  using Ref = ipc_core::ipc_core_refptr<SnippingToolAgentServiceHost>;
  using FeatureRef = ipc_core::ipc_core_refptr<ipc_core::IRequestFeature>;

  // A reference that does not keep the object alive. Lock() gives a counted
  // reference while the object lives and no destruction has begun.
  class WeakRef {
   public:
    WeakRef() = default;
    Ref Lock() const;

   private:
    friend class SnippingToolAgentServiceHost;
    struct Anchor;
    explicit WeakRef(std::shared_ptr<Anchor> anchor) : anchor_(std::move(anchor)) {}
    std::shared_ptr<Anchor> anchor_;
  };

  SnippingToolAgentServiceHost();
  SnippingToolAgentServiceHost(const SnippingToolAgentServiceHost&) = delete;
  SnippingToolAgentServiceHost& operator=(const SnippingToolAgentServiceHost&) = delete;

  // ISnippingToolAgent, IServiceHostObserver and SimpleService share one
  // reference count.
  void AddRef() override;
  void Release() override;
  ~SnippingToolAgentServiceHost() override;

  // ISnippingToolAgent.
  void Init(const SnippingToolConfig& config, ISnippingToolAgentDelegate* delegate,
            bool use_screen_tool) override;
  void Uninit() override;
  void SnippingShot(const std::string& image_save_path,
                    const std::function<void(const NotifySnippingShot&)>& on_success,
                    const std::function<void()>& on_failure, int screen_shot_type,
                    const AIScreenShotRequest& ai_screen_shot_request) override;
  bool IsBroken() override;
  void SetBroken(bool broken) override;
  void OnSelectUserWndHide(bool exit_screen_tool) override;
  void SetIsDarkTheme(bool is_dark_theme) override;
  void SetVipStatus(int vip_status) override;
  void SetGraySwitch(const std::string& name, bool value) override;
  void TerminateSnippingTool() override;
  void SetRecordStartedCallback(const std::function<void()>& callback) override;
  void SetRecordFinishedCallback(const std::function<void()>& callback) override;

  // IServiceHostObserver.
  void OnServiceHostInit(ipc_core::IServiceHost* host) override;
  void OnServiceHostStartSuccess(ipc_core::IServiceHost* host, int32_t port) override;
  void OnServiceHostStartFailure(ipc_core::IServiceHost* host, int32_t error_code) override;
  void OnServiceHostStoped(ipc_core::IServiceHost* host) override;
  void OnServiceInvokerConnected(ipc_core::IServiceHost* host, int32_t connection_id) override;
  void OnServiceInvokerDisconnected(ipc_core::IServiceHost* host, int32_t connection_id) override;

  // SimpleService: dispatches with a counted reference held, so a handler
  // that drops the last other reference does not destroy the object while
  // the dispatch is still running in it.
  bool HandleRequest(const char* method, const char* payload,
                     ipc_core::IRequestFeature* feature) override;

  // Sends the host's answer to a screen-AI request to the tool that asked,
  // the one on |connection_id| (0: the tool connected now). When that tool is
  // gone the answer fails at once and never reaches a later tool.
  void ResponseAIResult(const ResponseAISnippingShot& response, int32_t connection_id = 0);

  WeakRef GetWeakRef() const { return WeakRef(anchor_); }

  // Read-only views for tests and diagnostics.
  bool is_snipping_working() const { return is_snipping_working_.load(); }
  bool process_handshake_successed() const { return process_handshake_successed_.load(); }
  bool host_prepared() const { return host_prepared_.load(); }
  uint32_t port_number() const { return port_number_.load(); }
  uint32_t ipc_invoke_timeout() const { return IPCInvokeTimeout; }
  uint32_t process_handshake_timeout() const { return ProcessHandshakeTimeout; }
  uint32_t ipc_prepare_port_timeout() const { return IPCPreparePortTimeout; }
  int32_t screen_shot_type() const;
  std::map<std::string, bool> grays() const;
  bool IsToolProcessValid() { return tool_process_.IsValid(); }
  int32_t ref_count_for_testing() const { return ref_count_.load(); }

 private:
  using TaskMethod = void (SnippingToolAgentServiceHost::*)();
  using Cause = ShotLifecycle::Cause;

  // What a shot's outcome hands to its UI half: the shot and its callables,
  // taken from their members in the step that decided the outcome.
  struct ShotTicket {
    uint64_t shot = 0;
    std::function<void(const NotifySnippingShot&)> success;
    std::function<void()> failure;
  };
  // Claims the running shot's outcome and takes its callables; an empty
  // ticket when no shot runs or its outcome is claimed. Under
  // |settings_lock_|.
  ShotTicket ClaimShotLocked();
  // Whether a request from |request|'s connection passes the handshake gate.
  enum class Gate { kPass, kNotHandshaken, kStale };

  // A counted reference unless destruction has begun (then null).
  Ref StrongSelf();
  bool TryAddRef();
  // The host's delegate for one call; empty after Uninit.
  DelegateGate::Use delegate() { return delegate_.Acquire(); }
  ipc_core::IServiceHost* service_host() const { return service_host_.load(); }
  // Posts |task| to the host's UI thread holding a counted reference; false
  // when there is no delegate (or destruction has begun).
  bool PostToUI(std::function<void(SnippingToolAgentServiceHost*)> task, uint32_t delay_ms);

  // Registration of the nine request handlers.
  void InitServices();
  void InitTimeoutConfig(const std::map<std::string, std::string>& extras);

  // The shot start.
  void SnippingShotInternal();
  void PrepareHost();
  void WaitPortReady();
  // |shot| is the shot that armed the wait.
  void OnWaitPortReadyTimeout(uint64_t shot);
  void PrepareSnippingTool();
  void WaitHandleshakeAndStopSnippingIfNeed();
  // |shot| and |launch| are those the wait was armed for.
  void OnWaitHandleshakeTimeout(uint64_t shot, uint64_t launch);
  void OnHandleshake(const std::string& payload, const FeatureRef& request);
  // |connection_id| is the connection that handshook.
  void OnHandleshakeSuccess(int32_t connection_id);

  // The shot invoke, failure and stop.
  void StartSnippingShot();
  // |shot| is the shot whose request failed.
  void OnIPCException(uint64_t shot);
  // The one stop path. It acts only while |cause| is current; otherwise the
  // event named |operation| is stale and only logs so.
  void StopSnippingShot(int32_t reason, bool broken, const Cause& cause, const char* operation);
  // |ticket| holds the stopped shot's callables, if the stop claimed them.
  void StopSnippingShot_UI(int32_t reason, const std::shared_ptr<ShotTicket>& ticket);
  // Logs that the event named |operation| is no longer current.
  static void LogStale(const char* operation, uint64_t shot, uint64_t launch,
                       int32_t connection_id);

  // Notifications and requests of the tool.
  // The gate of the requests that count only from a handshaken tool:
  // replies and gives true once the tool has handshaken, else does nothing.
  // With |answered_is_enough|, a request of the live connection whose
  // handshake has been answered passes too, before the UI thread has seen
  // that handshake: a tool may notify as soon as it has the answer.
  // Logs the stale line itself.
  Gate AcceptAfterHandshake(const FeatureRef& request, bool answered_is_enough,
                            const char* operation);
  void OnNotifySnippintShotResult(const std::string& payload, const FeatureRef& request);
  void OnNotifySnippintShotResult_UI(const NotifySnippingShot& result,
                                     const std::shared_ptr<ShotTicket>& ticket);
  void OnNotifyRecordStarted(const std::string& payload, const FeatureRef& request);
  void OnNotifyRecordStarted_UI();
  void OnNotifyRecordFinished(const std::string& payload, const FeatureRef& request);
  void OnNotifyRecordFinished_UI();
  // Shared by the two recording notices: the reply and the posted UI half,
  // and, on the UI thread, the registered callable (copied under the lock).
  void AcknowledgeRecordNotice(const FeatureRef& request, TaskMethod ui_half);
  void RunRecordCallback(const std::function<void()>& member, const char* operation,
                         const char* label);
  void OnBILog(const std::string& payload, const FeatureRef& request);
  void OnSetSnippingToolConfig(const std::string& payload, const FeatureRef& request);
  void OnShowVipWnd(const std::string& payload, const FeatureRef& request);
  void ShowSelectUserWnd(const std::string& payload, const FeatureRef& request);
  void OnNotifyRequestAI(const std::string& payload, const FeatureRef& request);

  std::atomic<int32_t> ref_count_{0};
  std::shared_ptr<WeakRef::Anchor> anchor_;

  std::atomic<bool> initialized_{false};
  std::atomic<bool> host_prepared_{false};
  std::atomic<bool> process_handshake_successed_{false};
  std::atomic<uint32_t> port_number_{0};
  // Set once by PrepareHost and released by the destructor; holds one
  // reference of the runtime's service host.
  std::atomic<ipc_core::IServiceHost*> service_host_{nullptr};

  // Only the destructor waits on these, for OnServiceHostStoped.
  std::mutex stop_mutex_;
  std::condition_variable stop_condition_;
  bool stopped_ = false;

  std::atomic<bool> is_broken_{false};
  SnippingToolProcess tool_process_;
  DelegateGate delegate_;
  SnippingToolConfig config_;
  std::atomic<bool> is_snipping_working_{false};

  // Guards the plain settings below and |lifecycle_|; every decision of an
  // event and the flag changes it makes happen in one hold of it. Never held
  // while calling the delegate, a callable, the runtime or the tool process.
  mutable std::mutex settings_lock_;
  ShotLifecycle lifecycle_;
  std::function<void(const NotifySnippingShot&)> once_success_cb_;
  std::function<void()> once_failure_cb_;
  std::function<void()> record_start_cb_;
  std::function<void()> record_finished_cb_;
  base::FilePath image_save_path_;

  uint32_t IPCInvokeTimeout = 0;
  uint32_t ProcessHandshakeTimeout = 0;
  uint32_t IPCPreparePortTimeout = 0;
  bool use_screen_tool_ = false;

  int32_t screen_shot_type_ = 4;
  AIScreenShotRequest ai_screen_shot_request_;
  bool is_dark_theme_ = false;
  int32_t vip_status_ = 0;
  std::map<std::string, bool> grays_;
};

}  // namespace snipping_tool

#endif  // IPC_IPC_SERVER_SNIPPING_TOOL_AGENT_SERVICE_HOST_H_
