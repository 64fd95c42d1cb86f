#include "tests/agent/test_host.h"

#include <algorithm>

namespace snipping_tool {
namespace testing {

TestHost::~TestHost() {
  // Before the records go: a task may hold the agent's service host.
  ui_.Discard();
}

void TestHost::Log(int severity, const std::string& file, int line, int64_t value,
                   const std::string& message) {
  std::lock_guard<std::mutex> guard(lock_);
  runtime_logs_.push_back({severity, file, line, value, message});
}

void TestHost::SetEventHook(std::function<void(const std::string&)> hook) {
  std::lock_guard<std::mutex> guard(lock_);
  event_hook_ = std::move(hook);
}

void TestHost::ReportBIEvent(const std::string& key) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> guard(lock_);
    hook = event_hook_;
  }
  if (hook)
    hook(key);
  std::lock_guard<std::mutex> guard(lock_);
  events_.push_back(key);
  Changed();
}

void TestHost::ApplySnippingToolConfig(const std::string& config_json) {
  std::lock_guard<std::mutex> guard(lock_);
  configs_.push_back(config_json);
  Changed();
}

void TestHost::ShowVipWindow() {
  std::lock_guard<std::mutex> guard(lock_);
  ++vip_window_count_;
  Changed();
}

void TestHost::ShowSelectUserWindow(const SelectUserWndSnippingShot& request) {
  std::lock_guard<std::mutex> guard(lock_);
  select_user_requests_.push_back(request);
  Changed();
}

void TestHost::OnSnippingShotResultArrived() {
  std::lock_guard<std::mutex> guard(lock_);
  ++result_arrived_count_;
  Changed();
}

void TestHost::PostTask(const std::function<void()>& task, uint32_t delay_ms) {
  ui_.PostTask(task, delay_ms);
}

void TestHost::RequestAI(const RequestAISnippingShot& request,
                         const std::function<void(const ResponseAISnippingShot&)>& reply) {
  std::lock_guard<std::mutex> guard(lock_);
  ai_requests_.push_back(request);
  ai_replies_.push_back(reply);
  Changed();
}

std::vector<std::string> TestHost::events() {
  std::lock_guard<std::mutex> guard(lock_);
  return events_;
}

bool TestHost::HasEvent(const std::string& key) {
  std::lock_guard<std::mutex> guard(lock_);
  return std::find(events_.begin(), events_.end(), key) != events_.end();
}

std::vector<std::string> TestHost::configs() {
  std::lock_guard<std::mutex> guard(lock_);
  return configs_;
}

std::vector<SelectUserWndSnippingShot> TestHost::select_user_requests() {
  std::lock_guard<std::mutex> guard(lock_);
  return select_user_requests_;
}

std::vector<RequestAISnippingShot> TestHost::ai_requests() {
  std::lock_guard<std::mutex> guard(lock_);
  return ai_requests_;
}

std::vector<std::function<void(const ResponseAISnippingShot&)>> TestHost::ai_replies() {
  std::lock_guard<std::mutex> guard(lock_);
  return ai_replies_;
}

std::vector<RuntimeLogRecord> TestHost::runtime_logs() {
  std::lock_guard<std::mutex> guard(lock_);
  return runtime_logs_;
}

int TestHost::vip_window_count() {
  std::lock_guard<std::mutex> guard(lock_);
  return vip_window_count_;
}

int TestHost::result_arrived_count() {
  std::lock_guard<std::mutex> guard(lock_);
  return result_arrived_count_;
}

}  // namespace testing
}  // namespace snipping_tool
