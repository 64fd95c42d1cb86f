// The child program the Windows process tests start for real. Each argument
// is one action, run in order:
//   --write-args=FILE      the arguments as the system's parser reads them
//   --write-env=FILE       the environment block, entry by entry
//   --write-pid=FILE       this process's id
//   --spawn-grandchild=FILE  starts this program again with --wait and
//                          writes the grandchild's id to FILE
//   --wait                 waits (bounded) until killed
//   --exit=N               exits with code N
// Any other argument is data for --write-args and is skipped.
// Files are written whole under a temporary name and then renamed, so that
// a test never reads half of one. Text is UTF-8, records one per line.
#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "platform/utf_string_conversions.h"

namespace {

// Long enough for any test to kill us first, short enough that a child
// left behind by a crashed test goes away on its own.
constexpr DWORD kWaitLimitMs = 60000;

// An action that could not be carried out.
constexpr int kBadActionExitCode = 90;

bool WriteWhole(const std::wstring& path, const std::string& content) {
  const std::wstring temporary = path + L".partial";
  HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == content.size() &&
         MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// Records: length, a blank, the text, a newline; any text survives.
void AppendRecord(std::string* out, const std::string& text) {
  out->append(std::to_string(text.size())).append(" ").append(text).append("\n");
}

bool SpawnGrandchild(const std::wstring& pid_file) {
  wchar_t self[MAX_PATH];
  if (!GetModuleFileNameW(nullptr, self, MAX_PATH))
    return false;
  std::wstring line = L"\"" + std::wstring(self) + L"\" --wait";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return WriteWhole(pid_file, std::to_string(info.dwProcessId));
}

}  // namespace

int wmain() {
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!argv)
    return kBadActionExitCode;
  std::vector<std::wstring> args(argv, argv + count);
  LocalFree(argv);

  for (size_t i = 1; i < args.size(); ++i) {
    const std::wstring& arg = args[i];
    const size_t equals = arg.find(L'=');
    const std::wstring name = arg.substr(0, equals);
    const std::wstring value = equals == std::wstring::npos ? L"" : arg.substr(equals + 1);
    bool ok = true;
    if (name == L"--write-args") {
      std::string report;
      for (const std::wstring& a : args)
        AppendRecord(&report, base::SysWideToUTF8(a));
      ok = WriteWhole(value, report);
    } else if (name == L"--write-env") {
      std::string report;
      wchar_t* block = GetEnvironmentStringsW();
      for (const wchar_t* entry = block; entry && *entry; entry += wcslen(entry) + 1)
        AppendRecord(&report, base::SysWideToUTF8(entry));
      FreeEnvironmentStringsW(block);
      ok = WriteWhole(value, report);
    } else if (name == L"--write-pid") {
      ok = WriteWhole(value, std::to_string(GetCurrentProcessId()));
    } else if (name == L"--spawn-grandchild") {
      ok = SpawnGrandchild(value);
    } else if (name == L"--wait") {
      Sleep(kWaitLimitMs);
    } else if (name == L"--exit") {
      return _wtoi(value.c_str());
    }
    if (!ok)
      return kBadActionExitCode;
  }
  return 0;
}
