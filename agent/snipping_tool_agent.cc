#include "agent/snipping_tool_agent.h"

#include <new>
#include <string>

#include "ipc/ipc_server/snipping_tool_agent_service_host.h"
#include "ipc_core/service_host.h"
#include "platform/lazy_instance.h"

namespace snipping_tool {
namespace {

// 0: not created; 1: being created; otherwise the agent's address.
std::atomic<uintptr_t> g_agent_state{0};

}  // namespace

SnippingToolAgent* SnippingToolAgent::GetInstance() {
  uintptr_t value = g_agent_state.load(std::memory_order_acquire);
  if (value > base::internal::kLazyInstanceStateCreating)
    return reinterpret_cast<SnippingToolAgent*>(value);
  uintptr_t expected = 0;
  if (!g_agent_state.compare_exchange_strong(expected, base::internal::kLazyInstanceStateCreating,
                                             std::memory_order_acq_rel)) {
    return reinterpret_cast<SnippingToolAgent*>(base::internal::WaitForInstance(&g_agent_state));
  }
  SnippingToolAgent* agent = new (std::nothrow) SnippingToolAgent();
  // On failure the word goes back to 0 so that a later call tries again.
  g_agent_state.store(reinterpret_cast<uintptr_t>(agent), std::memory_order_release);
  return agent;
}

SnippingToolAgent::~SnippingToolAgent() {
  if (service_host_)
    service_host_->Release();
}

void SnippingToolAgent::Init(const SnippingToolConfig& config,
                             ISnippingToolAgentDelegate* host_delegate, bool use_screen_tool) {
  // The delegate first, so that runtime records of the start reach the host.
  delegate_.Open(host_delegate);
  ipc_core::InitIPCCoreRuntime(&IpcCoreLogSink);
  if (service_host_)
    return;
  auto* host = new (std::nothrow) SnippingToolAgentServiceHost();
  if (!host)
    return;
  host->AddRef();
  service_host_ = host;
  service_host_->Init(config, host_delegate, use_screen_tool);
}

void SnippingToolAgent::Uninit() {
  // A runtime record on its way to the host ends before Uninit returns.
  delegate_.Close();
  if (SnippingToolAgentServiceHost* host = service_host_) {
    host->Uninit();
    service_host_ = nullptr;
    host->Release();
  }
}

void SnippingToolAgent::SnippingShot(
    const std::string& image_save_path,
    const std::function<void(const NotifySnippingShot&)>& on_success,
    const std::function<void()>& on_failure, int screen_shot_type,
    const AIScreenShotRequest& ai_screen_shot_request) {
  if (IsBroken()) {
    if (on_failure)
      on_failure();
    return;
  }
  service_host_->SnippingShot(image_save_path, on_success, on_failure, screen_shot_type,
                              ai_screen_shot_request);
}

bool SnippingToolAgent::IsBroken() {
  return !service_host_ || service_host_->IsBroken();
}

void SnippingToolAgent::SetBroken(bool broken) {
  if (service_host_)
    service_host_->SetBroken(broken);
}

void SnippingToolAgent::OnSelectUserWndHide(bool exit_screen_tool) {
  if (!IsBroken())
    service_host_->OnSelectUserWndHide(exit_screen_tool);
}

void SnippingToolAgent::SetIsDarkTheme(bool is_dark_theme) {
  if (!IsBroken())
    service_host_->SetIsDarkTheme(is_dark_theme);
}

void SnippingToolAgent::SetVipStatus(int vip_status) {
  if (!IsBroken())
    service_host_->SetVipStatus(vip_status);
}

void SnippingToolAgent::SetGraySwitch(const std::string& name, bool value) {
  if (!IsBroken())
    service_host_->SetGraySwitch(name, value);
}

void SnippingToolAgent::TerminateSnippingTool() {
  if (service_host_)
    service_host_->TerminateSnippingTool();
}

void SnippingToolAgent::SetRecordStartedCallback(const std::function<void()>& callback) {
  if (service_host_)
    service_host_->SetRecordStartedCallback(callback);
}

void SnippingToolAgent::SetRecordFinishedCallback(const std::function<void()>& callback) {
  if (service_host_)
    service_host_->SetRecordFinishedCallback(callback);
}

void IpcCoreLogSink(int severity, const char* file, int line, int64_t value, const char* message) {
  std::string text(message ? message : "");
  SnippingToolAgent* agent = SnippingToolAgent::GetInstance();
  if (!agent || !file)
    return;
  // Held for the call: Uninit waits for a record already on its way.
  auto host_delegate = agent->delegate();
  if (!host_delegate)
    return;
  host_delegate->Log(severity, std::string(file), line, value, text);
}

}  // namespace snipping_tool

extern "C" bool GetQuilloSnipingToolAgent(snipping_tool::ISnippingToolAgent** out) {
  if (!out)
    return false;
  snipping_tool::SnippingToolAgent* agent = snipping_tool::SnippingToolAgent::GetInstance();
  *out = agent;
  // Reporting success with no agent would hand the host a null object.
  return agent != nullptr;
}
