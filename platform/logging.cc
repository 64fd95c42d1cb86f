#include "platform/logging.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/utf_string_conversions.h"

namespace logging {
namespace {

std::atomic<LogSeverity> g_min_severity{LOG_INFO};

// The handler is swapped under |g_handler_lock| and called through a copied
// shared_ptr, so a handler may log, or install another handler, without
// deadlocking.
std::mutex g_handler_lock;
std::shared_ptr<const LogHandler> g_handler;

// Serialises writes to stderr so that concurrent records never interleave.
std::mutex g_stderr_lock;

const char* SeverityName(LogSeverity severity) {
  switch (severity) {
    case LOG_INFO:
      return "INFO";
    case LOG_WARNING:
      return "WARNING";
    case LOG_ERROR:
      return "ERROR";
    default:
      return "VERBOSE";
  }
}

}  // namespace

bool ShouldCreateLogMessage(LogSeverity severity) {
  return severity >= g_min_severity.load(std::memory_order_relaxed);
}

void SetMinLogLevel(LogSeverity severity) {
  g_min_severity.store(severity, std::memory_order_relaxed);
}

LogSeverity GetMinLogLevel() {
  return g_min_severity.load(std::memory_order_relaxed);
}

LogHandler SetLogHandler(LogHandler handler) {
  std::shared_ptr<const LogHandler> next;
  if (handler)
    next = std::make_shared<const LogHandler>(std::move(handler));
  std::lock_guard<std::mutex> lock(g_handler_lock);
  std::shared_ptr<const LogHandler> previous = std::move(g_handler);
  g_handler = std::move(next);
  return previous ? *previous : LogHandler();
}

LogMessage::LogMessage(const char* file, int line, LogSeverity severity)
    : file_(file),
      line_(line),
      severity_(severity),
      last_error_(base::GetLastSystemError()) {}

LogMessage::~LogMessage() {
  Emit();
  base::SetLastSystemError(last_error_);
}

void LogMessage::Emit() {
  const std::string text = stream_.str();
  std::shared_ptr<const LogHandler> handler;
  {
    std::lock_guard<std::mutex> lock(g_handler_lock);
    handler = g_handler;
  }
  if (handler) {
    (*handler)(severity_, file_, line_, text);
    return;
  }
  std::string line;
  line.reserve(text.size() + 64);
  line.append("[").append(SeverityName(severity_)).append(":");
  line.append(file_ ? file_ : "?").append("(").append(std::to_string(line_)).append(")] ");
  line.append(text).append("\n");
  std::lock_guard<std::mutex> lock(g_stderr_lock);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace logging

std::ostream& operator<<(std::ostream& out, const std::wstring& wide) {
  return out << base::SysWideToUTF8(wide);
}

std::ostream& operator<<(std::ostream& out, const wchar_t* wide) {
  return out << base::SysWideToUTF8(wide ? std::wstring(wide) : std::wstring());
}
