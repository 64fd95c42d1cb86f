// Helpers of the Windows tests: where the test programs lie, temporary
// directories, files written by the child program, bounded waits.
#ifndef TESTS_WINDOWS_WIN_TEST_UTIL_H_
#define TESTS_WINDOWS_WIN_TEST_UTIL_H_

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace win_test {

// Upper bound of every wait for something that normally happens at once; it
// only matters when a test is failing.
inline constexpr std::chrono::milliseconds kGenerousTimeout{10000};
// How long a test watches for something that must not happen.
inline constexpr std::chrono::milliseconds kQuietPeriod{200};

// The directory of the test executable; the child program and the probe DLL
// are built next to it.
std::wstring ExecutableDirectory();
// win_test_child.exe.
std::wstring ChildProgram();

std::string Utf8(const std::wstring& wide);
std::wstring Wide(const std::string& utf8);

// A fresh directory under the system's temporary directory, removed with its
// files at destruction.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  const std::wstring& path() const { return path_; }
  std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

// Polls |condition| until it holds or |limit| has passed; its last result.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = kGenerousTimeout);

// The content of |path| once it exists, or empty after kGenerousTimeout.
std::string WaitForFile(const std::wstring& path);

// The records the child program writes (length, blank, text, newline).
std::vector<std::string> ParseRecords(const std::string& text);

}  // namespace win_test

#endif  // TESTS_WINDOWS_WIN_TEST_UTIL_H_
