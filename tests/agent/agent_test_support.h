// The agent's test support: a host that records every delegate call and
// runs the agent's posted tasks on the test's own thread, and a fixture for
// driving the agent through its facade with the real reference tool.
#ifndef TESTS_AGENT_AGENT_TEST_SUPPORT_H_
#define TESTS_AGENT_AGENT_TEST_SUPPORT_H_

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/snipping_tool_agent.h"
#include "ipc/ipc_server/snipping_tool_agent_service_host.h"
#include "snipping_tool/snipping_tool_agent.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_os.h"
#include "tests/support/test_text.h"
#include "tools/task_queue/task_queue.h"

namespace snipping_tool {
namespace testing {

struct RuntimeLogRecord {
  int severity;
  std::string file;
  int line;
  int64_t value;
  std::string message;
};

// The host's "UI thread" is the test's own thread on a virtual clock, so
// time-out paths take no real time.
class TestHost : public ISnippingToolAgentDelegate {
 public:
  TestHost() = default;
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;
  // Before the records go: a task may hold the agent's service host.
  // Virtual for the warning only: the agent never deletes its delegate.
  virtual ~TestHost() { ui_.Discard(); }

  void Log(int severity, const std::string& file, int line, int64_t value,
           const std::string& message) override {
    Record([&] { runtime_logs_.push_back({severity, file, line, value, message}); });
  }
  void ReportBIEvent(const std::string& key) override {
    std::function<void(const std::string&)> hook = Get(event_hook_);
    if (hook)
      hook(key);
    Record([&] { events_.push_back(key); });
  }
  void ApplySnippingToolConfig(const std::string& config_json) override {
    Record([&] { configs_.push_back(config_json); });
  }
  void ShowVipWindow() override {
    Record([&] { ++vip_window_count_; });
  }
  void ShowSelectUserWindow(const SelectUserWndSnippingShot& request) override {
    Record([&] { select_user_requests_.push_back(request); });
  }
  void OnSnippingShotResultArrived() override {
    Record([&] { ++result_arrived_count_; });
  }
  void PostTask(const std::function<void()>& task, uint32_t delay_ms) override {
    ui_.PostTask(task, delay_ms);
  }
  void RequestAI(const RequestAISnippingShot& request,
                 const std::function<void(const ResponseAISnippingShot&)>& reply) override {
    Record([&] {
      ai_requests_.push_back(request);
      ai_replies_.push_back(reply);
    });
  }

  // Runs due tasks until |done| holds; false when the wait bound passed.
  bool RunUntil(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = test_os::kWaitBound) {
    return ui_.RunUntil(done, timeout);
  }
  void RunUntilIdle() { ui_.RunUntilIdle(); }
  void AdvanceTime(uint32_t ms) { ui_.AdvanceTime(ms); }
  void DiscardTasks() { ui_.Discard(); }
  size_t delayed_task_count() { return ui_.delayed_count(); }

  std::vector<std::string> events() { return Get(events_); }
  bool HasEvent(const std::string& key) {
    const std::vector<std::string> all = events();
    return std::find(all.begin(), all.end(), key) != all.end();
  }
  std::vector<std::string> configs() { return Get(configs_); }
  std::vector<SelectUserWndSnippingShot> select_user_requests() {
    return Get(select_user_requests_);
  }
  std::vector<RequestAISnippingShot> ai_requests() { return Get(ai_requests_); }
  std::vector<std::function<void(const ResponseAISnippingShot&)>> ai_replies() {
    return Get(ai_replies_);
  }
  std::vector<RuntimeLogRecord> runtime_logs() { return Get(runtime_logs_); }
  int vip_window_count() { return Get(vip_window_count_); }
  int result_arrived_count() { return Get(result_arrived_count_); }
  // Runs at the start of every ReportBIEvent, outside the lock (a test may
  // hold the call there).
  void SetEventHook(std::function<void(const std::string&)> hook) {
    Record([&] { event_hook_ = std::move(hook); });
  }

 private:
  template <typename Change>
  void Record(Change change) {
    std::lock_guard<std::mutex> guard(lock_);
    change();
    ui_.Wake();
  }
  template <typename T>
  T Get(const T& record) {
    std::lock_guard<std::mutex> guard(lock_);
    return record;
  }

  task_queue::TaskQueue ui_{task_queue::TaskQueue::Clock::kVirtual};
  std::mutex lock_;
  std::vector<std::string> events_;
  std::vector<std::string> configs_;
  std::vector<SelectUserWndSnippingShot> select_user_requests_;
  std::vector<RequestAISnippingShot> ai_requests_;
  std::vector<std::function<void(const ResponseAISnippingShot&)>> ai_replies_;
  std::vector<RuntimeLogRecord> runtime_logs_;
  std::function<void(const std::string&)> event_hook_;
  int vip_window_count_ = 0;
  int result_arrived_count_ = 0;
};

struct ShotOutcome {
  std::string path;
  int successes = 0;
  int failures = 0;
  NotifySnippingShot result;
};

// One line of the reference tool's trace.
struct TraceEvent {
  std::string kind;
  std::string name;
  std::string text;
};

class AgentTest : public ::testing::Test {
 protected:
  AgentTest() { GetQuilloSnipingToolAgent(&agent_); }
  void TearDown() override;

  void StartAgent(SnippingToolConfig config = SnippingToolConfig(), bool use_screen_tool = false) {
    agent_->Init(config, &host_, use_screen_tool);
  }
  // A configuration whose extras carry a reference-tool script with these
  // steps (a JSON array's elements) and a trace file in the temp dir.
  SnippingToolConfig WithScript(const std::string& steps);
  // The tool's trace events of |kind| (and |name|, when not empty).
  std::vector<TraceEvent> ToolTrace(const std::string& kind, const std::string& name = "");
  std::shared_ptr<ShotOutcome> Shot(int screen_shot_type = 4);
  bool WaitForOutcome(const std::shared_ptr<ShotOutcome>& shot) {
    return host_.RunUntil([&] { return shot->successes + shot->failures > 0; });
  }
  // The shot failed once with |reason|, the event named it, the broken state
  // is as expected and the tool process is gone.
  void ExpectStopped(const ShotOutcome& shot, const std::string& reason, bool broken);
  // The last tool's pid from the launch log line; 0 if none.
  int LastToolPid();

  ISnippingToolAgent* agent() { return agent_; }
  SnippingToolAgentServiceHost* service_host() {
    return static_cast<SnippingToolAgent*>(agent_)->service_host_for_testing();
  }
  TestHost& host() { return host_; }
  test_support::LogCapture& log() { return log_; }
  const test_os::TempDir& temp_dir() { return temp_dir_; }

  // What the tools started, killed at the end if a failed test left it.
  std::vector<int> descendants_;

 private:
  test_support::LogCapture log_;
  TestHost host_;
  test_os::TempDir temp_dir_;
  ISnippingToolAgent* agent_ = nullptr;
  int shot_count_ = 0;
};

}  // namespace testing
}  // namespace snipping_tool

#endif  // TESTS_AGENT_AGENT_TEST_SUPPORT_H_
