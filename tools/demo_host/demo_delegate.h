// The demo's side of the agent's callback interface: shows every call and
// answers the requests the way a messaging client would.
#ifndef TOOLS_DEMO_HOST_DEMO_DELEGATE_H_
#define TOOLS_DEMO_HOST_DEMO_DELEGATE_H_

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "snipping_tool/snipping_tool_agent.h"
#include "tools/task_queue/task_queue.h"
#include "tools/demo_host/timeline.h"

namespace demo_host {

class DemoDelegate final : public snipping_tool::ISnippingToolAgentDelegate {
 public:
  DemoDelegate(Timeline* timeline, task_queue::TaskQueue* ui);
  ~DemoDelegate();

  void set_agent(snipping_tool::ISnippingToolAgent* agent) { agent_ = agent; }

  // The name of the last shot failure the agent reported, "" when none;
  // cleared by the call.
  std::string TakeFailureReason();

  // Waits for the screen-AI answers still being prepared. Must come before
  // Uninit: the agent's reply callable is not to be called after it.
  void FinishAiReplies();

  void Log(int severity, const std::string& file, int line, int64_t value,
           const std::string& message) override;
  void ReportBIEvent(const std::string& key) override;
  void ApplySnippingToolConfig(const std::string& config_json) override;
  void ShowVipWindow() override;
  void ShowSelectUserWindow(const snipping_tool::SelectUserWndSnippingShot& request) override;
  void OnSnippingShotResultArrived() override;
  void PostTask(const std::function<void()>& task, uint32_t delay_ms) override;
  void RequestAI(const snipping_tool::RequestAISnippingShot& request,
                 const std::function<void(const snipping_tool::ResponseAISnippingShot&)>& reply)
      override;

 private:
  Timeline* const timeline_;
  task_queue::TaskQueue* const ui_;
  snipping_tool::ISnippingToolAgent* agent_ = nullptr;
  std::mutex lock_;
  std::string failure_reason_;
  std::vector<std::thread> ai_replies_;
};

}  // namespace demo_host

#endif  // TOOLS_DEMO_HOST_DEMO_DELEGATE_H_
