// Windows: a waitable timer, high-resolution where the system has them.
#include <windows.h>

#include "watchdog_timer.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace ipc_core {
namespace {

class WaitableTimerWatchdog final : public WatchdogTimer {
 public:
  explicit WaitableTimerWatchdog(HANDLE timer) : timer_(timer) {}
  ~WaitableTimerWatchdog() override { CloseHandle(timer_); }

  void Arm(std::chrono::nanoseconds delay) override {
    // Relative due times are negative, in 100 ns units; at least one unit.
    long long units = delay.count() / 100;
    LARGE_INTEGER due;
    due.QuadPart = -(units > 0 ? units : 1);
    SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE);
  }

  void Wait() override { WaitForSingleObject(timer_, INFINITE); }

 private:
  const HANDLE timer_;
};

}  // namespace

std::unique_ptr<WatchdogTimer> WatchdogTimer::Create() {
  // An auto-reset timer: one expiry releases one wait. Without the
  // high-resolution kind the expiry comes on the system's clock tick.
  HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                        TIMER_ALL_ACCESS);
  if (!timer)
    timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  if (!timer)
    return nullptr;
  return std::make_unique<WaitableTimerWatchdog>(timer);
}

}  // namespace ipc_core
