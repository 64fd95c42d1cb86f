#include <windows.h>
// clang-format off: needs windows.h first.
#include <shellapi.h>
// clang-format on

#include "platform/utf_string_conversions.h"
#include "tests/support/test_child.h"

namespace test_support {

std::vector<std::string> OwnArguments(int, char**) {
  // The narrow argv went through the code page; the wide command line,
  // split by the system's own parser, is what a tool really receives.
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 0; wide && i < count; ++i)
    arguments.push_back(base::SysWideToUTF8(wide[i]));
  LocalFree(wide);
  return arguments;
}

std::string OwnProgramPath(int, char**) {
  wchar_t path[32768];
  const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
  return base::SysWideToUTF8(std::wstring_view(path, length < 32768 ? length : 0));
}

std::vector<std::string> OwnDescriptors() {
  return {};
}

}  // namespace test_support
