// POSIX only (Linux): exit waits and the reaper on one epoll thread.
//
// A pidfd becomes readable when its process ends, and stays readable, also
// after the process has been reaped. One thread waits on all registered
// pidfds with epoll; epoll_ctl from other threads takes effect in a running
// epoll_wait, so registering needs no wake-up of the thread.
#include "platform/exit_wait.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/exit_watcher_posix.h"
#include "platform/last_error.h"
#include "platform/logging.h"
#include "platform/process_testing.h"

namespace base {
namespace {

constexpr int kMaxEventsPerWake = 16;

class ExitWatcher {
 public:
  // The one watcher of the process, started on first use and never stopped:
  // waits may be registered and callbacks run until the process ends.
  static ExitWatcher& Get() {
    static ExitWatcher* const watcher = new ExitWatcher();
    return *watcher;
  }

  bool Register(ExitWaitHandle* wait, int pidfd, ExitWaitCallback callback, void* context) {
    // The duplicate keeps the registration independent of the caller's
    // handle, which may be closed before the wait is cancelled.
    const int watched = fcntl(pidfd, F_DUPFD_CLOEXEC, 0);
    if (watched < 0)
      return false;
    std::lock_guard<std::mutex> hold(lock_);
    const uint64_t id = next_id_++;
    if (!Watch(watched, id)) {
      ScopedLastErrorKeeper keep;
      close(watched);
      return false;
    }
    Entry& entry = entries_[id];
    entry.fd = watched;
    entry.callback = callback;
    entry.context = context;
    *wait = id;
    return true;
  }

  void Reap(int pidfd) {
    std::lock_guard<std::mutex> hold(lock_);
    const uint64_t id = next_id_++;
    if (!Watch(pidfd, id)) {
      // Cannot happen short of running out of memory; the child is left a
      // zombie rather than blocking the caller on it.
      close(pidfd);
      return;
    }
    Entry& entry = entries_[id];
    entry.fd = pidfd;
    entry.reap_only = true;
  }

  bool Unregister(ExitWaitHandle wait, bool wait_for_running_callback) {
    std::unique_lock<std::mutex> hold(lock_);
    auto it = entries_.find(wait);
    if (it == entries_.end() || it->second.reap_only || it->second.unregistered) {
      hold.unlock();
      LOG(ERROR) << "UnregisterExitWait refused: unknown wait " << wait;
      SetLastSystemError(EINVAL);
      return false;
    }
    Entry& entry = it->second;
    switch (entry.state) {
      case State::kWatching:
        epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, entry.fd, nullptr);
        close(entry.fd);
        entries_.erase(it);
        return true;
      case State::kRunning:
        // Only the watcher thread runs callbacks, one at a time: if that is
        // us, we are inside this very callback and must not wait for it.
        if (!wait_for_running_callback || std::this_thread::get_id() == thread_id_) {
          entry.unregistered = true;
          return true;
        }
        callback_done_.wait(hold, [&] {
          auto found = entries_.find(wait);
          return found == entries_.end() || found->second.state != State::kRunning;
        });
        entries_.erase(wait);
        return true;
      case State::kDone:
        entries_.erase(it);
        return true;
    }
    return false;
  }

 private:
  enum class State { kWatching, kRunning, kDone };

  struct Entry {
    int fd = -1;
    ExitWaitCallback callback = nullptr;
    void* context = nullptr;
    // A child let go by Process::Close: reap it, call nobody.
    bool reap_only = false;
    State state = State::kWatching;
    // Unregistered from inside its own callback: forget it once that returns.
    bool unregistered = false;
  };

  ExitWatcher() {
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd_ < 0)
      abort();
    // The thread must not take the host's signals: block them all in it.
    sigset_t all_signals;
    sigset_t previous_mask;
    sigfillset(&all_signals);
    pthread_sigmask(SIG_SETMASK, &all_signals, &previous_mask);
    std::thread thread([this] { Run(); });
    pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
    std::lock_guard<std::mutex> hold(lock_);
    thread_id_ = thread.get_id();
    thread.detach();
  }

  // Requires |lock_|.
  bool Watch(int fd, uint64_t id) {
    struct epoll_event event = {};
    event.events = EPOLLIN;
    event.data.u64 = id;
    return epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) == 0;
  }

  void Run() {
    struct epoll_event events[kMaxEventsPerWake];
    for (;;) {
      const int count = epoll_wait(epoll_fd_, events, kMaxEventsPerWake, -1);
      for (int i = 0; i < count; ++i)
        Fire(events[i].data.u64);
    }
  }

  // An earlier callback of the same batch may have unregistered this entry,
  // or a new entry may have been registered: the entry is looked up afresh by
  // its number, which is never reused.
  void Fire(uint64_t id) {
    std::unique_lock<std::mutex> hold(lock_);
    auto it = entries_.find(id);
    if (it == entries_.end() || it->second.state != State::kWatching)
      return;
    Entry& entry = it->second;
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, entry.fd, nullptr);
    if (entry.reap_only) {
      siginfo_t info = {};
      while (waitid(P_PIDFD, static_cast<id_t>(entry.fd), &info, WEXITED | WNOHANG) != 0 &&
             errno == EINTR) {
      }
      close(entry.fd);
      entries_.erase(it);
      return;
    }
    close(entry.fd);
    entry.fd = -1;
    entry.state = State::kRunning;
    const ExitWaitCallback callback = entry.callback;
    void* const context = entry.context;
    hold.unlock();
    callback(context, 0);
    hold.lock();
    // Unregister erases a running entry only once it has left kRunning, so
    // it is still there; the map may have rehashed, hence the new lookup.
    it = entries_.find(id);
    if (it->second.unregistered)
      entries_.erase(it);
    else
      it->second.state = State::kDone;
    callback_done_.notify_all();
  }

  std::mutex lock_;
  std::condition_variable callback_done_;
  int epoll_fd_ = -1;
  std::thread::id thread_id_;
  uint64_t next_id_ = 1;
  std::unordered_map<uint64_t, Entry> entries_;
};

}  // namespace

namespace internal {

bool RegisterExitWaitOS(ExitWaitHandle* wait, ProcessHandle process, ExitWaitCallback callback,
                      void* context) {
  if (!wait || process == kNullProcessHandle || !callback) {
    LOG(ERROR) << "RegisterExitWait refused: missing wait, process handle or callback";
    SetLastSystemError(EINVAL);
    return false;
  }
  return ExitWatcher::Get().Register(wait, process, callback, context);
}

bool UnregisterExitWaitOS(ExitWaitHandle wait, bool wait_for_running_callback) {
  return ExitWatcher::Get().Unregister(wait, wait_for_running_callback);
}

void ReapWhenExited(int pidfd) {
  ExitWatcher::Get().Reap(pidfd);
}

}  // namespace internal
}  // namespace base
