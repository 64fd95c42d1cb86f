#include "tests/windows/win_test_util.h"

#include <windows.h>

#include <thread>

namespace win_test {

std::wstring ExecutableDirectory() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length);
  return directory.substr(0, directory.find_last_of(L"\\/"));
}

std::wstring ChildProgram() {
  return ExecutableDirectory() + L"\\win_test_child.exe";
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

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty())
    return std::wstring();
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
  return wide;
}

TempDir::TempDir() {
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  static LONG counter = 0;
  for (;;) {
    path_ = std::wstring(base) + L"snipping_win_test_" + std::to_wstring(GetCurrentProcessId()) +
            L"_" + std::to_wstring(InterlockedIncrement(&counter));
    if (CreateDirectoryW(path_.c_str(), nullptr) || GetLastError() != ERROR_ALREADY_EXISTS)
      break;
  }
}

TempDir::~TempDir() {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path_ + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      DeleteFileW(File(found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(path_.c_str());
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string WaitForFile(const std::wstring& path) {
  std::string content;
  WaitUntil([&] {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
      return false;
    char buffer[4096];
    DWORD read = 0;
    content.clear();
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
      content.append(buffer, read);
    CloseHandle(file);
    return true;
  });
  return content;
}

std::vector<std::string> ParseRecords(const std::string& text) {
  std::vector<std::string> records;
  size_t at = 0;
  while (at < text.size()) {
    const size_t blank = text.find(' ', at);
    if (blank == std::string::npos)
      break;
    const size_t length = std::stoul(text.substr(at, blank - at));
    records.push_back(text.substr(blank + 1, length));
    at = blank + 1 + length + 1;
  }
  return records;
}

}  // namespace win_test
