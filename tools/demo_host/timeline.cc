#include "tools/demo_host/timeline.h"

namespace demo_host {

Timeline::Timeline(std::FILE* out) : out_(out), reference_(std::chrono::steady_clock::now()) {}

void Timeline::Restart(const std::string& title) {
  std::lock_guard<std::mutex> lock(lock_);
  reference_ = std::chrono::steady_clock::now();
  std::fprintf(out_, "---------- %s ----------\n", title.c_str());
  std::fflush(out_);
}

void Timeline::Print(const char* source, const std::string& text) {
  std::lock_guard<std::mutex> lock(lock_);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - reference_);
  std::fprintf(out_, "%+7lld ms  %-8s %s\n", static_cast<long long>(elapsed.count()), source,
               text.c_str());
  std::fflush(out_);
}

}  // namespace demo_host
