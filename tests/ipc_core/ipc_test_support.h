// Shared helpers of the ipc_core tests: a log capture, waitable counters,
// recording observers and contexts, a raw socket peer that speaks (or
// mangles) the wire protocol, and a child process running the echo peer.
#ifndef TESTS_IPC_CORE_IPC_TEST_SUPPORT_H_
#define TESTS_IPC_CORE_IPC_TEST_SUPPORT_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "asio.hpp"
#include "ipc_core/service_client.h"
#include "ipc_core/service_host.h"
#include "tests/support/test_os.h"
#include "wire_format.h"

namespace ipc_test {

// Upper bound of every wait: generous so a loaded machine does not fail a
// test, while a passing test returns as soon as the condition holds.
constexpr std::chrono::milliseconds kWait{10000};
// Time-outs the tests give to invokes that are meant to expire.
constexpr int32_t kShortTimeoutMs = 150;

// Polls a condition until it holds or a bound (as long as kWait unless
// given) passed.
using test_os::WaitUntil;

// Captures the runtime's log records (installed by every test fixture).
struct LogEntry {
  int severity;
  std::string file;
  int line;
  int64_t connection_id;
  std::string text;
};
void InstallLogCapture();
void ClearLogs();
std::vector<LogEntry> Logs();
// Records of |severity| whose text contains |needle|.
int CountLogs(int severity, const std::string& needle);
bool WaitForLog(int severity, const std::string& needle);

// Counted objects of the tests are heap objects with a real count, so a test
// sees a leaked or over-released reference as a failure under ASan.
template <typename Base>
class Counted : public Base {
 public:
  void AddRef() override { refs_.fetch_add(1); }
  void Release() override {
    if (refs_.fetch_sub(1) == 1)
      delete this;
  }

 private:
  std::atomic<int> refs_{0};
};

class RecordingObserver : public Counted<ipc_core::IServiceHostObserver> {
 public:
  void OnServiceHostInit(ipc_core::IServiceHost*) override;
  void OnServiceHostStartSuccess(ipc_core::IServiceHost*, int32_t port) override;
  void OnServiceHostStartFailure(ipc_core::IServiceHost*, int32_t error_code) override;
  void OnServiceHostStoped(ipc_core::IServiceHost* host) override;
  void OnServiceInvokerConnected(ipc_core::IServiceHost* host, int32_t connection_id) override;
  void OnServiceInvokerDisconnected(ipc_core::IServiceHost* host, int32_t connection_id) override;

  // Events in order: "init", "start_success", "start_failure:<code>",
  // "stopped", "connected:<id>", "disconnected:<id>".
  std::vector<std::string> events();
  int count(const std::string& event);
  bool WaitFor(const std::string& event, int times = 1);
  int32_t port();
  std::thread::id start_thread();

  // Optional hooks, run inside the events before they are recorded.
  using ConnectionHook = std::function<void(ipc_core::IServiceHost*, int32_t)>;
  void set_on_connected(ConnectionHook hook);
  void set_on_disconnected(ConnectionHook hook);
  void set_on_stopped(std::function<void(ipc_core::IServiceHost*)> hook);

 private:
  ConnectionHook on_connected_;
  ConnectionHook on_disconnected_;
  std::function<void(ipc_core::IServiceHost*)> on_stopped_;
  void Record(const std::string& event);
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
  int32_t port_ = 0;
  std::thread::id start_thread_;
};

// Records the one outcome of an invoke (and any extra one, as a failure).
class RecordingContext : public ipc_core::RequestContext {
 public:
  explicit RecordingContext(int32_t timeout_ms = kDefaultTimeoutMs) { set_timeout(timeout_ms); }
  void OnResponse(const char* text) override { Record("response", 0, text); }
  void OnError(int32_t code, const char* reason) override { Record("error", code, reason); }
  void OnTimeout() override { Record("timeout", ipc_core::kErrorTimeout, ""); }

  bool Wait(std::chrono::milliseconds limit = kWait);
  int outcomes() const { return outcomes_.load(); }
  std::string kind();
  int32_t code();
  std::string text();
  std::chrono::steady_clock::time_point completed_at();
  // Runs inside the outcome callback, before it is recorded.
  std::function<void()> on_outcome;

 private:
  void Record(const char* kind, int32_t code, const char* text);
  std::mutex mu_;
  std::condition_variable cv_;
  std::atomic<int> outcomes_{0};
  std::string kind_;
  int32_t code_ = 0;
  std::string text_;
  std::chrono::steady_clock::time_point completed_at_;
};

// A service whose methods are lambdas of the test, by full method name.
class LambdaService : public Counted<ipc_core::IService> {
 public:
  explicit LambdaService(std::string name) : name_(std::move(name)) {}
  const char* GetServiceName() override { return name_.c_str(); }
  bool HandleRequest(const char* method, const char* payload,
                     ipc_core::IRequestFeature* feature) override;
  void On(const std::string& method,
          std::function<void(const std::string&, ipc_core::IRequestFeature*)> fn);
  int handled() const { return handled_.load(); }

 private:
  std::string name_;
  std::mutex mu_;
  std::vector<std::pair<std::string,
                        std::function<void(const std::string&, ipc_core::IRequestFeature*)>>>
      methods_;
  std::atomic<int> handled_{0};
};

class RecordingClientObserver : public Counted<ipc_core::IServiceClientObserver> {
 public:
  void OnConnected(ipc_core::IServiceClient*) override { Record("connected"); }
  void OnConnectFailed(ipc_core::IServiceClient*, int32_t code) override {
    Record("connect_failed:" + std::to_string(code));
  }
  void OnDisconnected(ipc_core::IServiceClient*) override { Record("disconnected"); }
  std::vector<std::string> events();
  bool WaitFor(const std::string& event);

 private:
  void Record(const std::string& event);
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
};

// A started host with its observer and one registered secret.
struct TestHost {
  ipc_core::ipc_core_refptr<RecordingObserver> observer;
  ipc_core::ipc_core_refptr<ipc_core::IServiceHost> host;
  int32_t port = 0;
  std::string secret;

  // Creates and starts a host (identity may be empty) and waits for its port.
  static TestHost Start(const std::string& identity = std::string());
  // Stops it and waits for OnServiceHostStoped.
  void StopAndWait();
};

// An in-process tool end.
struct TestClient {
  ipc_core::ipc_core_refptr<RecordingClientObserver> observer;
  ipc_core::ipc_core_refptr<ipc_core::IServiceClient> client;

  static TestClient Create();
  // Connects and waits for OnConnected; false when refused or failed.
  bool Connect(int32_t port, const std::string& secret);
};

// A peer over a plain socket, for what a well-behaved client never sends.
class RawPeer {
 public:
  explicit RawPeer(int32_t port);
  void Send(const std::string& bytes);
  void SendHello(const std::string& secret, uint32_t version = ipc_core::wire::kProtocolVersion);
  // The next frame, or false when the connection ended or |limit| passed.
  bool ReadFrame(ipc_core::wire::Frame* frame, std::chrono::milliseconds limit = kWait);
  // True once the host has closed the connection (reads until EOF).
  bool WaitClosed(std::chrono::milliseconds limit = kWait);
  void Close();

 private:
  asio::io_context io_;
  asio::ip::tcp::socket socket_;
  ipc_core::wire::FrameDecoder decoder_;
};

// The echo peer (ipc_core/examples/echo_peer.cc) as a child process.
class PeerProcess {
 public:
  // |secret_env|: the value of the secret variable in the child's
  // environment (empty: not set).
  PeerProcess(const std::vector<std::string>& args, const std::string& secret_env);
  ~PeerProcess();
  // Waits for the child's exit; -1 when it did not end within |limit|.
  int WaitExit(std::chrono::milliseconds limit = kWait);
  // Everything the child printed so far.
  std::string Output();
  bool WaitForOutput(const std::string& needle);

 private:
  int pid_ = -1;
  int out_fd_ = -1;
  std::string output_;
  int exit_code_ = -1;
  bool exited_ = false;
};

}  // namespace ipc_test

#endif  // TESTS_IPC_CORE_IPC_TEST_SUPPORT_H_
