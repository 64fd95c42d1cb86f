#include "tests/process/test_support.h"

#include <windows.h>
// clang-format off: needs windows.h first.
#include <tlhelp32.h>
// clang-format on

namespace test_support {

std::vector<int> ChildPids() {
  std::vector<int> children;
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return children;
  const DWORD self = GetCurrentProcessId();
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    // A parent id names whoever was the parent at the start; only running
    // processes are children of ours.
    const int pid = static_cast<int>(entry.th32ProcessID);
    if (entry.th32ParentProcessID == self && entry.th32ProcessID != self && test_os::ProcessRunning(pid))
      children.push_back(pid);
  }
  CloseHandle(snapshot);
  return children;
}

std::vector<int> LaunchedChildPids() {
  // Windows jobs need no helper process: every child was launched.
  return ChildPids();
}

}  // namespace test_support
