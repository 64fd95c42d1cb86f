// POSIX only (Linux getrandom).
#include "random.h"

#include <errno.h>
#include <sys/random.h>

namespace ipc_core {

bool FillRandomBytes(uint8_t* out, size_t size) {
  while (size > 0) {
    ssize_t got = getrandom(out, size, 0);
    if (got < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    out += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace ipc_core
