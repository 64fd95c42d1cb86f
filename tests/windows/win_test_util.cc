#include "tests/windows/win_test_util.h"

#include <windows.h>

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
