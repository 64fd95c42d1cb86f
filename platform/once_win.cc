// Windows only: one-time initialisation through InitOnceBeginInitialize.
#include "platform/once.h"

#include <windows.h>

#include <cstdlib>

namespace base {

static_assert(sizeof(INIT_ONCE) == sizeof(void*), "OnceValue holds an INIT_ONCE in a pointer");

void* OnceValue::Get(Create create) {
  // A zeroed pointer is INIT_ONCE_STATIC_INIT, so a constant-initialised
  // OnceValue needs no run-time set-up.
  auto* once = reinterpret_cast<INIT_ONCE*>(&init_once_);
  BOOL pending = FALSE;
  void* value = nullptr;
  // Concurrent callers block here until the first one has completed; the
  // system then hands every caller the stored context.
  if (!InitOnceBeginInitialize(once, 0, &pending, &value))
    abort();
  if (!pending)
    return value;
  value = create();
  // The system keeps the low two bits of the context for itself: the value
  // must be at least 4-byte aligned (every heap object is) or null.
  if (!InitOnceComplete(once, 0, value))
    abort();
  return value;
}

}  // namespace base
