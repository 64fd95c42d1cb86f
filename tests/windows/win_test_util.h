// Helpers of the Windows tests: where the test programs lie, temporary
// directories, files written by the child program.
#ifndef TESTS_WINDOWS_WIN_TEST_UTIL_H_
#define TESTS_WINDOWS_WIN_TEST_UTIL_H_

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/utf_string_conversions.h"
#include "tests/support/test_os.h"

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

// A test_os::TempDir with its paths wide, as the system's calls take them.
class TempDir {
 public:
  const std::wstring& path() const { return path_; }
  std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  test_os::TempDir dir_;
  const std::wstring path_ = base::SysUTF8ToWide(dir_.path());
};

using test_os::WaitUntil;

// The content of |path| once it exists, or empty after kGenerousTimeout.
std::string WaitForFile(const std::wstring& path);

// The records the child program writes (length, blank, text, newline).
std::vector<std::string> ParseRecords(const std::string& text);

}  // namespace win_test

#endif  // TESTS_WINDOWS_WIN_TEST_UTIL_H_
