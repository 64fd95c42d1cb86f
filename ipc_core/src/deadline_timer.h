// The one timer an end keeps for the deadlines of its pending invokes.
#ifndef IPC_CORE_SRC_DEADLINE_TIMER_H_
#define IPC_CORE_SRC_DEADLINE_TIMER_H_

#include <chrono>
#include <system_error>
#include <utility>

#include "asio.hpp"

namespace ipc_core {

// Stays armed at the earliest deadline it was given; a later one is picked
// up by the owner when it fires. A round trip's invoke therefore leaves the
// timer alone (re-arming it would cost a system call and wake a runtime
// thread for the cancelled wait). Not thread-safe: the owner calls it under
// its own lock.
class EarliestDeadlineTimer {
 public:
  using Clock = std::chrono::steady_clock;

  explicit EarliestDeadlineTimer(asio::io_context& io) : timer_(io) {}

  // Runs |on_deadline| at |deadline| unless the timer is already armed no
  // later than that, or is cancelled first.
  template <typename Fn>
  void ArmAt(Clock::time_point deadline, Fn on_deadline) {
    if (deadline >= armed_)
      return;
    armed_ = deadline;
    timer_.expires_at(deadline);
    timer_.async_wait([on_deadline = std::move(on_deadline)](const std::error_code& ec) {
      if (ec != asio::error::operation_aborted)
        on_deadline();
    });
  }
  // The owner's handler has run: the timer is no longer armed.
  void Fired() { armed_ = Clock::time_point::max(); }
  void Cancel() {
    timer_.cancel();
    armed_ = Clock::time_point::max();
  }

 private:
  asio::steady_timer timer_;
  // When the timer fires; max when it is not armed.
  Clock::time_point armed_ = Clock::time_point::max();
};

}  // namespace ipc_core

#endif  // IPC_CORE_SRC_DEADLINE_TIMER_H_
