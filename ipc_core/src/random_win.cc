// Windows only: the system's preferred cryptographic generator.
#include "random.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>

namespace ipc_core {

bool FillRandomBytes(uint8_t* out, size_t size) {
  // BCryptGenRandom takes a 32-bit length.
  constexpr size_t kMaxChunk = 1u << 30;
  while (size > 0) {
    const size_t chunk = std::min(size, kMaxChunk);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, static_cast<ULONG>(chunk),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      return false;
    }
    out += chunk;
    size -= chunk;
  }
  return true;
}

}  // namespace ipc_core
