// Windows only: CreateProcessW, with the child placed in its job while it is
// still suspended.
#include "platform/launch.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/last_error.h"
#include "platform/utf_string_conversions.h"
#include "platform/process_testing.h"

namespace base {
namespace {

// The name of an environment entry "NAME=value". Entries that record the
// current directory of each drive ("=C:=C:\dir") begin with '=', which is
// part of their name.
std::wstring_view EntryName(std::wstring_view entry) {
  const size_t equals = entry.find(L'=', 1);
  return entry.substr(0, equals == std::wstring_view::npos ? entry.size() : equals);
}

// Variable names are case-insensitive on Windows, and the block handed to
// CreateProcessW must be sorted by name in that same ordinal,
// case-insensitive order.
int CompareNames(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE);
}

// The parent's environment with |extra| added or replacing variables of the
// same name, as a sorted UTF-16 block: entries ended by NUL, the block by
// one more NUL.
std::vector<wchar_t> BuildEnvironmentBlock(const std::map<std::string, std::string>& extra) {
  std::vector<std::wstring> entries;
  std::vector<std::wstring> added;
  for (const auto& [name, value] : extra)
    added.push_back(SysUTF8ToWide(name + "=" + value));

  if (wchar_t* parent = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = parent; *entry; entry += wcslen(entry) + 1) {
      const std::wstring_view name = EntryName(entry);
      const bool replaced = std::any_of(added.begin(), added.end(), [&](const std::wstring& a) {
        return CompareNames(EntryName(a), name) == CSTR_EQUAL;
      });
      if (!replaced)
        entries.emplace_back(entry);
    }
    FreeEnvironmentStringsW(parent);
  }
  entries.insert(entries.end(), added.begin(), added.end());
  std::stable_sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
    return CompareNames(EntryName(a), EntryName(b)) == CSTR_LESS_THAN;
  });

  std::vector<wchar_t> block;
  for (const std::wstring& entry : entries) {
    block.insert(block.end(), entry.begin(), entry.end());
    block.push_back(L'\0');
  }
  // An empty block still needs its two terminating NULs.
  if (block.empty())
    block.push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

}  // namespace

namespace internal {

Process LaunchProcessOS(const CommandLine& command_line, const LaunchOptions& options) {
  const std::wstring program = command_line.GetProgram().value();
  // CreateProcessW may write into the command line, so it gets a copy.
  std::wstring line = command_line.GetCommandLineString();

  DWORD flags = CREATE_SUSPENDED;
  std::vector<wchar_t> environment;
  if (!options.environment.empty()) {
    environment = BuildEnvironmentBlock(options.environment);
    flags |= CREATE_UNICODE_ENVIRONMENT;
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  // No handle is inherited: the agent's sockets and the job itself must not
  // leak into the tool. A console child still reaches the console through
  // its own standard handles.
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, flags,
                      environment.empty() ? nullptr : environment.data(), nullptr, &startup,
                      &info)) {
    return Process();
  }

  // Ends the suspended child, keeping the error that made the launch fail.
  auto abandon = [&info] {
    const DWORD error = GetLastError();
    TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    SetLastError(error);
    return Process();
  };

  // The child has run no code yet: once it is in the job, everything it
  // starts is in the job too. A child outside the job would not die with
  // the agent: it must not run.
  if (IsValidJobHandle(options.job_handle) &&
      !AssignProcessToJobObject(options.job_handle, info.hProcess)) {
    return abandon();
  }
  if (ResumeThread(info.hThread) == static_cast<DWORD>(-1))
    return abandon();
  CloseHandle(info.hThread);
  SetLastSystemError(0);
  return Process(info.dwProcessId, info.hProcess);
}

}  // namespace internal
}  // namespace base
