#include "tests/agent/test_host.h"

#include <algorithm>
#include <thread>

#include "platform/logging.h"

namespace snipping_tool {
namespace testing {

TestHost::~TestHost() {
  DiscardTasks();
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
  event_on_test_thread_.push_back(std::this_thread::get_id() == test_thread_);
  changed_.notify_all();
}

void TestHost::ApplySnippingToolConfig(const std::string& config_json) {
  std::lock_guard<std::mutex> guard(lock_);
  configs_.push_back(config_json);
  changed_.notify_all();
}

void TestHost::ShowVipWindow() {
  std::lock_guard<std::mutex> guard(lock_);
  ++vip_window_count_;
  changed_.notify_all();
}

void TestHost::ShowSelectUserWindow(const SelectUserWndSnippingShot& request) {
  std::lock_guard<std::mutex> guard(lock_);
  select_user_requests_.push_back(request);
  changed_.notify_all();
}

void TestHost::OnSnippingShotResultArrived() {
  std::lock_guard<std::mutex> guard(lock_);
  ++result_arrived_count_;
  changed_.notify_all();
}

void TestHost::PostTask(const std::function<void()>& task, uint32_t delay_ms) {
  std::lock_guard<std::mutex> guard(lock_);
  tasks_.push_back({now_ms_ + delay_ms, next_seq_++, task});
  changed_.notify_all();
}

void TestHost::RequestAI(const RequestAISnippingShot& request,
                         const std::function<void(const ResponseAISnippingShot&)>& reply) {
  std::lock_guard<std::mutex> guard(lock_);
  ai_requests_.push_back(request);
  ai_replies_.push_back(reply);
  changed_.notify_all();
}

bool TestHost::TakeDueTask(std::function<void()>* task) {
  auto due = tasks_.end();
  for (auto it = tasks_.begin(); it != tasks_.end(); ++it) {
    if (it->due_ms > now_ms_)
      continue;
    if (due == tasks_.end() || it->due_ms < due->due_ms ||
        (it->due_ms == due->due_ms && it->seq < due->seq)) {
      due = it;
    }
  }
  if (due == tasks_.end())
    return false;
  *task = std::move(due->run);
  tasks_.erase(due);
  return true;
}

void TestHost::RunUntilIdle() {
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (!TakeDueTask(&task))
        return;
    }
    task();
  }
}

bool TestHost::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    RunUntilIdle();
    if (done())
      return true;
    {
      std::unique_lock<std::mutex> guard(lock_);
      // Woken by any delegate call; the short period also catches state
      // that changes without one (a tool process ending).
      changed_.wait_for(guard, std::chrono::milliseconds(5));
    }
    // Checked without the lock: |done| may ask this host for its records.
    if (std::chrono::steady_clock::now() > deadline)
      return done();
  }
}

void TestHost::AdvanceTime(uint32_t ms) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    now_ms_ += ms;
  }
  RunUntilIdle();
}

void TestHost::DiscardTasks() {
  std::vector<Task> dropped;
  {
    std::lock_guard<std::mutex> guard(lock_);
    dropped.swap(tasks_);
  }
  // Destroyed outside the lock: a task may hold the last reference to the
  // agent's service host, whose destruction posts nothing but does log.
  dropped.clear();
}

size_t TestHost::delayed_task_count() {
  std::lock_guard<std::mutex> guard(lock_);
  return std::count_if(tasks_.begin(), tasks_.end(),
                       [this](const Task& t) { return t.due_ms > now_ms_; });
}

uint64_t TestHost::now_ms() {
  std::lock_guard<std::mutex> guard(lock_);
  return now_ms_;
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

std::vector<bool> TestHost::event_on_test_thread() {
  std::lock_guard<std::mutex> guard(lock_);
  return event_on_test_thread_;
}

LogCapture::LogCapture() {
  logging::SetLogHandler([state = state_](logging::LogSeverity severity, const char* file, int,
                                          std::string_view message) {
    std::lock_guard<std::mutex> guard(state->lock);
    state->records.push_back({severity, file ? file : "", std::string(message)});
  });
}

LogCapture::~LogCapture() {
  logging::SetLogHandler(nullptr);
}

std::vector<std::string> LogCapture::lines() {
  std::vector<std::string> result;
  for (const Record& r : records())
    result.push_back(r.text);
  return result;
}

bool LogCapture::Contains(const std::string& text) {
  return Find(text) >= 0;
}

int LogCapture::Find(const std::string& text, int from) {
  std::vector<Record> all = records();
  for (size_t i = static_cast<size_t>(std::max(from, 0)); i < all.size(); ++i) {
    if (all[i].text == text)
      return static_cast<int>(i);
  }
  return -1;
}

std::vector<LogCapture::Record> LogCapture::records() {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->records;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->records.clear();
}

}  // namespace testing
}  // namespace snipping_tool
