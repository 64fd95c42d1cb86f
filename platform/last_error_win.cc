// Windows only: the last system error is the thread's GetLastError value.
#include "platform/last_error.h"

#include <windows.h>

namespace base {

SystemErrorCode GetLastSystemError() {
  return static_cast<SystemErrorCode>(GetLastError());
}

void SetLastSystemError(SystemErrorCode code) {
  SetLastError(static_cast<DWORD>(code));
}

}  // namespace base
