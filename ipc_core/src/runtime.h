// The process-wide part of the IPC runtime: one io_context and its two
// threads, the log sink, and the bookkeeping of which runtime callbacks are
// running on the current thread.
//
// Threads. The reactor thread runs the io_context alone: it waits for the
// sockets and runs every handler inline, so a message that arrives wakes one
// thread and no other (with a second thread in run(), Asio would wake it to
// take over the reactor for every message). Callbacks may block, though,
// and must not stall other traffic: the standby thread waits on a watchdog
// timer that the reactor thread arms, without waking anyone, when foreign
// code (a callback, a release of a caller's object, the log sink) starts on
// it. Foreign code still running when the timer fires (kStandbyDelay) brings
// the standby thread into the io_context until it returns; then the standby
// thread goes back to its timer. The timer stays armed while callbacks keep
// coming, so a busy reactor thread arms it about once per kStandbyDelay.
#ifndef IPC_CORE_SRC_RUNTIME_H_
#define IPC_CORE_SRC_RUNTIME_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include "asio.hpp"
#include "ipc_core/service_host.h"
#include "ipc_core/testing.h"
#include "watchdog_timer.h"

namespace ipc_core {

enum LogSeverity { kLogInfo = 0, kLogWarning = 1, kLogError = 2 };

class Runtime {
 public:
  // The runtime's threads: the reactor thread and the standby thread. Fixed:
  // hosts and clients come and go, the threads stay.
  static constexpr int kThreadCount = 2;
  // How long foreign code may hold the reactor thread before the standby
  // thread takes over the sockets.
  static constexpr std::chrono::milliseconds kStandbyDelay{2};

  // Creates the runtime on the first call; later calls only swap the sink.
  static Runtime* Init(LogCallback log_callback);
  // Null until Init has run.
  static Runtime* Get();

  asio::io_context& io() { return io_; }

  // Hands one record to the sink. Never called with a lock of ours held: the
  // sink is foreign code.
  void Log(int severity, const char* file, int line, int64_t connection_id,
           const std::string& text);

  // Foreign code starts and ends on the reactor thread (ForeignCode).
  void EnterForeign();
  void LeaveForeign();

 private:
  explicit Runtime(LogCallback log_callback);
  // Runs the io_context until it is stopped; |reactor|: this is the thread
  // whose foreign code the standby thread watches.
  void ServeMain(bool reactor);
  void StandbyMain();
  // After the watchdog fired: takes over while foreign code blocks the
  // reactor thread, re-arms the watchdog or lets it rest.
  void WatchReactor();
  // Serves the io_context while call |call| of foreign code runs on the
  // reactor thread.
  void ServeWhileBlocked(uint64_t call);
  // Runs one handler (|one|) or every ready one, logging what throws.
  void RunGuarded(bool one);
  static void OnProcessExit();

  // The hint is the thread count, not 1: with 1, Asio keeps what a handler
  // posts on the posting thread's private queue, where the standby thread
  // could not run it while a callback that posted it blocks.
  asio::io_context io_{kThreadCount};
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::atomic<LogCallback> log_callback_;
  std::atomic<int> threads_running_{0};

  // Null when the system gave no timer: then both threads serve the
  // io_context all the time.
  std::unique_ptr<WatchdogTimer> watchdog_;
  // Set by the reactor thread: the steady-clock nanoseconds at which its
  // current foreign code started (0: none), and the number of foreign calls
  // it has started.
  std::atomic<int64_t> foreign_since_{0};
  std::atomic<uint64_t> foreign_calls_{0};
  // True while the watchdog is set or the standby thread is looking.
  std::atomic<bool> watch_armed_{false};
  // True while the standby thread serves the io_context.
  std::atomic<bool> standby_serving_{false};
  std::atomic<bool> exiting_{false};
  // Standby thread only: foreign calls seen at its last look.
  uint64_t calls_seen_ = 0;
};

// Foreign code about to run on the current thread: a callback, the release of
// a caller's object, the log sink. On the reactor thread it arms the
// standby's watchdog for the scope; elsewhere it does nothing. Nests.
class ForeignCode {
 public:
  ForeignCode();
  ~ForeignCode();
  ForeignCode(const ForeignCode&) = delete;
  ForeignCode& operator=(const ForeignCode&) = delete;

 private:
  Runtime* watched_;
};

// Builds one record with a stream and emits it when the statement ends.
class LogRecord {
 public:
  LogRecord(int severity, const char* file, int line, int64_t connection_id)
      : severity_(severity), file_(file), line_(line), connection_id_(connection_id) {}
  LogRecord(const LogRecord&) = delete;
  LogRecord& operator=(const LogRecord&) = delete;
  ~LogRecord();
  std::ostream& stream() { return stream_; }

 private:
  int severity_;
  const char* file_;
  int line_;
  int64_t connection_id_;
  std::ostringstream stream_;
};

#define IPC_LOG(severity, connection_id) \
  ::ipc_core::LogRecord(::ipc_core::severity, __FILE__, __LINE__, (connection_id)).stream()

// A record about a peer that has not authenticated (refused, evicted, timed
// out, malformed) or about the listener failing to accept. Any local program
// can cause these at will, so they are rate-limited process-wide: the first
// few of each interval are written, the rest are only counted and one
// summary line per interval gives their number.
#define IPC_PEER_LOG(severity, connection_id) \
  if (!::ipc_core::AdmitPeerRecord(::ipc_core::severity)) { \
  } else                                        \
    IPC_LOG(severity, connection_id)

// True when a peer record may be written now; otherwise it is counted for
// the interval's summary line.
bool AdmitPeerRecord(int severity);

// One runtime callback on the stack of the current thread. A host looks at
// the frames of the thread that calls Stop to tell the callback it is being
// stopped from (which must not be waited for) from callbacks running
// elsewhere (which must be).
struct CallbackFrame {
  const void* owner;
  bool exempt = false;
  CallbackFrame* below = nullptr;
};

class ScopedCallbackFrame {
 public:
  explicit ScopedCallbackFrame(const void* owner);
  ~ScopedCallbackFrame();
  ScopedCallbackFrame(const ScopedCallbackFrame&) = delete;
  ScopedCallbackFrame& operator=(const ScopedCallbackFrame&) = delete;
  bool exempt() const { return frame_.exempt; }

 private:
  CallbackFrame frame_;
  ForeignCode foreign_;
};

// Marks every frame of |owner| on this thread exempt and returns how many.
int MarkCallbackFramesExempt(const void* owner);

// True on the runtime's own threads.
bool OnRuntimeThread();

// Counts service hosts and clients alive, for testing::LiveObjectCount.
void CountLiveRuntimeObject(int delta);

// Test seams (ipc_core/testing.h), read by the hosts.
int32_t TakeInjectedStartFailure();
int32_t TakeInjectedCreateFailure();
// The factory installed by testing::SetServiceHostFactory, or null.
testing::ServiceHostFactory* InstalledServiceHostFactory();
int32_t StartSuccessDelayMs();
int32_t HelloTimeoutMs();

// Counters behind testing::UnauthenticatedConnectionCount and friends.
void CountUnauthenticatedConnection(int delta);
void NotePreHelloBuffered(size_t bytes);
void CountAcceptFailure();

}  // namespace ipc_core

#endif  // IPC_CORE_SRC_RUNTIME_H_
