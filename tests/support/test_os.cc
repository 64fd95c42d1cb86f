// What the test helpers do the same way on every platform, on top of the
// per-platform parts in test_os_<os>.cc.
#include "tests/support/test_os.h"

#include <filesystem>
#include <system_error>
#include <thread>

namespace test_os {

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

TempDir::~TempDir() {
  if (path_.empty())
    return;
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::u8path(path_), ignored);
}

std::string TempDir::File(const std::string& name) const {
  return JoinPath(path_, name);
}

void KillSurvivors(const std::vector<int>& pids) {
  for (const int pid : pids) {
    if (ProcessRunning(pid))
      KillProcess(pid);
  }
}

}  // namespace test_os
