// Diagnostic log records.
//
// A statement such as
//   LOG(INFO) << "[SnippingToolAgent] " << "OnServiceHostStartSuccess" << " port:" << port;
// builds one record and hands it, whole, to the installed handler (or to
// stderr) when the statement ends. When the severity is below the minimum,
// none of the streamed pieces is evaluated.
#ifndef PLATFORM_LOGGING_H_
#define PLATFORM_LOGGING_H_

#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>

#include "platform/last_error.h"

namespace logging {

using LogSeverity = int;
constexpr LogSeverity LOG_INFO = 0;
constexpr LogSeverity LOG_WARNING = 1;
constexpr LogSeverity LOG_ERROR = 2;

// True when a record of |severity| would be emitted. Cheap: one relaxed load.
bool ShouldCreateLogMessage(LogSeverity severity);

// Records below |severity| are dropped unbuilt. The default is LOG_INFO.
void SetMinLogLevel(LogSeverity severity);
LogSeverity GetMinLogLevel();

// Receives every emitted record, whole. May be called on any thread, and
// from several threads at once; it is called with no lock of ours held.
using LogHandler = std::function<void(LogSeverity severity, const char* file, int line,
                                      std::string_view message)>;

// Installs |handler| (an empty one restores the default destination, stderr)
// and returns the previous one. Records already being emitted may still reach
// the previous handler.
LogHandler SetLogHandler(LogHandler handler);

// One record. The stream collects the text; the destructor emits it and
// puts back the thread's last system error as the statement found it, so
// that logging a failure does not change the error the caller reports next.
class LogMessage {
 public:
  LogMessage(const char* file, int line, LogSeverity severity);
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;
  ~LogMessage();

  std::ostream& stream() { return stream_; }

 private:
  void Emit();

  const char* file_;
  int line_;
  LogSeverity severity_;
  base::SystemErrorCode last_error_;
  std::ostringstream stream_;
};

// Turns the stream expression of LOG() into a void expression so that it can
// stand in the false branch of the conditional operator.
class LogMessageVoidify {
 public:
  void operator&(std::ostream&) {}
};

}  // namespace logging

// Writes wide text (file paths on Windows) as UTF-8. These live in the
// global namespace, so a namespace that declares an operator<< of its own
// hides them from its code: wide strings then fail to compile and wide
// literals print as addresses. Give types their inserters as hidden friends.
std::ostream& operator<<(std::ostream& out, const std::wstring& wide);
std::ostream& operator<<(std::ostream& out, const wchar_t* wide);

#define LOG_IS_ON(severity) (::logging::ShouldCreateLogMessage(::logging::LOG_##severity))
#define LOG_STREAM(severity) \
  ::logging::LogMessage(__FILE__, __LINE__, ::logging::LOG_##severity).stream()
#define LOG(severity) \
  !LOG_IS_ON(severity) ? (void)0 : ::logging::LogMessageVoidify() & LOG_STREAM(severity)

#endif  // PLATFORM_LOGGING_H_
