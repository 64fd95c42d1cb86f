// Windows only: exit waits on the system thread pool
// (RegisterWaitForSingleObject).
//
// Each registration watches a duplicate of the process handle, so that the
// caller may close its own handle while the wait is still registered.
//
// The pool's callback receives a registration number, not a pointer: it
// looks the registration up in the table and holds it for as long as it
// runs. What this layer promises therefore rests on its own bookkeeping, not
// on the pool's report of whether a callback is queued or running, which
// differs between implementations (one reports ERROR_IO_PENDING only for a
// queued callback, not for a running one), nor on the pool never delivering
// a callback once a wait is unregistered. A callback whose registration is
// gone from the table does nothing.
#include "platform/exit_wait.h"
#include "platform/process_testing.h"

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace base {
namespace {

struct Registration {
  Registration(ExitWaitCallback callback_in, void* context_in, HANDLE watched_in)
      : callback(callback_in), context(context_in), watched(watched_in) {}
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;
  // The last holder, the pool's callback or the unregistering thread, closes
  // the watched handle: by then the wait is unregistered.
  ~Registration() { CloseHandle(watched); }

  const ExitWaitCallback callback;
  void* const context;
  const HANDLE watched;  // the duplicate of the process handle

  // Guards the fields below, which the pool thread and the unregistering
  // thread both use.
  std::mutex lock;
  std::condition_variable callback_returned;
  enum class State { kWaiting, kRunning, kDone } state = State::kWaiting;
  DWORD running_thread = 0;
  // Unregistered: a callback that has not started must not start.
  bool cancelled = false;
};

struct Table {
  std::mutex lock;
  uintptr_t next_number = 1;
  std::unordered_map<uintptr_t, std::shared_ptr<Registration>> by_number;
  std::unordered_map<HANDLE, uintptr_t> number_of_wait;
};

// Leaked: a pool thread may still look a number up while statics are
// destroyed at exit.
Table& Registrations() {
  static auto* table = new Table();
  return *table;
}

void CALLBACK OnProcessSignalled(void* parameter, BOOLEAN timer_or_wait_fired) {
  std::shared_ptr<Registration> registration;
  {
    Table& table = Registrations();
    std::lock_guard<std::mutex> hold(table.lock);
    auto it = table.by_number.find(reinterpret_cast<uintptr_t>(parameter));
    if (it == table.by_number.end())
      return;  // Unregistered already: nothing may run.
    registration = it->second;
  }
  {
    std::lock_guard<std::mutex> hold(registration->lock);
    if (registration->cancelled || registration->state != Registration::State::kWaiting)
      return;
    registration->state = Registration::State::kRunning;
    registration->running_thread = GetCurrentThreadId();
  }
  registration->callback(registration->context, timer_or_wait_fired ? 1 : 0);
  {
    std::lock_guard<std::mutex> hold(registration->lock);
    registration->state = Registration::State::kDone;
    registration->running_thread = 0;
  }
  registration->callback_returned.notify_all();
}

}  // namespace

namespace internal {

bool RegisterExitWaitOS(ExitWaitHandle* wait, ProcessHandle process, ExitWaitCallback callback,
                      void* context) {
  HANDLE watched = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &watched, SYNCHRONIZE,
                       FALSE, 0)) {
    return false;
  }
  auto registration = std::make_shared<Registration>(callback, context, watched);

  // The table stays locked until the wait is in it: a process that has
  // already ended fires at once, and its callback (which looks itself up
  // first) may unregister before RegisterWaitForSingleObject has even
  // returned here.
  Table& table = Registrations();
  std::lock_guard<std::mutex> hold(table.lock);
  const uintptr_t number = table.next_number++;
  HANDLE wait_handle = nullptr;
  if (!RegisterWaitForSingleObject(&wait_handle, watched, &OnProcessSignalled,
                                   reinterpret_cast<void*>(number), INFINITE, WT_EXECUTEONLYONCE)) {
    return false;  // The registration, and with it the duplicate, goes.
  }
  table.by_number[number] = std::move(registration);
  table.number_of_wait[wait_handle] = number;
  *wait = wait_handle;
  return true;
}

bool UnregisterExitWaitOS(ExitWaitHandle wait, bool wait_for_running_callback) {
  std::shared_ptr<Registration> registration;
  {
    Table& table = Registrations();
    std::lock_guard<std::mutex> hold(table.lock);
    auto number = table.number_of_wait.find(wait);
    if (number == table.number_of_wait.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    auto it = table.by_number.find(number->second);
    registration = std::move(it->second);
    table.by_number.erase(it);
    table.number_of_wait.erase(number);
  }

  bool wait_for_callback;
  {
    std::lock_guard<std::mutex> hold(registration->lock);
    registration->cancelled = true;
    const bool inside_callback = registration->state == Registration::State::kRunning &&
                                 registration->running_thread == GetCurrentThreadId();
    wait_for_callback = wait_for_running_callback && !inside_callback;
  }

  if (!wait_for_callback) {
    // Marks the wait for deletion and returns at once. A callback that is
    // queued or running holds the registration itself, and one that starts
    // from now on finds it gone.
    UnregisterWaitEx(wait, nullptr);
    return true;
  }

  // INVALID_HANDLE_VALUE: returns once the pool is done with the wait.
  UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
  // A callback that got hold of the registration and got past the
  // cancellation check is running; it has returned when this returns.
  std::unique_lock<std::mutex> hold(registration->lock);
  registration->callback_returned.wait(
      hold, [&] { return registration->state != Registration::State::kRunning; });
  return true;
}

}  // namespace internal
}  // namespace base
