#include "ipc/ipc_server/snipping_tool_agent_service_host.h"

#include <utility>

#include "ipc/ipc_server/timeout_config.h"
#include "ipc_core/request_context.h"
#include "payloads/json_payloads.h"
#include "platform/logging.h"
#include "platform/service_manager.h"

namespace snipping_tool {

const char kAgentServiceName[] = "snipping_tool_agent";
const char kMethodHandshake[] = "snipping_tool_agent.snipping.handshake";
const char kMethodNotify[] = "snipping_tool_agent.snipping.notify";
const char kMethodBILog[] = "snipping_tool_agent.snipping.bilog";
const char kMethodSetConfig[] = "snipping_tool_agent.snipping.set_config";
const char kMethodShowVipWnd[] = "snipping_tool_agent.snipping.show_vip_wnd";
const char kMethodShowSelectUserWnd[] = "snipping_tool_agent.snipping.show_select_user_wnd";
const char kMethodNotifyRecordStarted[] = "snipping_tool_agent.snipping.notify_record_started";
const char kMethodNotifyRecordFinished[] = "snipping_tool_agent.snipping.notify_record_finished";
const char kMethodRequestAI[] = "snipping_tool_agent.snipping.request_ai";
const char kToolMethodShot[] = "snipping_tool.snipping.shot";
const char kToolMethodResponseAI[] = "snipping_tool.snipping.response_ai";
const char kToolMethodOnSelectUserWndHide[] = "snipping_tool.snipping.on_select_user_wnd_hide";

namespace {

constexpr char kLogPrefix[] = "[SnippingToolAgent] ";
constexpr char kScreenAIPrefix[] = "[screen_ai] ";

constexpr char kHostName[] = "quillo_service_host";
constexpr char kAppName[] = "quillo";

// The IPC identity of the service host, chosen by the tool generation.
struct HostIdentity {
  const char* identity;
  int32_t first;
  int32_t second;
};
constexpr HostIdentity kScreenToolIdentity = {"{5B1C7E24-0D3A-4F68-9C27-3E8B1A6D4F90}", 66666,
                                              56805};
constexpr HostIdentity kClassicToolIdentity = {"{71D0A9C3-4E2B-4B85-8F16-C2A7D93E0B54}", 33333,
                                               56704};

constexpr char kDowngradeSwitch[] = "diable_screen_tool_downgrade";
constexpr char kEventScreenToolStart[] = "screen_tool_start_new";
constexpr char kEventScreenToolFinish[] = "screen_tool_finish_new";
constexpr char kEventShotBrokenPrefix[] = "pc_snipping_shot_broken_";

// The answer callbacks of ResponseAIResult log under their own names; spelt
// out so that every compiler writes the same text.
constexpr char kResponseAISuccessName[] =
    "snipping_tool::SnippingToolAgentServiceHost::ResponseAIResult::<lambda_1>::operator ()";
constexpr char kResponseAIFailureName[] =
    "snipping_tool::SnippingToolAgentServiceHost::ResponseAIResult::<lambda_2>::operator ()";

}  // namespace

const char* SnippingShotFailureReasonName(int32_t reason) {
  switch (reason) {
    case kStartProcess:
      return "start_process";
    case kHandshakeTimeout:
      return "handeshake_timeout";
    case kPortTimeout:
      return "port_timeout";
    case kIpcInvoke:
      return "ipc_invoke";
    case kIpcDisconnected:
      return "ipc_disconneted";
    case kPortFailure:
      return "port_failure";
    default:
      return "unknown";
  }
}

// The weak side of the object: a pointer that the destructor clears, under a
// lock, before anything of the object is torn down.
struct SnippingToolAgentServiceHost::WeakRef::Anchor {
  std::mutex lock;
  SnippingToolAgentServiceHost* object = nullptr;
};

SnippingToolAgentServiceHost::Ref SnippingToolAgentServiceHost::WeakRef::Lock() const {
  if (!anchor_)
    return Ref();
  std::lock_guard<std::mutex> guard(anchor_->lock);
  if (!anchor_->object || !anchor_->object->TryAddRef())
    return Ref();
  return Ref::Adopt(anchor_->object);
}

SnippingToolAgentServiceHost::SnippingToolAgentServiceHost()
    : ipc_core::SimpleService(kAgentServiceName),
      anchor_(std::make_shared<WeakRef::Anchor>()) {
  anchor_->object = this;
  InitServices();
}

void SnippingToolAgentServiceHost::AddRef() {
  ref_count_.fetch_add(1, std::memory_order_relaxed);
}

void SnippingToolAgentServiceHost::Release() {
  if (ref_count_.fetch_sub(1, std::memory_order_acq_rel) == 1)
    delete this;
}

bool SnippingToolAgentServiceHost::TryAddRef() {
  int32_t count = ref_count_.load(std::memory_order_relaxed);
  while (count > 0) {
    if (ref_count_.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel))
      return true;
  }
  return false;
}

SnippingToolAgentServiceHost::Ref SnippingToolAgentServiceHost::StrongSelf() {
  return TryAddRef() ? Ref::Adopt(this) : Ref();
}

SnippingToolAgentServiceHost::~SnippingToolAgentServiceHost() {
  {
    // From here on no weak reference can be turned into a counted one.
    std::lock_guard<std::mutex> guard(anchor_->lock);
    anchor_->object = nullptr;
  }
  LOG(INFO) << kLogPrefix << "WaitForStop start";
  if (ipc_core::IServiceHost* host = service_host()) {
    host->Stop();
    ipc_core::DestroyServiceHost(host);
    // OnServiceHostStoped may already have arrived, even inside Stop: the
    // flag is set under the mutex, so the wait cannot miss it.
    std::unique_lock<std::mutex> lock(stop_mutex_);
    stop_condition_.wait(lock, [this] { return stopped_; });
    service_host_.store(nullptr);
    host->Release();
  }
  LOG(INFO) << kLogPrefix << "WaitForStop end";
}

bool SnippingToolAgentServiceHost::PostToUI(
    std::function<void(SnippingToolAgentServiceHost*)> task, uint32_t delay_ms) {
  auto host_delegate = delegate();
  if (!host_delegate)
    return false;
  Ref self = StrongSelf();
  if (!self)
    return false;
  host_delegate->PostTask([self, task = std::move(task)] { task(self.get()); }, delay_ms);
  return true;
}

// ---------------------------------------------------------------------------
// Registration and the simple operations.

void SnippingToolAgentServiceHost::InitServices() {
  LOG(INFO) << kLogPrefix << "InitServices";
  using Handler = void (SnippingToolAgentServiceHost::*)(const std::string&, const FeatureRef&);
  static const struct {
    const char* method;
    Handler handler;
  } kHandlers[] = {
      {kMethodHandshake, &SnippingToolAgentServiceHost::OnHandleshake},
      {kMethodNotify, &SnippingToolAgentServiceHost::OnNotifySnippintShotResult},
      {kMethodBILog, &SnippingToolAgentServiceHost::OnBILog},
      {kMethodSetConfig, &SnippingToolAgentServiceHost::OnSetSnippingToolConfig},
      {kMethodShowVipWnd, &SnippingToolAgentServiceHost::OnShowVipWnd},
      {kMethodShowSelectUserWnd, &SnippingToolAgentServiceHost::ShowSelectUserWnd},
      {kMethodNotifyRecordStarted, &SnippingToolAgentServiceHost::OnNotifyRecordStarted},
      {kMethodNotifyRecordFinished, &SnippingToolAgentServiceHost::OnNotifyRecordFinished},
      {kMethodRequestAI, &SnippingToolAgentServiceHost::OnNotifyRequestAI},
  };
  for (const auto& entry : kHandlers) {
    // A weak reference: the table lives in this object, so a counted one
    // would keep the object alive forever.
    RegisterRequestHandler(entry.method, [weak = GetWeakRef(), handler = entry.handler](
                                             const std::string& payload, FeatureRef feature) {
      if (Ref self = weak.Lock())
        (self.get()->*handler)(payload, feature);
    });
  }
}

bool SnippingToolAgentServiceHost::HandleRequest(const char* method, const char* payload,
                                                 ipc_core::IRequestFeature* feature) {
  Ref self = StrongSelf();
  if (!self)
    return false;
  return SimpleService::HandleRequest(method, payload, feature);
}

void SnippingToolAgentServiceHost::Init(const SnippingToolConfig& config,
                                        ISnippingToolAgentDelegate* host_delegate,
                                        bool use_screen_tool) {
  LOG(INFO) << kLogPrefix << "SnippingShot Init";
  if (initialized_.exchange(true))
    return;
  config_ = config;
  delegate_.Open(host_delegate);
  InitTimeoutConfig(config_.extras);
  use_screen_tool_ = use_screen_tool;
  tool_process_.SetPrepareLaunches(true);
}

void SnippingToolAgentServiceHost::InitTimeoutConfig(
    const std::map<std::string, std::string>& extras) {
  const TimeoutConfig timeouts = ComputeTimeoutConfig(extras);
  IPCInvokeTimeout = timeouts.IPCInvokeTimeout;
  ProcessHandshakeTimeout = timeouts.ProcessHandshakeTimeout;
  IPCPreparePortTimeout = timeouts.IPCPreparePortTimeout;
}

void SnippingToolAgentServiceHost::Uninit() {
  {
    std::lock_guard<std::mutex> guard(settings_lock_);
    initialized_.exchange(false);
    is_broken_.exchange(true);
    process_handshake_successed_.exchange(false);
    lifecycle_.EndLaunch();
  }
  // The host may destroy its delegate once Uninit returns: the calls under
  // way on the runtime's threads end first.
  delegate_.Close();
  tool_process_.SetPrepareLaunches(false);
  tool_process_.ResetStatus();
  tool_process_.CancelExitWait();
}

bool SnippingToolAgentServiceHost::IsBroken() {
  return is_broken_.load();
}

void SnippingToolAgentServiceHost::SetBroken(bool broken) {
  is_broken_.exchange(broken);
}

void SnippingToolAgentServiceHost::SetIsDarkTheme(bool is_dark_theme) {
  std::lock_guard<std::mutex> guard(settings_lock_);
  is_dark_theme_ = is_dark_theme;
}

void SnippingToolAgentServiceHost::SetVipStatus(int vip_status) {
  std::lock_guard<std::mutex> guard(settings_lock_);
  vip_status_ = vip_status;
}

void SnippingToolAgentServiceHost::SetGraySwitch(const std::string& name, bool value) {
  std::lock_guard<std::mutex> guard(settings_lock_);
  grays_[name] = value;
}

void SnippingToolAgentServiceHost::SetRecordStartedCallback(const std::function<void()>& callback) {
  std::lock_guard<std::mutex> guard(settings_lock_);
  record_start_cb_ = callback;
}

void SnippingToolAgentServiceHost::SetRecordFinishedCallback(
    const std::function<void()>& callback) {
  std::lock_guard<std::mutex> guard(settings_lock_);
  record_finished_cb_ = callback;
}

int32_t SnippingToolAgentServiceHost::screen_shot_type() const {
  std::lock_guard<std::mutex> guard(settings_lock_);
  return screen_shot_type_;
}

std::map<std::string, bool> SnippingToolAgentServiceHost::grays() const {
  std::lock_guard<std::mutex> guard(settings_lock_);
  return grays_;
}

// ---------------------------------------------------------------------------
// Observer events of the IPC service host.

void SnippingToolAgentServiceHost::OnServiceHostInit(ipc_core::IServiceHost*) {
  LOG(INFO) << kLogPrefix << "OnServiceHostInit";
}

void SnippingToolAgentServiceHost::OnServiceHostStartSuccess(ipc_core::IServiceHost*,
                                                             int32_t port) {
  LOG(INFO) << kLogPrefix << "OnServiceHostStartSuccess" << " port:" << port;
  port_number_.store(static_cast<uint32_t>(port));
  SnippingShotInternal();
}

void SnippingToolAgentServiceHost::OnServiceHostStartFailure(ipc_core::IServiceHost*,
                                                             int32_t error_code) {
  LOG(ERROR) << kLogPrefix << "OnServiceHostStartFailure" << " error_code:" << error_code;
  // The host is started for the shot that needs it; with no shot running
  // the failure breaks nothing (the next shot finds no port and bounds its
  // wait for one).
  Cause cause;
  cause.shot = ShotLifecycle::kRunningShot;
  StopSnippingShot(kPortFailure, true, cause, "OnServiceHostStartFailure");
}

void SnippingToolAgentServiceHost::OnServiceHostStoped(ipc_core::IServiceHost*) {
  LOG(INFO) << kLogPrefix << "OnServiceHostStoped";
  std::lock_guard<std::mutex> lock(stop_mutex_);
  stopped_ = true;
  stop_condition_.notify_all();
}

void SnippingToolAgentServiceHost::OnServiceInvokerConnected(ipc_core::IServiceHost* host,
                                                             int32_t connection_id) {
  LOG(INFO) << kLogPrefix << "OnServiceInvokerConnected" << " connection_id:" << connection_id;
  // The secret the tool presented names its launch: a tool of an earlier
  // launch that got in late is not the tool the agent now waits for.
  const uint64_t launch = host ? host->GetConnectionTag(connection_id) : 0;
  bool current;
  {
    std::lock_guard<std::mutex> guard(settings_lock_);
    current = lifecycle_.Connect(connection_id, launch);
  }
  if (!current)
    LogStale("OnServiceInvokerConnected", 0, launch, connection_id);
}

void SnippingToolAgentServiceHost::OnServiceInvokerDisconnected(ipc_core::IServiceHost*,
                                                                int32_t connection_id) {
  LOG(WARNING) << kLogPrefix << "OnServiceInvokerDisconnected"
               << " connection_id:" << connection_id;
  // Only the end of the current launch's tool ends anything: a tool that a
  // stop or TerminateSnippingTool already ended, or one of an earlier
  // launch, is not the running shot's.
  Cause cause;
  cause.connection = connection_id;
  StopSnippingShot(kIpcDisconnected, false, cause, "OnServiceInvokerDisconnected");
}

// ---------------------------------------------------------------------------
// The shot start.

void SnippingToolAgentServiceHost::SnippingShot(
    const std::string& image_save_path,
    const std::function<void(const NotifySnippingShot&)>& on_success,
    const std::function<void()>& on_failure, int screen_shot_type,
    const AIScreenShotRequest& ai_screen_shot_request) {
  LOG(INFO) << kLogPrefix << "SnippingShot" << " image_save_path:" << image_save_path
            << " is_snipping_working:" << is_snipping_working_.load();
  {
    // The shot and its callables become current together: a stop on another
    // thread either ends the shot before (then this one starts) or after it
    // has its callables (then it takes them).
    std::lock_guard<std::mutex> guard(settings_lock_);
    if (is_snipping_working_.exchange(true))
      return;  // The running shot keeps its own request and callables.
    once_success_cb_ = on_success;
    once_failure_cb_ = on_failure;
    image_save_path_ = base::FilePath::FromUTF8Unsafe(image_save_path);
    screen_shot_type_ = screen_shot_type;
    ai_screen_shot_request_ = ai_screen_shot_request;
    lifecycle_.StartShot();
  }
  SnippingShotInternal();
}

void SnippingToolAgentServiceHost::SnippingShotInternal() {
  if (!process_handshake_successed_.load())
    LOG(INFO) << kLogPrefix << "SnippingShotInternal" << " port_number:" << port_number_.load();
  if (!is_snipping_working_.load()) {
    LOG(WARNING) << kLogPrefix << "SnippingShotInternal not working";
    return;
  }
  if (!host_prepared_.exchange(true)) {
    PrepareHost();
    return;
  }
  if (!process_handshake_successed_.load()) {
    PrepareSnippingTool();
    return;
  }
  if (kvbase::GetGraySwitch(kDowngradeSwitch) && !tool_process_.IsValid()) {
    LOG(INFO) << kLogPrefix << "Process is invalid, restart";
    PrepareSnippingTool();
  }
  StartSnippingShot();
}

void SnippingToolAgentServiceHost::PrepareHost() {
  LOG(INFO) << kLogPrefix << "PrepareHost";
  if (ipc_core::IServiceHost* previous = service_host_.exchange(nullptr))
    previous->Release();
  const HostIdentity& id = use_screen_tool_ ? kScreenToolIdentity : kClassicToolIdentity;
  ipc_core::IServiceHost* host = nullptr;
  ipc_core::CreateServiceHost(kHostName, kAppName, id.identity, id.first, id.second,
                              static_cast<ipc_core::IServiceHostObserver*>(this), &host);
  if (!host) {
    // Without a service host no tool can ever connect: fail the shot now
    // rather than wait for nothing.
    LOG(ERROR) << kLogPrefix << "PrepareHost CreateServiceHost failed";
    Cause cause;
    cause.shot = ShotLifecycle::kRunningShot;
    StopSnippingShot(kPortFailure, true, cause, "PrepareHost");
    return;
  }
  service_host_.store(host);
  host->RegisterService(static_cast<ipc_core::SimpleService*>(this));
  host->Start();
  WaitPortReady();
}

void SnippingToolAgentServiceHost::WaitPortReady() {
  LOG(INFO) << kLogPrefix << "WaitPortReady";
  uint64_t shot;
  {
    std::lock_guard<std::mutex> guard(settings_lock_);
    shot = lifecycle_.running_shot();
  }
  PostToUI([shot](SnippingToolAgentServiceHost* self) { self->OnWaitPortReadyTimeout(shot); },
           IPCPreparePortTimeout);
}

void SnippingToolAgentServiceHost::OnWaitPortReadyTimeout(uint64_t shot) {
  const uint32_t port = port_number_.load();
  const bool handshaken = process_handshake_successed_.load();
  LOG(WARNING) << kLogPrefix << "OnWaitPortReadyTimeout" << " port_number:" << port
               << " process_handleshake_successed:" << handshaken;
  if (port != 0 || handshaken)
    return;
  // Only the shot that armed the wait may be stopped by it: an idle agent,
  // or a later shot with a wait of its own, is not broken by an old clock.
  Cause cause;
  cause.shot = shot;
  StopSnippingShot(kPortTimeout, true, cause, "OnWaitPortReadyTimeout");
}

void SnippingToolAgentServiceHost::PrepareSnippingTool() {
  LOG(INFO) << kLogPrefix << "PrepareSnippingTool";
  const uint32_t port = port_number_.load();
  if (port == 0) {
    // The service host exists but has not reported a port (it failed to
    // start, or is still starting): bound the wait, or the shot would hang.
    WaitPortReady();
    return;
  }
  uint64_t shot;
  uint64_t keep_launch;
  {
    std::lock_guard<std::mutex> guard(settings_lock_);
    shot = lifecycle_.running_shot();
    keep_launch = lifecycle_.launch();
  }
  // A new one-time secret for each launch, tagged with the launch number:
  // only the tool started here can complete the opening exchange, and its
  // connection names its launch.
  uint64_t launched = 0;
  bool launch_stale = false;
  auto make_peer_secret = [this, shot, &launched, &launch_stale](uint64_t launch) -> std::string {
    std::string secret = ipc_core::GeneratePeerSecret();
    if (ipc_core::IServiceHost* host = service_host())
      host->AddPeerSecret(secret.c_str(), launch);
    std::lock_guard<std::mutex> guard(settings_lock_);
    launched = launch;
    // A stop (the old tool's disconnect, say) may have ended the shot while
    // this launch waited for the tool process: a launch for no shot must not
    // become current, or its handshake wait would break an idle agent.
    launch_stale = !lifecycle_.IsRunningShot(shot);
    if (!launch_stale)
      lifecycle_.StartLaunch(launch);
    return secret;
  };
  const bool started = tool_process_.StartProcessIfNeed(config_, port, use_screen_tool_,
                                                        make_peer_secret, keep_launch);
  if (launch_stale) {
    LogStale("PrepareSnippingTool", shot, launched, 0);
    tool_process_.ResetStatus(launched);
    tool_process_.CancelExitWait(launched);
    return;
  }
  if (started) {
    WaitHandleshakeAndStopSnippingIfNeed();
    return;
  }
  Cause cause;
  cause.shot = shot;
  cause.launch = launched;
  StopSnippingShot(kStartProcess, true, cause, "PrepareSnippingTool");
}

void SnippingToolAgentServiceHost::WaitHandleshakeAndStopSnippingIfNeed() {
  LOG(INFO) << kLogPrefix << "WaitHandleshakeAndStopSnippingIfNeed";
  uint64_t shot;
  uint64_t launch;
  {
    std::lock_guard<std::mutex> guard(settings_lock_);
    shot = lifecycle_.running_shot();
    launch = lifecycle_.launch();
  }
  PostToUI([shot, launch](SnippingToolAgentServiceHost* self) {
    self->OnWaitHandleshakeTimeout(shot, launch);
  }, ProcessHandshakeTimeout);
}

void SnippingToolAgentServiceHost::OnWaitHandleshakeTimeout(uint64_t shot, uint64_t launch) {
  const bool handshaken = process_handshake_successed_.load();
  LOG(WARNING) << kLogPrefix << "OnWaitHandleshakeTimeout"
               << " process_handleshake_successed:" << handshaken;
  // The wait belongs to one launch: it stops the shot only while that launch
  // is current and has not handshaken. A tool that handshook and ended, or
  // an earlier launch's wait, leaves a later attempt (and an idle agent)
  // alone; a restarted tool is judged by its own handshake, not by the flag
  // its predecessor left.
  Cause cause;
  cause.shot = shot;
  cause.launch = launch;
  cause.before_handshake = true;
  StopSnippingShot(kHandshakeTimeout, true, cause, "OnWaitHandleshakeTimeout");
}

void SnippingToolAgentServiceHost::OnHandleshake(const std::string&, const FeatureRef& request) {
  LOG(INFO) << kLogPrefix << "OnHandleshake";
  int32_t connection_id = 0;
  if (request) {
    connection_id = request->GetConnectionId();
    {
      std::lock_guard<std::mutex> guard(settings_lock_);
      lifecycle_.AnswerHandshake(connection_id);
    }
    request->Reply("");
  }
  PostToUI([connection_id](SnippingToolAgentServiceHost* self) {
    self->OnHandleshakeSuccess(connection_id);
  }, 0);
}

void SnippingToolAgentServiceHost::OnHandleshakeSuccess(int32_t connection_id) {
  const bool broken = is_broken_.load();
  LOG(INFO) << kLogPrefix << "OnHandleshakeSuccess" << " is_broken:" << broken;
  if (broken)
    return;
  bool current;
  {
    // A tool that has gone since (its stop has run), or one of an earlier
    // launch: marking it handshaken would send later shots to nobody.
    std::lock_guard<std::mutex> guard(settings_lock_);
    current = lifecycle_.CompleteHandshake(connection_id);
    if (current)
      process_handshake_successed_.exchange(true);
  }
  if (!current) {
    LogStale("OnHandleshakeSuccess", 0, 0, connection_id);
    return;
  }
  StartSnippingShot();
}

// ---------------------------------------------------------------------------
// The shot invoke, failure and stop.

void SnippingToolAgentServiceHost::StartSnippingShot() {
  LOG(INFO) << kLogPrefix << ", process_handshake_successed_: "
            << process_handshake_successed_.load();
  const bool broken = is_broken_.load();
  const bool working = is_snipping_working_.load();
  if (broken || !working) {
    LOG(ERROR) << kLogPrefix << "StartSnippingShot invalid status" << " is_broken:" << broken
               << "is_snipping_working:" << working;
    return;
  }
  Ref self = StrongSelf();
  if (!self)
    return;
  RequestSnippingShot request;
  uint64_t shot;
  {
    std::lock_guard<std::mutex> guard(settings_lock_);
    shot = lifecycle_.running_shot();
    lifecycle_.MarkShotEmitted();
    request.image_save_path = image_save_path_.AsUTF8Unsafe();
    request.screen_shot_type = screen_shot_type_;
    request.is_dark_theme = is_dark_theme_;
    request.grays = grays_;
    request.vip_status = vip_status_;
    request.ai_screen_shot_request = ai_screen_shot_request_;
  }
  ipc_core::ipc_core_refptr<ipc_core::RequestHandlerWithString> handler(
      new ipc_core::RequestHandlerWithString(
          [self](std::string) { LOG(INFO) << kLogPrefix << "StartSnippingShot ack"; },
          [self, shot](const ipc_core::ErrorResult& error) {
            LOG(ERROR) << kLogPrefix << "StartSnippingShot failure" << " error:"
                       << error.ToString();
            if (error.code == ipc_core::kErrorConnectionLost) {
              // The tool went away with the request: that is the tool's end,
              // which its disconnect (or, for a tool not yet handshaken, its
              // handshake wait) reports on its own.
              LOG(INFO) << kLogPrefix << "StartSnippingShot failure left to the disconnect";
              return;
            }
            self->OnIPCException(shot);
          }));
  handler->set_timeout(static_cast<int32_t>(IPCInvokeTimeout));
  const std::string payload = JsonClassToStr(request);
  if (ipc_core::IServiceHost* host = service_host())
    host->Invoke(kToolMethodShot, payload.c_str(), handler.get());
  else
    handler->OnError(ipc_core::kErrorNotStarted, "no service host");
  LOG(INFO) << kLogPrefix << "StartSnippingShot emit";
  if (use_screen_tool_) {
    if (auto host_delegate = delegate())
      host_delegate->ReportBIEvent(kEventScreenToolStart);
  }
}

void SnippingToolAgentServiceHost::OnIPCException(uint64_t shot) {
  LOG(ERROR) << kLogPrefix << "OnIPCException failure";
  // Only the shot the request was sent for: a request of a shot that a stop,
  // TerminateSnippingTool or a result has ended fails nothing later.
  Cause cause;
  cause.shot = shot;
  StopSnippingShot(kIpcInvoke, true, cause, "OnIPCException");
}

SnippingToolAgentServiceHost::ShotTicket SnippingToolAgentServiceHost::ClaimShotLocked() {
  ShotTicket ticket;
  ticket.shot = lifecycle_.ClaimShot();
  if (ticket.shot != 0) {
    ticket.success = std::move(once_success_cb_);
    once_success_cb_ = nullptr;
    ticket.failure = std::move(once_failure_cb_);
    once_failure_cb_ = nullptr;
  }
  return ticket;
}

void SnippingToolAgentServiceHost::StopSnippingShot(int32_t reason, bool broken,
                                                    const Cause& cause, const char* operation) {
  auto ticket = std::make_shared<ShotTicket>();
  uint64_t ended_launch = 0;
  bool stale = false;
  bool post_ui = false;
  {
    std::lock_guard<std::mutex> guard(settings_lock_);
    stale = !lifecycle_.IsCurrent(cause);
    if (!stale) {
      // A broken state the host set stays as it set it, but the running shot
      // still ends: otherwise its working flag would outlive the tool and
      // every later shot be dropped as already running.
      const bool was_broken = is_broken_.load();
      if (!was_broken)
        is_broken_.exchange(broken);
      process_handshake_successed_.exchange(false);
      is_snipping_working_.exchange(false);
      const uint64_t shot = lifecycle_.running_shot();
      *ticket = ClaimShotLocked();
      lifecycle_.EndShot(shot);
      ended_launch = lifecycle_.EndLaunch();
      post_ui = !was_broken || shot != 0;
    }
  }
  if (stale) {
    LogStale(operation, cause.shot == ShotLifecycle::kRunningShot ? 0 : cause.shot, cause.launch,
             cause.connection);
    return;
  }
  LOG(INFO) << kLogPrefix << "StopSnippingShot" << " reason:" << reason << " broken:" << broken;
  // Only the ended launch's tool: a tool a later shot has started since this
  // stop's decision is left alone.
  tool_process_.ResetStatus(ended_launch);
  tool_process_.CancelExitWait(ended_launch);
  if (post_ui) {
    PostToUI([reason, ticket](SnippingToolAgentServiceHost* self) {
      self->StopSnippingShot_UI(reason, ticket);
    }, 0);
  }
}

void SnippingToolAgentServiceHost::StopSnippingShot_UI(int32_t reason,
                                                       const std::shared_ptr<ShotTicket>& ticket) {
  const char* name = SnippingShotFailureReasonName(reason);
  LOG(INFO) << kLogPrefix << "StopSnippingShot_UI" << " reason:" << name;
  std::function<void()> failure;
  {
    // The stop ended its shot at once, so the host may already have started
    // the next one: that shot keeps its flag, callables and path.
    std::lock_guard<std::mutex> guard(settings_lock_);
    if (lifecycle_.running_shot() == 0)
      image_save_path_.clear();
    failure = std::move(ticket->failure);
    ticket->failure = nullptr;
    ticket->success = nullptr;
  }
  // After Uninit the host hears nothing more of its shots.
  if (!initialized_.load())
    return;
  if (failure)
    failure();
  if (auto host_delegate = delegate())
    host_delegate->ReportBIEvent(std::string(kEventShotBrokenPrefix) + name);
}

void SnippingToolAgentServiceHost::TerminateSnippingTool() {
  LOG(INFO) << kLogPrefix << "[SnippingToolAgentServiceHost] terminate process";
  auto ticket = std::make_shared<ShotTicket>();
  {
    std::lock_guard<std::mutex> guard(settings_lock_);
    is_broken_.exchange(false);
    process_handshake_successed_.exchange(false);
    is_snipping_working_.exchange(false);
    const uint64_t shot = lifecycle_.running_shot();
    *ticket = ClaimShotLocked();
    lifecycle_.EndShot(shot);
    lifecycle_.EndLaunch();
  }
  tool_process_.ResetStatus();
  tool_process_.CancelExitWait();
  // The shot the host gave up on ends here, as a lost tool; its tool's
  // disconnect, which follows, is no longer current.
  if (ticket->shot != 0) {
    PostToUI([ticket](SnippingToolAgentServiceHost* self) {
      self->StopSnippingShot_UI(kIpcDisconnected, ticket);
    }, 0);
  }
}

void SnippingToolAgentServiceHost::LogStale(const char* operation, uint64_t shot, uint64_t launch,
                                            int32_t connection_id) {
  if (!LOG_IS_ON(INFO))
    return;
  std::string fields;
  if (shot)
    fields += " shot:" + std::to_string(shot);
  if (launch)
    fields += " launch:" + std::to_string(launch);
  if (connection_id)
    fields += " connection_id:" + std::to_string(connection_id);
  LOG(INFO) << kLogPrefix << operation << " stale" << fields;
}

// ---------------------------------------------------------------------------
// Notifications of the tool.

SnippingToolAgentServiceHost::Gate SnippingToolAgentServiceHost::AcceptAfterHandshake(
    const FeatureRef& request, bool answered_is_enough, const char* operation) {
  const int32_t connection_id = request ? request->GetConnectionId() : 0;
  bool handshaken = process_handshake_successed_.load();
  bool current;
  {
    std::lock_guard<std::mutex> guard(settings_lock_);
    current = lifecycle_.IsCurrentConnection(connection_id);
    // The handshake's answer is on its way to the tool, or there, while its
    // UI half waits for the host's thread; what the tool sends once it has
    // the answer must not be lost to that wait.
    if (!handshaken && answered_is_enough && !is_broken_.load())
      handshaken = lifecycle_.handshake_answered(connection_id);
  }
  // Before the handshake the gated requests get no reply at all: the tool's
  // invoke ends by its own time-out.
  if (!handshaken)
    return Gate::kNotHandshaken;
  if (!current) {
    // A tool of an earlier launch, still connected: it speaks for no shot.
    LogStale(operation, 0, 0, connection_id);
    return Gate::kStale;
  }
  if (request)
    request->Reply("");
  return Gate::kPass;
}

void SnippingToolAgentServiceHost::OnNotifySnippintShotResult(const std::string& payload,
                                                              const FeatureRef& request) {
  LOG(INFO) << kLogPrefix << "OnNotifySnippintShotResult";
  auto host_delegate = delegate();
  if (use_screen_tool_ && host_delegate)
    host_delegate->ReportBIEvent(kEventScreenToolFinish);
  // A result counts only once the UI thread has seen the handshake: before
  // that no shot can have been sent to this tool.
  if (AcceptAfterHandshake(request, false, "OnNotifySnippintShotResult") != Gate::kPass)
    return;
  NotifySnippingShot result;
  JsonStrToClass(payload, result);  // A malformed result goes on with the defaults.
  if (!host_delegate)
    return;
  // The result decides the running shot's outcome here, where it arrives: a
  // stop that follows (the tool exiting after its result) finds the shot
  // decided, and the next shot's callables are never this result's. A
  // result before the running shot's request went out is an earlier shot's.
  auto ticket = std::make_shared<ShotTicket>();
  {
    std::lock_guard<std::mutex> guard(settings_lock_);
    if (lifecycle_.shot_emitted())
      *ticket = ClaimShotLocked();
  }
  host_delegate->OnSnippingShotResultArrived();
  PostToUI([result, ticket](SnippingToolAgentServiceHost* self) {
    self->OnNotifySnippintShotResult_UI(result, ticket);
  }, 0);
}

void SnippingToolAgentServiceHost::OnNotifySnippintShotResult_UI(
    const NotifySnippingShot& result, const std::shared_ptr<ShotTicket>& ticket) {
  LOG(INFO) << kLogPrefix << "OnNotifySnippintShotResult_UI is_snipping_working:"
            << is_snipping_working_.load()
            << " has_once_success_cb:" << static_cast<bool>(ticket->success);
  if (ticket->shot == 0) {
    // A second result of a shot, or one with no shot behind it.
    LogStale("OnNotifySnippintShotResult_UI", 0, 0, 0);
    return;
  }
  std::function<void(const NotifySnippingShot&)> success;
  {
    std::lock_guard<std::mutex> guard(settings_lock_);
    // A stop may have ended the shot since (the tool exiting after its
    // result), and the host may have started the next one: that one keeps
    // its flag and path.
    if (lifecycle_.IsRunningShot(ticket->shot)) {
      is_snipping_working_.store(false);
      lifecycle_.EndShot(ticket->shot);
      image_save_path_.clear();
    }
    success = std::move(ticket->success);
    ticket->success = nullptr;
    ticket->failure = nullptr;
  }
  // After Uninit the host hears nothing more of its shots. The success
  // callable runs with both callables out of their members, so a host that
  // starts the next shot from inside it keeps that shot's.
  if (success && initialized_.load())
    success(result);
}

void SnippingToolAgentServiceHost::OnNotifyRecordStarted(const std::string&,
                                                         const FeatureRef& request) {
  LOG(INFO) << kLogPrefix << "OnNotifyRecordStarted";
  AcknowledgeRecordNotice(request, &SnippingToolAgentServiceHost::OnNotifyRecordStarted_UI);
}

void SnippingToolAgentServiceHost::OnNotifyRecordStarted_UI() {
  RunRecordCallback(record_start_cb_, "OnNotifyRecordStarted_UI", " has_record_start_cb_:");
}

void SnippingToolAgentServiceHost::OnNotifyRecordFinished(const std::string&,
                                                          const FeatureRef& request) {
  LOG(INFO) << kLogPrefix << "OnNotifyRecordFinished";
  AcknowledgeRecordNotice(request, &SnippingToolAgentServiceHost::OnNotifyRecordFinished_UI);
}

void SnippingToolAgentServiceHost::OnNotifyRecordFinished_UI() {
  RunRecordCallback(record_finished_cb_, "OnNotifyRecordFinished_UI",
                    " has_record_finished_cb_:");
}

void SnippingToolAgentServiceHost::AcknowledgeRecordNotice(const FeatureRef& request,
                                                           TaskMethod ui_half) {
  // Recording notices are not gated by the handshake: a recording may
  // outlive the shot that started it.
  if (request)
    request->Reply("");
  PostToUI([ui_half](SnippingToolAgentServiceHost* self) { (self->*ui_half)(); }, 0);
}

void SnippingToolAgentServiceHost::RunRecordCallback(const std::function<void()>& member,
                                                     const char* operation, const char* label) {
  std::function<void()> callback;
  {
    std::lock_guard<std::mutex> guard(settings_lock_);
    callback = member;
  }
  if (!callback)
    return;
  LOG(INFO) << kLogPrefix << operation << " is_snipping_working:" << is_snipping_working_.load()
            << label << true;
  callback();
}

void SnippingToolAgentServiceHost::OnBILog(const std::string& payload, const FeatureRef& request) {
  LOG(INFO) << kLogPrefix << "OnBILog";
  if (AcceptAfterHandshake(request, true, "OnBILog") != Gate::kPass)
    return;
  BILogPayload record;
  JsonStrToClass(payload, record);
  LOG(INFO) << kLogPrefix << "OnBILog key:" << record.key;
  if (auto host_delegate = delegate())
    host_delegate->ReportBIEvent(record.key);
}

void SnippingToolAgentServiceHost::OnSetSnippingToolConfig(const std::string& payload,
                                                           const FeatureRef& request) {
  LOG(INFO) << kLogPrefix << "OnSetSnippingToolConfig";
  if (AcceptAfterHandshake(request, true, "OnSetSnippingToolConfig") != Gate::kPass)
    return;
  SetConfigPayload record;
  JsonStrToClass(payload, record);
  LOG(INFO) << kLogPrefix << "OnSetSnippingToolConfig config_json:" << record.config_json;
  if (auto host_delegate = delegate())
    host_delegate->ApplySnippingToolConfig(record.config_json);
}

void SnippingToolAgentServiceHost::OnShowVipWnd(const std::string&, const FeatureRef& request) {
  LOG(INFO) << kLogPrefix << "OnShowVipWnd";
  if (AcceptAfterHandshake(request, true, "OnShowVipWnd") != Gate::kPass)
    return;
  if (auto host_delegate = delegate())
    host_delegate->ShowVipWindow();
}

// ---------------------------------------------------------------------------
// The select-user window.

void SnippingToolAgentServiceHost::ShowSelectUserWnd(const std::string& payload,
                                                     const FeatureRef& request) {
  LOG(INFO) << kLogPrefix << "snipping_tool::SnippingToolAgentServiceHost::ShowSelectUserWnd start";
  const Gate gate = AcceptAfterHandshake(request, true, "ShowSelectUserWnd");
  if (gate == Gate::kNotHandshaken) {
    LOG(ERROR) << kLogPrefix
               << "snipping_tool::SnippingToolAgentServiceHost::ShowSelectUserWnd process "
                  "handshake fail";
  }
  if (gate != Gate::kPass)
    return;
  SelectUserWndSnippingShot record;
  JsonStrToClass(payload, record);  // Malformed: the window is shown with defaults.
  if (auto host_delegate = delegate())
    host_delegate->ShowSelectUserWindow(record);
}

void SnippingToolAgentServiceHost::OnSelectUserWndHide(bool exit_screen_tool) {
  const bool broken = is_broken_.load();
  ipc_core::IServiceHost* host = service_host();
  if (broken || !host) {
    LOG(ERROR) << kLogPrefix
               << "snipping_tool::SnippingToolAgentServiceHost::OnSelectUserWndHide fail, "
                  "is_broken_: "
               << broken << ", or service_host_ is nullptr";
    return;
  }
  // The hide is for the tool connected now. With none connected it is
  // dropped: held for the next tool to connect, it would close that tool.
  int32_t connection_id;
  {
    std::lock_guard<std::mutex> guard(settings_lock_);
    connection_id = lifecycle_.connection();
  }
  if (connection_id == 0) {
    LOG(WARNING) << kLogPrefix
                 << "snipping_tool::SnippingToolAgentServiceHost::OnSelectUserWndHide no tool "
                    "connected";
    return;
  }
  ipc_core::ipc_core_refptr<ipc_core::RequestHandlerWithString> handler(
      new ipc_core::RequestHandlerWithString([](std::string) {},
                                             [](const ipc_core::ErrorResult&) {}));
  SelectUserWndHideSnippingShot record;
  record.exit_screen_tool = exit_screen_tool;
  const std::string payload = JsonClassToStr(record);
  host->InvokeOn(connection_id, kToolMethodOnSelectUserWndHide, payload.c_str(), handler.get());
}

// ---------------------------------------------------------------------------
// Screen AI.

void SnippingToolAgentServiceHost::OnNotifyRequestAI(const std::string& payload,
                                                     const FeatureRef& request) {
  // The tool gets no reply to the request; the answer travels later as an
  // invoke of its own.
  RequestAISnippingShot record;
  if (!JsonStrToClass(payload, record)) {
    LOG(INFO) << kScreenAIPrefix << "OnNotifyRequestAI JsonStrToClass Failed.";
    return;
  }
  auto host_delegate = delegate();
  if (!host_delegate)
    return;
  // The host may answer long after this object is gone: the reply callable
  // holds a weak reference and drops an answer that comes too late.
  const int32_t connection_id = request ? request->GetConnectionId() : 0;
  host_delegate->RequestAI(record, [weak = GetWeakRef(), connection_id](
                                       const ResponseAISnippingShot& response) {
    if (Ref self = weak.Lock()) {
      self->ResponseAIResult(response, connection_id);
      return;
    }
    LOG(WARNING) << kScreenAIPrefix << "ResponseAIResult dropped, the agent is gone. seq_id = "
                 << response.seq_id;
  });
}

void SnippingToolAgentServiceHost::ResponseAIResult(const ResponseAISnippingShot& response,
                                                    int32_t connection_id) {
  ipc_core::IServiceHost* host = service_host();
  if (!host)
    return;
  LOG(INFO) << kScreenAIPrefix << "seq_id = " << response.seq_id
            << ", ai_type = " << response.ai_type << ", image_path = " << response.image_save_path
            << ", data = " << response.data;
  if (connection_id == 0) {
    std::lock_guard<std::mutex> guard(settings_lock_);
    connection_id = lifecycle_.connection();
  }
  ipc_core::ipc_core_refptr<ipc_core::RequestHandlerWithString> handler(
      new ipc_core::RequestHandlerWithString(
          [](std::string) { LOG(INFO) << kLogPrefix << kResponseAISuccessName << " success"; },
          [](const ipc_core::ErrorResult&) {
            LOG(INFO) << kLogPrefix << kResponseAIFailureName << " failed";
          }));
  const std::string payload = JsonClassToStr(response);
  // Only to the tool that asked: when it is gone the answer fails at once
  // rather than wait for, and reach, a tool that never asked.
  host->InvokeOn(connection_id, kToolMethodResponseAI, payload.c_str(), handler.get());
}

}  // namespace snipping_tool
