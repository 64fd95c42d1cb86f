// The process-wide part of the IPC runtime: one io_context served by a small
// fixed pool of threads, the log sink, and the bookkeeping of which runtime
// callbacks are running on the current thread.
#ifndef IPC_CORE_SRC_RUNTIME_H_
#define IPC_CORE_SRC_RUNTIME_H_

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>

#include "asio.hpp"
#include "ipc_core/service_host.h"
#include "ipc_core/testing.h"

namespace ipc_core {

enum LogSeverity { kLogInfo = 0, kLogWarning = 1, kLogError = 2 };

class Runtime {
 public:
  // Threads serving the io_context. Fixed: hosts and clients come and go,
  // the threads stay.
  static constexpr int kThreadCount = 2;

  // Creates the runtime on the first call; later calls only swap the sink.
  static Runtime* Init(LogCallback log_callback);
  // Null until Init has run.
  static Runtime* Get();

  asio::io_context& io() { return io_; }

  // Hands one record to the sink. Never called with a lock of ours held: the
  // sink is foreign code.
  void Log(int severity, const char* file, int line, int64_t connection_id,
           const std::string& text);

 private:
  explicit Runtime(LogCallback log_callback);
  void ThreadMain();
  static void OnProcessExit();

  asio::io_context io_{kThreadCount};
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::atomic<LogCallback> log_callback_;
  std::atomic<int> threads_running_{0};
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
