// Support for process-wide objects created on first use without a lock.
#ifndef PLATFORM_LAZY_INSTANCE_H_
#define PLATFORM_LAZY_INSTANCE_H_

#include <atomic>
#include <cstdint>
#include <thread>

namespace base {
namespace internal {

// State word values: 0 not created, 1 being created, anything else the
// address of the instance.
constexpr uintptr_t kLazyInstanceStateCreating = 1;

// Waits until another thread, which moved |state| from 0 to 1, has stored
// the instance's address (or given up and stored 0 again), and returns the
// word: the address, or 0 when the creation failed.
inline uintptr_t WaitForInstance(std::atomic<uintptr_t>* state) {
  uintptr_t value;
  while ((value = state->load(std::memory_order_acquire)) == kLazyInstanceStateCreating)
    std::this_thread::yield();
  return value;
}

}  // namespace internal
}  // namespace base

#endif  // PLATFORM_LAZY_INSTANCE_H_
