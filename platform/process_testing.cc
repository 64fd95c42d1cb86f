// The portable front of launches, process operations and exit waits: the
// installed fake layer, if any, else the OS code (*_posix.cc / *_win.cc).
#include "platform/process_testing.h"

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace base {
namespace {

std::atomic<testing::FakeProcessLayer*> g_layer{nullptr};

testing::FakeProcessLayer* Layer() {
  return g_layer.load(std::memory_order_acquire);
}

// Fake handles lie outside what the OS hands out: negative descriptors
// below -1, or handle values no kernel object has (not a multiple of 4).
template <typename Handle>
Handle HandleOfFakePid(ProcessId pid) {
  if constexpr (std::is_pointer_v<Handle>)
    return reinterpret_cast<Handle>(static_cast<uintptr_t>(pid) * 4 + 1);
  else
    return static_cast<Handle>(-2 - static_cast<int64_t>(pid));
}

template <typename Handle>
ProcessId FakePidOfHandle(Handle handle) {
  if constexpr (std::is_pointer_v<Handle>)
    return static_cast<ProcessId>((reinterpret_cast<uintptr_t>(handle) - 1) / 4);
  else
    return static_cast<ProcessId>(-2 - static_cast<int64_t>(handle));
}

template <typename Wait>
Wait WaitOfNumber(uint64_t number) {
  if constexpr (std::is_pointer_v<Wait>)
    return reinterpret_cast<Wait>(static_cast<uintptr_t>(number) * 4 + 1);
  else
    return static_cast<Wait>(number);
}

template <typename Wait>
uint64_t NumberOfWait(Wait wait) {
  if constexpr (std::is_pointer_v<Wait>)
    return (reinterpret_cast<uintptr_t>(wait) - 1) / 4;
  else
    return static_cast<uint64_t>(wait);
}

}  // namespace

namespace testing {

void SetFakeProcessLayer(FakeProcessLayer* layer) {
  g_layer.store(layer, std::memory_order_release);
}

Process MakeFakeProcess(ProcessId pid) {
  return Process(pid, HandleOfFakePid<ProcessHandle>(pid));
}

ExitWaitHandle MakeFakeExitWait(uint64_t number) {
  return WaitOfNumber<ExitWaitHandle>(number);
}

uint64_t FakeExitWaitNumber(ExitWaitHandle wait) {
  return NumberOfWait(wait);
}

}  // namespace testing

bool PrepareJobObject(JobHandle job) {
  // Under a fake layer nothing is launched for real: no keeper to start.
  if (Layer())
    return IsValidJobHandle(job);
  return internal::PrepareJobObjectOS(job);
}

void internal::NotifyJobClosing(JobHandle job) {
  if (testing::FakeProcessLayer* layer = Layer())
    layer->JobClosing(job);
}

Process LaunchProcess(const CommandLine& command_line, const LaunchOptions& options) {
  if (testing::FakeProcessLayer* layer = Layer())
    return layer->Launch(command_line, options);
  return internal::LaunchProcessOS(command_line, options);
}

bool RegisterExitWait(ExitWaitHandle* wait, ProcessHandle process, ExitWaitCallback callback,
                      void* context) {
  if (testing::FakeProcessLayer* layer = Layer())
    return layer->RegisterExitWait(wait, FakePidOfHandle(process), callback, context);
  return internal::RegisterExitWaitOS(wait, process, callback, context);
}

bool UnregisterExitWait(ExitWaitHandle wait, bool wait_for_running_callback) {
  if (testing::FakeProcessLayer* layer = Layer())
    return layer->UnregisterExitWait(wait, wait_for_running_callback);
  return internal::UnregisterExitWaitOS(wait, wait_for_running_callback);
}

bool Process::Terminate(int exit_code, bool wait) const {
  if (testing::FakeProcessLayer* layer = Layer())
    return IsValid() && layer->Terminate(pid_, wait);
  return TerminateOS(exit_code, wait);
}

bool Process::HasExited() const {
  if (testing::FakeProcessLayer* layer = Layer())
    return IsValid() && layer->HasExited(pid_);
  return HasExitedOS();
}

bool Process::WaitForExitWithTimeout(std::chrono::milliseconds timeout, int* exit_code) const {
  if (testing::FakeProcessLayer* layer = Layer()) {
    if (!IsValid() || !layer->HasExited(pid_))
      return false;
    if (exit_code)
      *exit_code = 0;
    return true;
  }
  return WaitForExitWithTimeoutOS(timeout, exit_code);
}

void Process::Close() {
  if (testing::FakeProcessLayer* layer = Layer()) {
    if (!IsValid())
      return;
    layer->Close(pid_);
    pid_ = 0;
    handle_ = kNullProcessHandle;
    return;
  }
  CloseOS();
}

}  // namespace base
