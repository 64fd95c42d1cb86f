// Windows only: exit waits on the system thread pool
// (RegisterWaitForSingleObject).
//
// Each registration watches a duplicate of the process handle, so that the
// caller may close its own handle while the wait is still registered; the
// duplicate is closed only once the wait is unregistered and no callback can
// touch it any more.
#include "platform/exit_wait.h"

#include <windows.h>

#include <mutex>
#include <unordered_map>

namespace base {
namespace {

struct Registration {
  ExitWaitCallback callback = nullptr;
  void* context = nullptr;
  HANDLE watched = nullptr;  // the duplicate of the process handle

  // Guards the fields below, which the pool thread and the unregistering
  // thread both read.
  std::mutex lock;
  enum class State { kWaiting, kRunning, kDone } state = State::kWaiting;
  DWORD running_thread = 0;
  // Unregistered: a callback that has not started must not start.
  bool cancelled = false;
  // Unregistered without waiting while the callback was queued or running:
  // the pool thread frees the registration when it is done with it.
  bool orphaned = false;
};

void Free(Registration* registration) {
  CloseHandle(registration->watched);
  delete registration;
}

// Unregistering needs the registration behind a wait handle.
std::mutex g_registrations_lock;

std::unordered_map<HANDLE, Registration*>& Registrations() {
  static auto* registrations = new std::unordered_map<HANDLE, Registration*>();
  return *registrations;
}

void CALLBACK OnProcessSignalled(void* parameter, BOOLEAN timer_or_wait_fired) {
  auto* registration = static_cast<Registration*>(parameter);
  bool run;
  {
    std::lock_guard<std::mutex> hold(registration->lock);
    run = !registration->cancelled;
    if (run) {
      registration->state = Registration::State::kRunning;
      registration->running_thread = GetCurrentThreadId();
    }
  }
  if (run)
    registration->callback(registration->context, timer_or_wait_fired ? 1 : 0);

  bool free_now;
  {
    std::lock_guard<std::mutex> hold(registration->lock);
    registration->state = Registration::State::kDone;
    registration->running_thread = 0;
    free_now = registration->orphaned;
  }
  if (free_now)
    Free(registration);
}

}  // namespace

bool RegisterExitWait(ExitWaitHandle* wait, ProcessHandle process, ExitWaitCallback callback,
                      void* context) {
  HANDLE watched = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &watched, SYNCHRONIZE,
                       FALSE, 0)) {
    return false;
  }
  auto* registration = new Registration();
  registration->callback = callback;
  registration->context = context;
  registration->watched = watched;

  // The table stays locked until the wait is in it: a process that has
  // already ended fires at once, and its callback may unregister before
  // RegisterWaitForSingleObject has even returned here.
  std::lock_guard<std::mutex> hold(g_registrations_lock);
  HANDLE wait_handle = nullptr;
  if (!RegisterWaitForSingleObject(&wait_handle, watched, &OnProcessSignalled, registration,
                                   INFINITE, WT_EXECUTEONLYONCE)) {
    const DWORD error = GetLastError();
    Free(registration);
    SetLastError(error);
    return false;
  }
  Registrations()[wait_handle] = registration;
  *wait = wait_handle;
  return true;
}

bool UnregisterExitWait(ExitWaitHandle wait, bool wait_for_running_callback) {
  Registration* registration = nullptr;
  {
    std::lock_guard<std::mutex> hold(g_registrations_lock);
    auto it = Registrations().find(wait);
    if (it == Registrations().end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    registration = it->second;
    Registrations().erase(it);
  }

  bool inside_callback;
  {
    std::lock_guard<std::mutex> hold(registration->lock);
    registration->cancelled = true;
    inside_callback = registration->state == Registration::State::kRunning &&
                      registration->running_thread == GetCurrentThreadId();
  }

  if (wait_for_running_callback && !inside_callback) {
    // INVALID_HANDLE_VALUE: returns only once a running callback has
    // returned, after which the pool never touches the registration again.
    UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
    Free(registration);
    return true;
  }

  // Without waiting the system reports ERROR_IO_PENDING when a callback is
  // queued or running; that callback still holds the registration, so it is
  // freed by whichever of the two finishes last.
  if (UnregisterWaitEx(wait, nullptr) || GetLastError() != ERROR_IO_PENDING) {
    Free(registration);
    return true;
  }
  bool free_now;
  {
    std::lock_guard<std::mutex> hold(registration->lock);
    free_now = registration->state == Registration::State::kDone;
    registration->orphaned = !free_now;
  }
  if (free_now)
    Free(registration);
  return true;
}

}  // namespace base
