// The tool's trace: one line per event, so that a test can read what reached
// the tool and what its own invokes got back. Each line holds four fields
// separated by tabs: milliseconds since the tool started, the kind of event,
// a name (a method, a switch) and a text (a payload, a reply). Tabs, line
// breaks and backslashes inside a field are escaped as \t, \n, \r and \\.
#ifndef TOOLS_REFERENCE_TOOL_TRACE_H_
#define TOOLS_REFERENCE_TOOL_TRACE_H_

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace reference_tool {

std::string EscapeTraceField(std::string_view field);

class Trace {
 public:
  Trace();
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  // Appends to |utf8_path| (created if needed). False when it cannot be
  // opened; the trace then stays off.
  bool Open(const std::string& utf8_path);

  // Writes one line and flushes it at once: the tool may be made to crash
  // right after, and the line must already be on disk. Safe from any thread.
  void Write(std::string_view kind, std::string_view name, std::string_view text);

 private:
  std::mutex lock_;
  std::FILE* file_ = nullptr;
  const std::chrono::steady_clock::time_point start_;
};

}  // namespace reference_tool

#endif  // TOOLS_REFERENCE_TOOL_TRACE_H_
