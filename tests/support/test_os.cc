// What the test helpers do the same way on every platform, on top of the
// per-platform parts in test_os_<os>.cc.
#include "tests/support/test_os.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <thread>

#include "tests/support/test_text.h"

namespace test_os {

namespace fs = std::filesystem;

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::error_code error;
  const fs::path base = fs::temp_directory_path(error);
  // A name another process left behind is skipped: creation must be ours.
  for (int attempt = 0; attempt < 100 && path_.empty() && !error; ++attempt) {
    const fs::path dir = base / ("snipping_test_" + std::to_string(CurrentPid()) + "_" +
                                 std::to_string(counter++));
    if (fs::create_directory(dir, error)) {
      fs::permissions(dir, fs::perms::owner_all, error);
      path_ = dir.u8string();
    }
  }
  if (path_.empty())
    fprintf(stderr, "no temporary directory: %s\n", error.message().c_str());
}

TempDir::~TempDir() {
  if (path_.empty())
    return;
  std::error_code ignored;
  fs::remove_all(fs::u8path(path_), ignored);
}

std::string TempDir::File(const std::string& name) const {
  return JoinPath(path_, name);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  return dir + static_cast<char>(fs::path::preferred_separator) + name;
}

bool FileHasContent(const std::string& path) {
  std::error_code error;
  const fs::path file = fs::u8path(path);
  return fs::is_regular_file(file, error) && fs::file_size(file, error) > 0 && !error;
}

std::string EnvironmentVariableOf(int pid, const std::string& name) {
  const std::string prefix = name + "=";
  for (const std::string& entry : EnvironmentOf(pid)) {
    if (entry.compare(0, prefix.size(), prefix) == 0)
      return entry.substr(prefix.size());
  }
  return "";
}

void KillSurvivors(const std::vector<int>& pids) {
  for (const int pid : pids) {
    if (ProcessRunning(pid))
      KillProcess(pid);
  }
}

bool WriteUnlaunchableProgram(const UnlaunchableProgram& program, const std::string& path) {
  if (!program.exists)
    return true;
  if (!test_support::WriteFile(path, program.content))
    return false;
  std::error_code error;
  fs::permissions(fs::u8path(path),
                  program.executable ? fs::perms::owner_all
                                     : fs::perms::owner_read | fs::perms::owner_write,
                  error);
  return !error;
}

}  // namespace test_os
