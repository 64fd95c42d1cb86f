// A host for driving the agent in tests: a delegate that records every call
// and a "UI thread" that is the test's own thread. Posted tasks run only when
// the test runs them, and delayed tasks only when the test moves the virtual
// clock past their due time, so time-out paths take no real time.
#ifndef TESTS_AGENT_TEST_HOST_H_
#define TESTS_AGENT_TEST_HOST_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <mutex>
#include <string>
#include <vector>

#include "snipping_tool/snipping_tool_agent.h"

namespace snipping_tool {
namespace testing {

// Generous bound for waits on real events (a tool starting, a reply); the
// waits return as soon as the event happens.
constexpr std::chrono::seconds kEventTimeout{20};

struct RuntimeLogRecord {
  int severity;
  std::string file;
  int line;
  int64_t value;
  std::string message;
};

class TestHost : public ISnippingToolAgentDelegate {
 public:
  TestHost() = default;
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;
  // Virtual for the warning only: the agent never deletes its delegate.
  virtual ~TestHost();

  // ISnippingToolAgentDelegate.
  void Log(int severity, const std::string& file, int line, int64_t value,
           const std::string& message) override;
  void ReportBIEvent(const std::string& key) override;
  void ApplySnippingToolConfig(const std::string& config_json) override;
  void ShowVipWindow() override;
  void ShowSelectUserWindow(const SelectUserWndSnippingShot& request) override;
  void OnSnippingShotResultArrived() override;
  void PostTask(const std::function<void()>& task, uint32_t delay_ms) override;
  void RequestAI(const RequestAISnippingShot& request,
                 const std::function<void(const ResponseAISnippingShot&)>& reply) override;

  // Runs due tasks on this thread, waiting for tasks posted from other
  // threads, until |done| holds. False when kEventTimeout passed first.
  bool RunUntil(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = kEventTimeout);
  // Runs every task that is due now (tasks posted by those included).
  void RunUntilIdle();
  // Moves the virtual clock forward and runs what became due.
  void AdvanceTime(uint32_t ms);
  // Drops every queued task without running it (releasing what they hold).
  void DiscardTasks();
  size_t delayed_task_count();
  uint64_t now_ms();

  // What the agent told the host.
  std::vector<std::string> events();
  bool HasEvent(const std::string& key);
  std::vector<std::string> configs();
  std::vector<SelectUserWndSnippingShot> select_user_requests();
  std::vector<RequestAISnippingShot> ai_requests();
  std::vector<std::function<void(const ResponseAISnippingShot&)>> ai_replies();
  std::vector<RuntimeLogRecord> runtime_logs();
  int vip_window_count();
  int result_arrived_count();
  // Runs |hook| at the start of every ReportBIEvent, on the calling thread
  // and outside the host's lock (a test may hold the call there).
  void SetEventHook(std::function<void(const std::string&)> hook);
  // The thread each ReportBIEvent came from.
  std::vector<bool> event_on_test_thread();

 private:
  struct Task {
    uint64_t due_ms;
    uint64_t seq;
    std::function<void()> run;
  };
  // Takes the first due task, if any.
  bool TakeDueTask(std::function<void()>* task);

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Task> tasks_;
  uint64_t now_ms_ = 0;
  uint64_t next_seq_ = 0;

  std::vector<std::string> events_;
  std::vector<bool> event_on_test_thread_;
  std::vector<std::string> configs_;
  std::vector<SelectUserWndSnippingShot> select_user_requests_;
  std::vector<RequestAISnippingShot> ai_requests_;
  std::vector<std::function<void(const ResponseAISnippingShot&)>> ai_replies_;
  std::vector<RuntimeLogRecord> runtime_logs_;
  std::function<void(const std::string&)> event_hook_;
  int vip_window_count_ = 0;
  int result_arrived_count_ = 0;
  std::thread::id test_thread_ = std::this_thread::get_id();
};

// Collects the agent's own log records while alive.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> lines();
  bool Contains(const std::string& text);
  // Index of the first line equal to |text| at or after |from|, or -1.
  int Find(const std::string& text, int from = 0);
  // The records with their severities and files.
  struct Record {
    int severity;
    std::string file;
    std::string text;
  };
  std::vector<Record> records();
  void Clear();

 private:
  // Shared with the installed handler: a record emitted on another thread
  // while the capture goes away still has somewhere to land.
  struct State {
    std::mutex lock;
    std::vector<Record> records;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace testing
}  // namespace snipping_tool

#endif  // TESTS_AGENT_TEST_HOST_H_
