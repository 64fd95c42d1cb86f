#include "runtime.h"

#include <chrono>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>

#include "ipc_core/testing.h"

namespace ipc_core {
namespace {

std::atomic<Runtime*> g_runtime{nullptr};
thread_local CallbackFrame* t_top_frame = nullptr;
thread_local bool t_runtime_thread = false;

std::atomic<int> g_live_objects{0};
std::atomic<int32_t> g_injected_start_failure{0};
std::atomic<int32_t> g_injected_create_failure{0};
std::atomic<testing::ServiceHostFactory*> g_service_host_factory{nullptr};
std::atomic<int32_t> g_start_success_delay_ms{0};
// Long enough for a tool that is slow to start, short enough that a stray
// connection does not hold a slot for long.
constexpr int32_t kDefaultHelloTimeoutMs = 5000;
std::atomic<int32_t> g_hello_timeout_ms{kDefaultHelloTimeoutMs};

}  // namespace

Runtime::Runtime(LogCallback log_callback)
    : work_(asio::make_work_guard(io_)), log_callback_(log_callback) {}

Runtime* Runtime::Init(LogCallback log_callback) {
  static std::once_flag once;
  bool created = false;
  std::call_once(once, [&] {
    // Deliberately leaked: the threads run until the process ends, and the
    // runtime must outlive every static that might still hold a host.
    auto* runtime = new Runtime(log_callback);
    // Asio's error categories are function statics destroyed at exit. Made
    // here, they are destroyed after OnProcessExit has run, which keeps the
    // threads from comparing error codes against destroyed categories.
    asio::error::get_system_category();
    asio::error::get_netdb_category();
    asio::error::get_addrinfo_category();
    asio::error::get_misc_category();
    runtime->threads_running_.store(kThreadCount);
    for (int i = 0; i < kThreadCount; ++i)
      std::thread([runtime] { runtime->ThreadMain(); }).detach();
    g_runtime.store(runtime, std::memory_order_release);
    std::atexit(&Runtime::OnProcessExit);
    created = true;
  });
  Runtime* runtime = g_runtime.load(std::memory_order_acquire);
  if (!created)
    runtime->log_callback_.store(log_callback, std::memory_order_release);
  return runtime;
}

Runtime* Runtime::Get() { return g_runtime.load(std::memory_order_acquire); }

void Runtime::ThreadMain() {
  t_runtime_thread = true;
  for (;;) {
    try {
      io_.run();
      threads_running_.fetch_sub(1);
      return;
    } catch (const std::exception& e) {
      // A throwing handler must not take the process down with it; the
      // thread goes back to serving the others.
      Log(kLogError, __FILE__, __LINE__, 0, std::string("runtime handler threw: ") + e.what());
    } catch (...) {
      Log(kLogError, __FILE__, __LINE__, 0, "runtime handler threw");
    }
  }
}

void Runtime::OnProcessExit() {
  // The threads are never joined, but at exit they must be idle: statics are
  // about to be destroyed under them. Stopping the loop lets each finish the
  // handler it is in; one stuck in a foreign callback (or the thread calling
  // exit() itself) is not waited for beyond a short bound.
  Runtime* runtime = Get();
  runtime->io_.stop();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
  while (runtime->threads_running_.load() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void Runtime::Log(int severity, const char* file, int line, int64_t connection_id,
                  const std::string& text) {
  LogCallback callback = log_callback_.load(std::memory_order_acquire);
  if (callback)
    callback(severity, file, line, connection_id, text.c_str());
}

LogRecord::~LogRecord() {
  if (Runtime* runtime = Runtime::Get())
    runtime->Log(severity_, file_, line_, connection_id_, stream_.str());
}

ScopedCallbackFrame::ScopedCallbackFrame(const void* owner) : frame_{owner, false, t_top_frame} {
  t_top_frame = &frame_;
}

ScopedCallbackFrame::~ScopedCallbackFrame() { t_top_frame = frame_.below; }

bool OnRuntimeThread() { return t_runtime_thread; }

int MarkCallbackFramesExempt(const void* owner) {
  int count = 0;
  for (CallbackFrame* f = t_top_frame; f; f = f->below) {
    if (f->owner == owner && !f->exempt) {
      f->exempt = true;
      ++count;
    }
  }
  return count;
}

void CountLiveRuntimeObject(int delta) { g_live_objects.fetch_add(delta); }

int32_t TakeInjectedStartFailure() { return g_injected_start_failure.exchange(0); }
testing::ServiceHostFactory* InstalledServiceHostFactory() {
  return g_service_host_factory.load();
}
int32_t TakeInjectedCreateFailure() { return g_injected_create_failure.exchange(0); }
int32_t StartSuccessDelayMs() { return g_start_success_delay_ms.load(); }
int32_t HelloTimeoutMs() { return g_hello_timeout_ms.load(); }

namespace testing {

int LiveObjectCount() { return g_live_objects.load(); }

void SetServiceHostFactory(ServiceHostFactory* factory) { g_service_host_factory.store(factory); }

void FailNextStart(int32_t error_code) { g_injected_start_failure.store(error_code); }
void FailNextCreate(int32_t error_code) { g_injected_create_failure.store(error_code); }
void SetStartSuccessDelayMs(int32_t delay_ms) { g_start_success_delay_ms.store(delay_ms); }
void SetHelloTimeoutMs(int32_t timeout_ms) {
  g_hello_timeout_ms.store(timeout_ms > 0 ? timeout_ms : kDefaultHelloTimeoutMs);
}

}  // namespace testing

}  // namespace ipc_core
