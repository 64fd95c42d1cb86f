// POSIX only: the last system error is errno.
#include "platform/last_error.h"

#include <cerrno>

namespace base {

SystemErrorCode GetLastSystemError() {
  return static_cast<SystemErrorCode>(errno);
}

void SetLastSystemError(SystemErrorCode code) {
  errno = static_cast<int>(code);
}

}  // namespace base
