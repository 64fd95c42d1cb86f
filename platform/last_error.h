// The calling thread's last system error: GetLastError/SetLastError on
// Windows, errno on POSIX. Platform calls that fail leave their cause here,
// so that callers can log it after the fact.
#ifndef PLATFORM_LAST_ERROR_H_
#define PLATFORM_LAST_ERROR_H_

#include <cstdint>

namespace base {

// A Windows error code or an errno value; 0 means no error.
using SystemErrorCode = uint32_t;

SystemErrorCode GetLastSystemError();
void SetLastSystemError(SystemErrorCode code);

// Keeps the thread's last system error across a scope that may disturb it
// (closing a handle, logging).
class ScopedLastErrorKeeper {
 public:
  ScopedLastErrorKeeper() : saved_(GetLastSystemError()) {}
  ScopedLastErrorKeeper(const ScopedLastErrorKeeper&) = delete;
  ScopedLastErrorKeeper& operator=(const ScopedLastErrorKeeper&) = delete;
  ~ScopedLastErrorKeeper() { SetLastSystemError(saved_); }

 private:
  const SystemErrorCode saved_;
};

}  // namespace base

#endif  // PLATFORM_LAST_ERROR_H_
