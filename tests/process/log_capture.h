// Captures the records of the log during a test.
#ifndef TESTS_PROCESS_LOG_CAPTURE_H_
#define TESTS_PROCESS_LOG_CAPTURE_H_

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/logging.h"

namespace test_support {

// Collects the records of the log while alive.
class LogCapture {
 public:
  LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture();

  std::vector<std::string> Lines() const;
  std::vector<std::string> LinesContaining(const std::string& text) const;
  std::vector<logging::LogSeverity> Severities() const;
  void Clear();
  // Waits until a line holding |text| has been logged.
  bool WaitForLine(const std::string& text) const;

 private:
  // Shared with the installed handler: a record already being emitted when
  // the capture ends may still arrive.
  struct Records {
    std::mutex lock;
    std::vector<std::string> lines;
    std::vector<logging::LogSeverity> severities;
  };
  std::shared_ptr<Records> records_;
  logging::LogHandler previous_;
};

}  // namespace test_support

#endif  // TESTS_PROCESS_LOG_CAPTURE_H_
