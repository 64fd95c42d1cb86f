// The demo's output: one line per event, with the milliseconds since the
// current reference point (the start, then each shot request) and where
// the line comes from.
#ifndef TOOLS_DEMO_HOST_TIMELINE_H_
#define TOOLS_DEMO_HOST_TIMELINE_H_

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace demo_host {

class Timeline {
 public:
  explicit Timeline(std::FILE* out);

  // Makes now the reference point and prints |title| as a separator.
  void Restart(const std::string& title);

  // Safe from any thread; lines never interleave.
  void Print(const char* source, const std::string& text);

 private:
  std::FILE* const out_;
  std::mutex lock_;
  std::chrono::steady_clock::time_point reference_;
};

}  // namespace demo_host

#endif  // TOOLS_DEMO_HOST_TIMELINE_H_
