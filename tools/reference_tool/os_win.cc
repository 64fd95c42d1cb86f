// Windows only.
#include "tools/reference_tool/os.h"

#include <windows.h>

#include <shellapi.h>

#include "tools/reference_tool/switches.h"

namespace reference_tool {
namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty())
    return std::wstring();
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                       nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
  return wide;
}

std::string Utf8(const wchar_t* wide) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1)
    return std::string();
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), size, nullptr, nullptr);
  utf8.resize(static_cast<size_t>(size) - 1);
  return utf8;
}

}  // namespace

std::FILE* OpenFileUtf8(const std::string& utf8_path, const char* mode) {
  return _wfopen(Wide(utf8_path).c_str(), Wide(mode).c_str());
}

void RemoveFileUtf8(const std::string& utf8_path) {
  DeleteFileW(Wide(utf8_path).c_str());
}

std::vector<std::string> ArgumentsUtf8(int, char**) {
  // The narrow argv is in the ANSI code page; read the wide command line.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; wide && i < count; ++i)
    args.push_back(Utf8(wide[i]));
  LocalFree(wide);
  return args;
}

int64_t SpawnSleeper(int ms, SleeperKind kind, std::string* error) {
  wchar_t self[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  if (length == 0 || length >= MAX_PATH * 4) {
    *error = "cannot find the own executable: error " + std::to_string(GetLastError());
    return -1;
  }
  std::wstring command_line = L"\"" + std::wstring(self) + L"\" --" + Wide(kSleepSwitch) + L"=" +
                              std::to_wstring(ms);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  // No inherited handles: the sleeper must hold no pipe of ours.
  const DWORD flags =
      CREATE_NO_WINDOW | (kind == SleeperKind::kChild ? 0 : CREATE_NEW_PROCESS_GROUP);
  if (!CreateProcessW(self, command_line.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                      &startup, &info)) {
    *error = "CreateProcessW failed: error " + std::to_string(GetLastError());
    return -1;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return static_cast<int64_t>(info.dwProcessId);
}

int64_t CurrentProcessId() {
  return static_cast<int64_t>(GetCurrentProcessId());
}

}  // namespace reference_tool
