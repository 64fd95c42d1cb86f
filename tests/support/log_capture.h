// Captures the records of the log while alive: the one log capture of every
// test.
#ifndef TESTS_SUPPORT_LOG_CAPTURE_H_
#define TESTS_SUPPORT_LOG_CAPTURE_H_

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/logging.h"

namespace test_support {

class LogCapture {
 public:
  struct Record {
    logging::LogSeverity severity;
    std::string file;
    std::string text;
  };

  LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  // Puts the handler that was installed before back.
  ~LogCapture();

  std::vector<Record> Records() const;
  std::vector<std::string> Lines() const;
  std::vector<logging::LogSeverity> Severities() const;
  std::vector<std::string> LinesContaining(const std::string& text) const;
  bool Contains(const std::string& text) const { return !LinesContaining(text).empty(); }
  void Clear();
  // Waits (up to test_os::kWaitBound) until a line holding |text| has been
  // logged.
  bool WaitForLine(const std::string& text) const;

 private:
  // Shared with the installed handler: a record emitted on another thread
  // while the capture goes away still has somewhere to land.
  struct State {
    std::mutex lock;
    std::vector<Record> records;
  };
  std::shared_ptr<State> state_;
  logging::LogHandler previous_;
};

}  // namespace test_support

#endif  // TESTS_SUPPORT_LOG_CAPTURE_H_
