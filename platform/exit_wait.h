// A one-shot notification of a process's end, run on a pool thread
// (RegisterWaitForSingleObject with WT_EXECUTEONLYONCE on Windows).
//
// The callback runs once per registration, on a thread of this layer, when
// the process ends (by itself, by a crash or killed). It runs with no lock of
// this layer held, so it may register or unregister waits, its own included.
//
// The registration watches a duplicate of the process handle: the caller may
// close its own handle while the wait is registered.
//
// On POSIX one long-lived thread, started on first use, watches every
// registered process; callbacks run one after another on it, so a slow
// callback delays the others.
#ifndef PLATFORM_EXIT_WAIT_H_
#define PLATFORM_EXIT_WAIT_H_

#include <cstdint>

#include "platform/process.h"

namespace base {

#if defined(_WIN32)
using ExitWaitHandle = void*;  // the wait HANDLE
#else
using ExitWaitHandle = uint64_t;  // a registration number
#endif

// |timer_or_wait_fired| is 0: waits never time out. The signature matches a
// WAITORTIMERCALLBACK on Windows x64.
using ExitWaitCallback = void (*)(void* context, unsigned char timer_or_wait_fired);

// Calls |callback|(|context|, 0) once when |process| has ended (at once if it
// already has). On success stores the registration in |*wait|; the caller
// must unregister it exactly once, also after the callback has run. False
// (and the last system error set) when the wait could not be registered.
bool RegisterExitWait(ExitWaitHandle* wait, ProcessHandle process, ExitWaitCallback callback,
                      void* context);

// Cancels |wait|. A callback that has not started never will. With
// |wait_for_running_callback|, a callback that is running has returned when
// this returns, except when called from inside that very callback, where
// waiting would never end: then the call returns at once. False for an
// unknown registration.
bool UnregisterExitWait(ExitWaitHandle wait, bool wait_for_running_callback);

}  // namespace base

#endif  // PLATFORM_EXIT_WAIT_H_
