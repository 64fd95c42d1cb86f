#include "runtime.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "ipc_core/testing.h"

namespace ipc_core {
namespace {

std::atomic<Runtime*> g_runtime{nullptr};
thread_local CallbackFrame* t_top_frame = nullptr;
thread_local bool t_runtime_thread = false;
// Set on the reactor thread when a standby thread watches it.
thread_local Runtime* t_watched = nullptr;
thread_local int t_foreign_depth = 0;

int64_t SteadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::atomic<int> g_live_objects{0};
std::atomic<int32_t> g_injected_start_failure{0};
std::atomic<int32_t> g_injected_create_failure{0};
std::atomic<testing::ServiceHostFactory*> g_service_host_factory{nullptr};
std::atomic<int32_t> g_start_success_delay_ms{0};
// A tool sends its hello right after connecting, so this is a bound on the
// loopback round trip plus scheduling, not on the tool's start-up: short, so
// that a silent connection does not hold a slot of the opening table long.
constexpr int32_t kDefaultHelloTimeoutMs = 1000;
std::atomic<int32_t> g_hello_timeout_ms{kDefaultHelloTimeoutMs};

std::atomic<int> g_unauthenticated{0};
std::atomic<int> g_max_unauthenticated{0};
std::atomic<size_t> g_max_pre_hello_buffered{0};
std::atomic<long> g_accept_failures{0};

template <typename T>
void RaiseTo(std::atomic<T>& peak, T value) {
  T seen = peak.load();
  while (value > seen && !peak.compare_exchange_weak(seen, value)) {
  }
}

// Peer records: this many of each severity per interval are written, the
// rest summed up. Separate counts keep a burst of routine lines (accepted,
// closed) from hiding the first warnings.
constexpr int kPeerRecordsPerInterval = 10;
constexpr auto kPeerRecordInterval = std::chrono::seconds(10);

struct PeerRecordLimiter {
  std::mutex mu;
  std::chrono::steady_clock::time_point interval_start;
  int written[3] = {0, 0, 0};
  long suppressed = 0;
  bool summary_armed = false;
  std::unique_ptr<asio::steady_timer> timer;
};
PeerRecordLimiter* g_peer_records = new PeerRecordLimiter;

}  // namespace

Runtime::Runtime(LogCallback log_callback)
    : work_(asio::make_work_guard(io_)),
      log_callback_(log_callback),
      watchdog_(WatchdogTimer::Create()) {}

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
    static_assert(kThreadCount == 2, "one reactor thread and one standby thread");
    bool watched = runtime->watchdog_ != nullptr;
    std::thread([runtime, watched] { runtime->ServeMain(watched); }).detach();
    if (watched)
      std::thread([runtime] { runtime->StandbyMain(); }).detach();
    else
      std::thread([runtime] { runtime->ServeMain(false); }).detach();
    g_runtime.store(runtime, std::memory_order_release);
    std::atexit(&Runtime::OnProcessExit);
    created = true;
  });
  Runtime* runtime = g_runtime.load(std::memory_order_acquire);
  if (!created)
    runtime->log_callback_.store(log_callback, std::memory_order_release);
  if (created && !runtime->watchdog_) {
    IPC_LOG(kLogWarning, 0) << "no watchdog timer: both runtime threads serve the sockets";
  }
  return runtime;
}

Runtime* Runtime::Get() { return g_runtime.load(std::memory_order_acquire); }

void Runtime::ServeMain(bool reactor) {
  t_runtime_thread = true;
  if (reactor)
    t_watched = this;
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

void Runtime::EnterForeign() {
  // Only this thread writes the call count.
  foreign_calls_.store(foreign_calls_.load(std::memory_order_relaxed) + 1,
                       std::memory_order_relaxed);
  foreign_since_.store(std::max<int64_t>(SteadyNanoseconds(), 1));
  // Sequentially consistent with the standby thread's clearing of
  // |watch_armed_| and its second look at |foreign_since_|: either that look
  // sees this call, or this load sees the timer resting and arms it.
  if (!watch_armed_.load() && !watch_armed_.exchange(true))
    watchdog_->Arm(kStandbyDelay);
}

void Runtime::LeaveForeign() {
  foreign_since_.store(0);
  // The standby thread, serving because this call blocked, may sit in the
  // reactor: an empty handler lets it return and go back to its timer.
  if (standby_serving_.load())
    asio::post(io_, [] {});
}

void Runtime::StandbyMain() {
  t_runtime_thread = true;
  for (;;) {
    watchdog_->Wait();
    if (exiting_.load() || io_.stopped())
      break;
    WatchReactor();
  }
  threads_running_.fetch_sub(1);
}

void Runtime::WatchReactor() {
  const int64_t delay =
      std::chrono::duration_cast<std::chrono::nanoseconds>(kStandbyDelay).count();
  for (;;) {
    if (io_.stopped())
      return;
    uint64_t call = foreign_calls_.load();
    int64_t since = foreign_since_.load();
    if (since != 0 && foreign_calls_.load() != call)
      continue;  // a call ended and another began between the two loads
    int64_t now = SteadyNanoseconds();
    if (since != 0 && now - since >= delay) {
      ServeWhileBlocked(call);
      continue;
    }
    if (since != 0) {
      watchdog_->Arm(std::chrono::nanoseconds(since + delay - now));
      return;
    }
    if (call != calls_seen_) {
      // Callbacks keep coming: stay armed rather than have the reactor
      // thread arm the timer again for the next one.
      calls_seen_ = call;
      watchdog_->Arm(kStandbyDelay);
      return;
    }
    watch_armed_.store(false);
    if (foreign_since_.load() == 0 || watch_armed_.exchange(true))
      return;
    // A call began after the first look and found the timer still armed.
  }
}

void Runtime::ServeWhileBlocked(uint64_t call) {
  standby_serving_.store(true);
  // Sequentially consistent with LeaveForeign: either the loop sees the call
  // ended, or the reactor thread sees |standby_serving_| and posts the
  // handler that gets this thread out of run_one.
  while (!io_.stopped() && foreign_calls_.load() == call && foreign_since_.load() != 0)
    RunGuarded(true);
  // What the last handler deferred or continued went from this thread's
  // private queue to the shared one without waking anybody: the reactor
  // thread may be asleep in the reactor by now. Run it here.
  RunGuarded(false);
  standby_serving_.store(false);
}

void Runtime::RunGuarded(bool one) {
  try {
    if (one)
      io_.run_one();
    else
      io_.poll();
  } catch (const std::exception& e) {
    Log(kLogError, __FILE__, __LINE__, 0, std::string("runtime handler threw: ") + e.what());
  } catch (...) {
    Log(kLogError, __FILE__, __LINE__, 0, "runtime handler threw");
  }
}

void Runtime::OnProcessExit() {
  // The threads are never joined, but at exit they must be idle: statics are
  // about to be destroyed under them. Stopping the loop lets each finish the
  // handler it is in; one stuck in a foreign callback (or the thread calling
  // exit() itself) is not waited for beyond a short bound.
  Runtime* runtime = Get();
  runtime->exiting_.store(true);
  runtime->io_.stop();
  if (runtime->watchdog_)
    runtime->watchdog_->Arm(std::chrono::nanoseconds(0));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
  while (runtime->threads_running_.load() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void Runtime::Log(int severity, const char* file, int line, int64_t connection_id,
                  const std::string& text) {
  LogCallback callback = log_callback_.load(std::memory_order_acquire);
  if (callback) {
    ForeignCode foreign;
    callback(severity, file, line, connection_id, text.c_str());
  }
}

ForeignCode::ForeignCode() : watched_(t_watched) {
  if (watched_ && t_foreign_depth++ == 0)
    watched_->EnterForeign();
}

ForeignCode::~ForeignCode() {
  if (watched_ && --t_foreign_depth == 0)
    watched_->LeaveForeign();
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

bool AdmitPeerRecord(int severity) {
  int slot = std::min(std::max(severity, 0), 2);
  Runtime* runtime = Runtime::Get();
  if (!runtime)
    return true;
  PeerRecordLimiter& limiter = *g_peer_records;
  std::lock_guard<std::mutex> lock(limiter.mu);
  auto now = std::chrono::steady_clock::now();
  if (!limiter.summary_armed && now - limiter.interval_start >= kPeerRecordInterval) {
    limiter.interval_start = now;
    std::fill(std::begin(limiter.written), std::end(limiter.written), 0);
  }
  if (limiter.written[slot] < kPeerRecordsPerInterval) {
    ++limiter.written[slot];
    return true;
  }
  ++limiter.suppressed;
  if (!limiter.summary_armed) {
    // The summary goes out at the end of the interval even if the flood has
    // stopped by then, and opens the next interval.
    limiter.summary_armed = true;
    if (!limiter.timer)
      limiter.timer = std::make_unique<asio::steady_timer>(runtime->io());
    limiter.timer->expires_at(limiter.interval_start + kPeerRecordInterval);
    limiter.timer->async_wait([&limiter](const std::error_code&) {
      long count;
      {
        std::lock_guard<std::mutex> inner(limiter.mu);
        count = limiter.suppressed;
        limiter.suppressed = 0;
        limiter.summary_armed = false;
        limiter.interval_start = std::chrono::steady_clock::now();
        std::fill(std::begin(limiter.written), std::end(limiter.written), 0);
      }
      IPC_LOG(kLogWarning, 0) << count << " more record(s) about refused, misbehaving or "
                              << "unauthenticated connections in the last "
                              << std::chrono::duration_cast<std::chrono::seconds>(
                                     kPeerRecordInterval)
                                     .count()
                              << " s not written";
    });
  }
  return false;
}

void CountUnauthenticatedConnection(int delta) {
  int now = g_unauthenticated.fetch_add(delta) + delta;
  RaiseTo(g_max_unauthenticated, now);
}

void NotePreHelloBuffered(size_t bytes) { RaiseTo(g_max_pre_hello_buffered, bytes); }

void CountAcceptFailure() { g_accept_failures.fetch_add(1); }

namespace testing {

int UnauthenticatedConnectionCount() { return g_unauthenticated.load(); }
int MaxUnauthenticatedConnectionCount() { return g_max_unauthenticated.load(); }
size_t MaxBufferedPreHelloBytes() { return g_max_pre_hello_buffered.load(); }
long AcceptFailureCount() { return g_accept_failures.load(); }
void ResetConnectionPeaks() {
  g_max_unauthenticated.store(g_unauthenticated.load());
  g_max_pre_hello_buffered.store(0);
}

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
