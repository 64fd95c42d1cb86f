// Windows only: a process held through its process HANDLE.
#include "platform/process.h"

#include <windows.h>

#include <utility>

#include "platform/last_error.h"

namespace base {
namespace {

DWORD ToWaitMilliseconds(std::chrono::milliseconds timeout) {
  if (timeout.count() < 0)
    return INFINITE;
  // INFINITE is 0xFFFFFFFF: longer finite waits stop just short of it.
  if (timeout.count() >= static_cast<long long>(INFINITE))
    return INFINITE - 1;
  return static_cast<DWORD>(timeout.count());
}

}  // namespace

Process::Process(ProcessId pid, ProcessHandle handle) : pid_(pid), handle_(handle) {}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, 0)),
      handle_(std::exchange(other.handle_, kNullProcessHandle)) {}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    Close();
    pid_ = std::exchange(other.pid_, 0);
    handle_ = std::exchange(other.handle_, kNullProcessHandle);
  }
  return *this;
}

Process::~Process() {
  Close();
}

bool Process::IsValid() const {
  return handle_ != kNullProcessHandle;
}

ProcessId Process::Pid() const {
  return IsValid() ? pid_ : 0;
}

ProcessHandle Process::Handle() const {
  return handle_;
}

bool Process::TerminateOS(int exit_code, bool wait) const {
  if (!IsValid())
    return false;
  if (!TerminateProcess(handle_, static_cast<UINT>(exit_code))) {
    // A process that has already ended refuses with ERROR_ACCESS_DENIED;
    // it is as terminated as it will ever be.
    const DWORD error = GetLastError();
    if (!HasExited()) {
      SetLastError(error);
      return false;
    }
    return true;
  }
  return !wait || WaitForExitWithTimeout(kTerminateWaitTimeout, nullptr);
}

bool Process::HasExitedOS() const {
  return IsValid() && WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0;
}

bool Process::WaitForExitWithTimeoutOS(std::chrono::milliseconds timeout, int* exit_code) const {
  if (!IsValid())
    return false;
  if (WaitForSingleObject(handle_, ToWaitMilliseconds(timeout)) != WAIT_OBJECT_0)
    return false;
  DWORD status = 0;
  if (!GetExitCodeProcess(handle_, &status))
    status = static_cast<DWORD>(-1);
  if (exit_code)
    *exit_code = static_cast<int>(status);
  return true;
}

void Process::CloseOS() {
  if (!IsValid())
    return;
  ScopedLastErrorKeeper keep_last_error;
  CloseHandle(handle_);
  handle_ = kNullProcessHandle;
  pid_ = 0;
}

}  // namespace base
