// Linux: a timerfd, armed with timerfd_settime and waited on with read.
#include <errno.h>
#include <stdint.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "watchdog_timer.h"

namespace ipc_core {
namespace {

class TimerFdWatchdog final : public WatchdogTimer {
 public:
  explicit TimerFdWatchdog(int fd) : fd_(fd) {}
  ~TimerFdWatchdog() override { close(fd_); }

  void Arm(std::chrono::nanoseconds delay) override {
    // A zero setting would disarm the timer; the shortest delay fires now.
    long long ns = delay.count() > 0 ? delay.count() : 1;
    itimerspec spec{};
    spec.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
    spec.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    timerfd_settime(fd_, 0, &spec, nullptr);
  }

  void Wait() override {
    uint64_t expirations = 0;
    while (read(fd_, &expirations, sizeof(expirations)) < 0 && errno == EINTR) {
    }
  }

 private:
  const int fd_;
};

}  // namespace

std::unique_ptr<WatchdogTimer> WatchdogTimer::Create() {
  int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  if (fd < 0)
    return nullptr;
  return std::make_unique<TimerFdWatchdog>(fd);
}

}  // namespace ipc_core
