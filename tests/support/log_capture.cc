#include "tests/support/log_capture.h"

#include "tests/support/test_os.h"

namespace test_support {

LogCapture::LogCapture() : state_(std::make_shared<State>()) {
  previous_ = logging::SetLogHandler(
      [state = state_](logging::LogSeverity severity, const char* file, int,
                       std::string_view message) {
        std::lock_guard<std::mutex> hold(state->lock);
        state->records.push_back({severity, file ? file : "", std::string(message)});
      });
}

LogCapture::~LogCapture() {
  logging::SetLogHandler(previous_);
}

std::vector<LogCapture::Record> LogCapture::Records() const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->records;
}

std::vector<std::string> LogCapture::Lines() const {
  std::vector<std::string> result;
  for (const Record& record : Records())
    result.push_back(record.text);
  return result;
}

std::vector<logging::LogSeverity> LogCapture::Severities() const {
  std::vector<logging::LogSeverity> result;
  for (const Record& record : Records())
    result.push_back(record.severity);
  return result;
}

std::vector<std::string> LogCapture::LinesContaining(const std::string& text) const {
  std::vector<std::string> result;
  for (const Record& record : Records()) {
    if (record.text.find(text) != std::string::npos)
      result.push_back(record.text);
  }
  return result;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->records.clear();
}

bool LogCapture::WaitForLine(const std::string& text) const {
  return test_os::WaitUntil([&] { return Contains(text); });
}

}  // namespace test_support
