// POSIX only: one-time initialisation through std::call_once.
#include "platform/once.h"

#include <cstdlib>
#include <system_error>

namespace base {

void* OnceValue::Get(Create create) {
  try {
    // call_once publishes |value_| to every caller that returns from it.
    std::call_once(flag_, [this, create] { value_ = create(); });
  } catch (const std::system_error&) {
    abort();
  }
  return value_;
}

}  // namespace base
