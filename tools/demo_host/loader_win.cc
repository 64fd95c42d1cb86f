// Windows only.
#include "tools/demo_host/library_loader.h"

#include <windows.h>

namespace demo_host {
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

std::string Utf8(const std::wstring& wide) {
  if (wide.empty())
    return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size,
                      nullptr, nullptr);
  return utf8;
}

}  // namespace

std::string DefaultAgentLibraryPath() {
  constexpr char kFileName[] = "snipping_tool_agent.dll";
  wchar_t path[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  if (length == 0 || length >= MAX_PATH * 4)
    return std::string(".\\") + kFileName;
  const std::wstring self(path, length);
  const size_t slash = self.find_last_of(L"\\/");
  return Utf8(self.substr(0, slash == std::wstring::npos ? 0 : slash + 1)) + kFileName;
}

void* LoadLibraryAndResolve(const std::string& utf8_path, const char* symbol, std::string* error) {
  // The altered search path makes the DLL's own dependencies resolve next
  // to it, not next to the host.
  HMODULE library = LoadLibraryExW(Wide(utf8_path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!library) {
    *error = "LoadLibraryExW failed: error " + std::to_string(GetLastError());
    return nullptr;
  }
  FARPROC address = GetProcAddress(library, symbol);
  if (!address) {
    *error = std::string(symbol) + " not found: error " + std::to_string(GetLastError());
    return nullptr;
  }
  return reinterpret_cast<void*>(address);
}

}  // namespace demo_host
