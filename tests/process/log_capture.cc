#include "tests/process/log_capture.h"

#include "tests/support/test_os.h"

namespace test_support {

LogCapture::LogCapture() : records_(std::make_shared<Records>()) {
  previous_ = logging::SetLogHandler(
      [records = records_](logging::LogSeverity severity, const char*, int,
                           std::string_view message) {
        std::lock_guard<std::mutex> hold(records->lock);
        records->lines.emplace_back(message);
        records->severities.push_back(severity);
      });
}

LogCapture::~LogCapture() {
  logging::SetLogHandler(previous_);
}

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> hold(records_->lock);
  return records_->lines;
}

std::vector<std::string> LogCapture::LinesContaining(const std::string& text) const {
  std::vector<std::string> result;
  for (const std::string& line : Lines()) {
    if (line.find(text) != std::string::npos)
      result.push_back(line);
  }
  return result;
}

std::vector<logging::LogSeverity> LogCapture::Severities() const {
  std::lock_guard<std::mutex> hold(records_->lock);
  return records_->severities;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> hold(records_->lock);
  records_->lines.clear();
  records_->severities.clear();
}

bool LogCapture::WaitForLine(const std::string& text) const {
  return test_os::WaitUntil([&] { return !LinesContaining(text).empty(); });
}

}  // namespace test_support
