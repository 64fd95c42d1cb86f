// The process-wide agent handed to the host: a thin facade over the one
// SnippingToolAgentServiceHost, guarded by the broken state.
#ifndef AGENT_SNIPPING_TOOL_AGENT_H_
#define AGENT_SNIPPING_TOOL_AGENT_H_

#include <atomic>
#include <cstdint>

#include "ipc/ipc_server/delegate_gate.h"
#include "snipping_tool/snipping_tool_agent.h"

namespace snipping_tool {

class SnippingToolAgentServiceHost;

class SnippingToolAgent : public ISnippingToolAgent {
 public:
  // The singleton, created on first use and never freed; null only when it
  // could not be allocated.
  static SnippingToolAgent* GetInstance();

  // The agent is never counted: it lives until the process ends.
  void AddRef() override {}
  void Release() override {}
  ~SnippingToolAgent() override;

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

  // The host's delegate for one call while initialised; used by the IPC
  // log sink.
  DelegateGate::Use delegate() { return delegate_.Acquire(); }
  // The service host while initialised (tests and diagnostics).
  SnippingToolAgentServiceHost* service_host_for_testing() const { return service_host_; }

 private:
  SnippingToolAgent() = default;

  DelegateGate delegate_;
  SnippingToolAgentServiceHost* service_host_ = nullptr;
};

// Receives the IPC runtime's log records and forwards them to the host's
// delegate.
void IpcCoreLogSink(int severity, const char* file, int line, int64_t value, const char* message);

}  // namespace snipping_tool

#endif  // AGENT_SNIPPING_TOOL_AGENT_H_
