// A one-shot timer that one thread arms and another waits on. Arming it is
// one system call and wakes nobody; only the expiry wakes the waiter. The
// runtime's standby thread waits on it while the reactor thread runs foreign
// code (see runtime.h).
#ifndef IPC_CORE_SRC_WATCHDOG_TIMER_H_
#define IPC_CORE_SRC_WATCHDOG_TIMER_H_

#include <chrono>
#include <memory>

namespace ipc_core {

class WatchdogTimer {
 public:
  // Null when the system has no timer to give (out of handles).
  static std::unique_ptr<WatchdogTimer> Create();

  virtual ~WatchdogTimer() = default;
  // Makes the timer fire once, |delay| from now, replacing an earlier
  // setting. Any thread; a delay of zero or less fires at once.
  virtual void Arm(std::chrono::nanoseconds delay) = 0;
  // Blocks until the timer fires (at once if it fired since the last wait).
  virtual void Wait() = 0;
};

}  // namespace ipc_core

#endif  // IPC_CORE_SRC_WATCHDOG_TIMER_H_
