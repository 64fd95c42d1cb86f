// Helpers of the runtime's tests: recording observers and contexts, a
// service of lambdas, a started host and a tool end, a raw socket peer that
// speaks (or mangles) the wire protocol, and the echo peer as a child
// process. Waits are bounded by test_os::kWaitBound.
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
#include "gtest/gtest.h"
#include "ipc_core/service_client.h"
#include "ipc_core/service_host.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_os.h"
#include "wire_format.h"

namespace ipc_test {

using test_os::WaitUntil;

// Time-out of the invokes that are meant to expire.
constexpr int32_t kShortTimeoutMs = 150;

// Starts the runtime with its records going to the log, captured in log_,
// and puts the runtime's test seams back after each test.
class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Records of |severity| (the runtime's: 1 warning, 2 error) holding |text|.
  int CountLogs(int severity, const std::string& text) const;
  test_support::LogCapture log_;
};

// Counted objects of the tests are heap objects with a real count, so a
// leaked or over-released reference fails under ASan.
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

// Events, in order, as strings; waits until one has been recorded.
class EventLog {
 public:
  void Record(const std::string& event);
  std::vector<std::string> events();
  int count(const std::string& event);
  bool WaitFor(const std::string& event, int times = 1);

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
};

class RecordingObserver : public Counted<ipc_core::IServiceHostObserver>, public EventLog {
 public:
  // Events: "init", "start_success", "start_failure:<code>", "stopped",
  // "connected:<id>", "disconnected:<id>".
  void OnServiceHostInit(ipc_core::IServiceHost*) override { Record("init"); }
  void OnServiceHostStartSuccess(ipc_core::IServiceHost*, int32_t port) override;
  void OnServiceHostStartFailure(ipc_core::IServiceHost*, int32_t error_code) override;
  void OnServiceHostStoped(ipc_core::IServiceHost* host) override;
  void OnServiceInvokerConnected(ipc_core::IServiceHost* host, int32_t connection_id) override;
  void OnServiceInvokerDisconnected(ipc_core::IServiceHost* host, int32_t connection_id) override;
  int32_t port() const { return port_.load(); }
  std::thread::id start_thread();

  // Hooks run inside the events (a connection is recorded before its hook,
  // the others after).
  using Hook = std::function<void(ipc_core::IServiceHost*, int32_t)>;
  void set_on_connected(Hook hook);
  void set_on_disconnected(Hook hook);
  void set_on_stopped(Hook hook);

 private:
  Hook hook(const Hook& which);
  std::mutex mu_;
  Hook on_connected_, on_disconnected_, on_stopped_;
  std::atomic<int32_t> port_{0};
  std::thread::id start_thread_;
};

// Records the one outcome of an invoke (and counts any extra one).
class RecordingContext : public ipc_core::RequestContext {
 public:
  explicit RecordingContext(int32_t timeout_ms = kDefaultTimeoutMs) { set_timeout(timeout_ms); }
  void OnResponse(const char* text) override { Record("response", 0, text); }
  void OnError(int32_t code, const char* reason) override { Record("error", code, reason); }
  void OnTimeout() override { Record("timeout", ipc_core::kErrorTimeout, ""); }

  bool Wait();
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
  using Method = std::function<void(const std::string&, ipc_core::IRequestFeature*)>;
  explicit LambdaService(std::string name) : name_(std::move(name)) {}
  const char* GetServiceName() override { return name_.c_str(); }
  bool HandleRequest(const char* method, const char* payload,
                     ipc_core::IRequestFeature* feature) override;
  void On(const std::string& method, Method fn);
  int handled() const { return handled_.load(); }

 private:
  std::string name_;
  std::mutex mu_;
  std::vector<std::pair<std::string, Method>> methods_;
  std::atomic<int> handled_{0};
};

// Events: "connected", "connect_failed:<code>", "disconnected".
class RecordingClientObserver : public Counted<ipc_core::IServiceClientObserver>,
                                public EventLog {
 public:
  void OnConnected(ipc_core::IServiceClient*) override { Record("connected"); }
  void OnConnectFailed(ipc_core::IServiceClient*, int32_t code) override {
    Record("connect_failed:" + std::to_string(code));
  }
  void OnDisconnected(ipc_core::IServiceClient*) override { Record("disconnected"); }
};

// A started host ("test_host", app id 7, protocol tag 9) with its observer
// and one registered secret.
struct TestHost {
  ipc_core::ipc_core_refptr<RecordingObserver> observer;
  ipc_core::ipc_core_refptr<ipc_core::IServiceHost> host;
  int32_t port = 0;
  std::string secret;

  static TestHost Start(const std::string& identity = std::string());
  // Stops it and waits for OnServiceHostStoped.
  void StopAndWait();
};

// An in-process tool end.
struct TestClient {
  ipc_core::ipc_core_refptr<RecordingClientObserver> observer;
  ipc_core::ipc_core_refptr<ipc_core::IServiceClient> client;

  static TestClient Create();
  // Connects and waits for the first event; true when it is "connected".
  bool Connect(int32_t port, const std::string& secret);
};

// A host with an "agent" service answering agent.echo, and a tool connected
// to it (connection 1) whose "tool" service has tool.echo, tool.fail (error
// 42) and tool.silent (never answers).
struct Connected {
  TestHost host;
  ipc_core::ipc_core_refptr<LambdaService> service;
  TestClient tool;
  ipc_core::ipc_core_refptr<LambdaService> tool_service;

  static Connected Make();
};

// A peer over a plain socket, for what a well-behaved end never sends.
class RawPeer {
 public:
  explicit RawPeer(int32_t port);
  void Send(const std::string& bytes);
  void SendHello(const std::string& secret, uint32_t version = ipc_core::wire::kProtocolVersion);
  // The next frame; false when the connection ended or the wait bound passed.
  bool ReadFrame(ipc_core::wire::Frame* frame);
  // True once the other end has closed the connection.
  bool WaitClosed();
  void Close();

 private:
  asio::io_context io_;
  asio::ip::tcp::socket socket_;
  ipc_core::wire::FrameDecoder decoder_;
};

// A raw peer that completed the opening exchange with |t|.
std::unique_ptr<RawPeer> EstablishedRawPeer(const TestHost& t, const std::string& secret);

// The echo peer (ipc_core/examples/echo_peer.cc) as a child process, with
// |secret| in the secret variable of its environment.
class PeerProcess {
 public:
  PeerProcess(const std::vector<std::string>& args, const std::string& secret);
  // Its exit status, or -1.
  int WaitExit() { return run_.WaitForExit(); }
  bool WaitForOutput(const std::string& needle);

 private:
  test_os::TempDir dir_;
  test_os::ProgramRun run_;
};

}  // namespace ipc_test

#endif  // TESTS_IPC_CORE_IPC_TEST_SUPPORT_H_
