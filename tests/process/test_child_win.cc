#include <windows.h>
// clang-format off: needs windows.h first.
#include <shellapi.h>
// clang-format on

#include "tests/process/child_protocol.h"
#include "tests/process/test_child_os.h"

namespace test_child {
namespace {

std::string Utf8(const wchar_t* wide, size_t length) {
  if (length == 0)
    return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), &utf8[0], size, nullptr, nullptr);
  return utf8;
}

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty())
    return std::wstring();
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], size);
  return wide;
}

}  // namespace

std::vector<std::string> Arguments(int, char**) {
  // The narrow argv went through the code page; the wide command line,
  // split by the system's own parser, is what a tool really receives.
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 0; wide && i < count; ++i)
    arguments.push_back(Utf8(wide[i], wcslen(wide[i])));
  LocalFree(wide);
  return arguments;
}

std::string ProgramPath(int, char**) {
  wchar_t path[32768];
  const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
  return Utf8(path, length < 32768 ? length : 0);
}

std::vector<std::string> EnvironmentEntries() {
  std::vector<std::string> entries;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* entry = block; entry && *entry; entry += wcslen(entry) + 1) {
    // Entries of the drive's current directories ("=C:=C:\...") are the
    // system's, not the environment's.
    if (entry[0] != L'=')
      entries.push_back(Utf8(entry, wcslen(entry)));
  }
  FreeEnvironmentStringsW(block);
  return entries;
}

std::vector<std::string> OpenDescriptors() {
  return {};
}

int StartWaitingCopy(const std::string& program) {
  SetEnvironmentVariableW(Wide(kActionsVariable).c_str(), L"wait-forever");
  const std::wstring path = Wide(program);
  std::wstring line = L"\"" + path + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  const BOOL started =
      CreateProcessW(path.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
  SetEnvironmentVariableW(Wide(kActionsVariable).c_str(), nullptr);
  if (!started)
    return 0;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return static_cast<int>(info.dwProcessId);
}

void WaitForever() {
  for (;;)
    Sleep(INFINITE);
}

}  // namespace test_child
