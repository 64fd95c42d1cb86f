// Helpers of the runtime's tests: recording observers and contexts, a
// service of lambdas, a started host and a tool end, and a raw socket peer.
// Waits are bounded by test_os::kWaitBound.
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

// Starts the runtime with its records going to log_, and puts the runtime's
// test seams back after each test.
class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Records of |severity| (the runtime's: 1 warning, 2 error) holding |text|.
  int CountLogs(int severity, const std::string& text) const;
  test_support::LogCapture log_;
};

// Heap objects with a real count, so a leaked or over-released reference
// fails under ASan.
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

// Events, in order, as strings.
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

// Events: "init", "start_success", "start_failure:<code>", "stopped",
// "connected:<id>", "disconnected:<id>".
class RecordingObserver : public Counted<ipc_core::IServiceHostObserver>, public EventLog {
 public:
  void OnServiceHostInit(ipc_core::IServiceHost*) override { Record("init"); }
  void OnServiceHostStartSuccess(ipc_core::IServiceHost*, int32_t port) override;
  void OnServiceHostStartFailure(ipc_core::IServiceHost*, int32_t error_code) override;
  void OnServiceHostStoped(ipc_core::IServiceHost* host) override { Note(host, 0, "stopped"); }
  void OnServiceInvokerConnected(ipc_core::IServiceHost* host, int32_t id) override {
    Note(host, id, "connected");
  }
  void OnServiceInvokerDisconnected(ipc_core::IServiceHost* host, int32_t id) override {
    Note(host, id, "disconnected");
  }
  int32_t port() const { return port_.load(); }
  std::thread::id start_thread();

  // Runs |hook| inside every |event| ("stopped", "connected" or
  // "disconnected"); a null hook removes it. A connection is recorded before
  // its hook (which may stop the host), the other events after theirs.
  using Hook = std::function<void(ipc_core::IServiceHost*, int32_t)>;
  void SetHook(const std::string& event, Hook hook);

 private:
  void Note(ipc_core::IServiceHost* host, int32_t id, const std::string& event);
  void NoteStart(const std::string& event);
  std::mutex mu_;
  std::string hook_event_;
  Hook hook_;
  std::atomic<int32_t> port_{0};
  std::thread::id start_thread_;
};

// Records the one outcome of an invoke (and counts any extra one). What it
// recorded is read after Wait(), and never changes afterwards.
class RecordingContext : public ipc_core::RequestContext {
 public:
  explicit RecordingContext(int32_t timeout_ms = kDefaultTimeoutMs) { set_timeout(timeout_ms); }
  void OnResponse(const char* text) override { Record("response", 0, text); }
  void OnError(int32_t code, const char* reason) override { Record("error", code, reason); }
  void OnTimeout() override { Record("timeout", ipc_core::kErrorTimeout, ""); }

  bool Wait();
  int outcomes() const { return outcomes_.load(); }
  const std::string& kind() const { return kind_; }
  int32_t code() const { return code_; }
  const std::string& text() const { return text_; }
  std::chrono::steady_clock::time_point completed_at() const { return completed_at_; }
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

// Invokes |method| at |end| (a host or a tool) and waits for its outcome:
// the answer's text, "error <code>: <reason>" or "timeout", after "refused "
// when Invoke returned false. Checks the send stamp and the deadline.
template <typename End>
std::string Call(End* end, const char* method, const std::string& payload = "",
                 int32_t timeout_ms = ipc_core::RequestContext::kDefaultTimeoutMs) {
  ipc_core::ipc_core_refptr<RecordingContext> context(new RecordingContext(timeout_ms));
  const auto invoked = std::chrono::steady_clock::now();
  const bool accepted = end->Invoke(method, payload.c_str(), context.get());
  if (!context->Wait())
    return "no outcome";
  if (context->kind() == "timeout") {
    EXPECT_GE(context->completed_at() - invoked, std::chrono::milliseconds(timeout_ms));
    return "timeout";
  }
  if (context->kind() == "response") {
    EXPECT_NE(0, context->sent_at()) << method;
    return context->text();
  }
  const std::string error = "error " + std::to_string(context->code()) + ": " + context->text();
  return accepted ? error : "refused " + error;
}

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
  // Another tool, connected with a secret of its own.
  TestClient Another(const std::string& secret);
};

// A peer over a plain socket, for what a well-behaved end never sends.
class RawPeer {
 public:
  explicit RawPeer(int32_t port);
  void Send(const std::string& bytes);
  void SendHello(const std::string& secret, uint32_t version = ipc_core::wire::kProtocolVersion);
  // The next frame; false when the connection ended, the bytes were no
  // frame, or the wait bound passed.
  bool ReadFrame(ipc_core::wire::Frame* frame);
  // Reads until the other end closes the connection; false if it does not.
  bool WaitClosed();
  void Close();

 private:
  asio::io_context io_;
  asio::ip::tcp::socket socket_;
  ipc_core::wire::FrameDecoder decoder_;
  bool closed_ = false;
};

// A raw peer that completed the opening exchange with |t|.
std::unique_ptr<RawPeer> EstablishedRawPeer(const TestHost& t, const std::string& secret);

}  // namespace ipc_test

#endif  // TESTS_IPC_CORE_IPC_TEST_SUPPORT_H_
