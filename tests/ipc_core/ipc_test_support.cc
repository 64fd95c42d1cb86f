#include "ipc_test_support.h"

#include <algorithm>

#include "gtest/gtest.h"

namespace ipc_test {
namespace {

std::mutex g_log_mutex;
std::vector<LogEntry>* g_logs = new std::vector<LogEntry>;

void CaptureLog(int severity, const char* file, int line, int64_t connection_id,
                const char* message) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_logs->push_back({severity, file ? file : "", line, connection_id, message ? message : ""});
}

}  // namespace

void InstallLogCapture() { ipc_core::InitIPCCoreRuntime(&CaptureLog); }

void ClearLogs() {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_logs->clear();
}

std::vector<LogEntry> Logs() {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  return *g_logs;
}

int CountLogs(int severity, const std::string& needle) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  return static_cast<int>(std::count_if(g_logs->begin(), g_logs->end(), [&](const LogEntry& e) {
    return e.severity == severity && e.text.find(needle) != std::string::npos;
  }));
}

bool WaitForLog(int severity, const std::string& needle) {
  return WaitUntil([&] { return CountLogs(severity, needle) > 0; });
}

void RecordingObserver::OnServiceHostInit(ipc_core::IServiceHost*) { Record("init"); }

void RecordingObserver::OnServiceHostStartSuccess(ipc_core::IServiceHost*, int32_t port) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    port_ = port;
    start_thread_ = std::this_thread::get_id();
  }
  Record("start_success");
}

void RecordingObserver::OnServiceHostStartFailure(ipc_core::IServiceHost*, int32_t code) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    start_thread_ = std::this_thread::get_id();
  }
  Record("start_failure:" + std::to_string(code));
}

void RecordingObserver::OnServiceHostStoped(ipc_core::IServiceHost* host) {
  std::function<void(ipc_core::IServiceHost*)> hook;
  {
    std::lock_guard<std::mutex> lock(mu_);
    hook = on_stopped_;
  }
  if (hook)
    hook(host);
  Record("stopped");
}

void RecordingObserver::OnServiceInvokerConnected(ipc_core::IServiceHost* host, int32_t id) {
  ConnectionHook hook;
  {
    std::lock_guard<std::mutex> lock(mu_);
    hook = on_connected_;
  }
  // Recorded first: a hook may stop the host, and the test expects the
  // connection before the stop.
  Record("connected:" + std::to_string(id));
  if (hook)
    hook(host, id);
}

void RecordingObserver::OnServiceInvokerDisconnected(ipc_core::IServiceHost* host, int32_t id) {
  ConnectionHook hook;
  {
    std::lock_guard<std::mutex> lock(mu_);
    hook = on_disconnected_;
  }
  if (hook)
    hook(host, id);
  Record("disconnected:" + std::to_string(id));
}

void RecordingObserver::set_on_connected(ConnectionHook hook) {
  std::lock_guard<std::mutex> lock(mu_);
  on_connected_ = std::move(hook);
}

void RecordingObserver::set_on_disconnected(ConnectionHook hook) {
  std::lock_guard<std::mutex> lock(mu_);
  on_disconnected_ = std::move(hook);
}

void RecordingObserver::set_on_stopped(std::function<void(ipc_core::IServiceHost*)> hook) {
  std::lock_guard<std::mutex> lock(mu_);
  on_stopped_ = std::move(hook);
}

void RecordingObserver::Record(const std::string& event) {
  std::lock_guard<std::mutex> lock(mu_);
  events_.push_back(event);
  cv_.notify_all();
}

std::vector<std::string> RecordingObserver::events() {
  std::lock_guard<std::mutex> lock(mu_);
  return events_;
}

int RecordingObserver::count(const std::string& event) {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(std::count(events_.begin(), events_.end(), event));
}

bool RecordingObserver::WaitFor(const std::string& event, int times) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, kWait, [&] {
    return std::count(events_.begin(), events_.end(), event) >= times;
  });
}

int32_t RecordingObserver::port() {
  std::lock_guard<std::mutex> lock(mu_);
  return port_;
}

std::thread::id RecordingObserver::start_thread() {
  std::lock_guard<std::mutex> lock(mu_);
  return start_thread_;
}

bool RecordingContext::Wait(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, limit, [&] { return outcomes_.load() > 0; });
}

void RecordingContext::Record(const char* kind, int32_t code, const char* text) {
  if (on_outcome)
    on_outcome();
  std::lock_guard<std::mutex> lock(mu_);
  if (outcomes_.fetch_add(1) == 0) {
    kind_ = kind;
    code_ = code;
    text_ = text ? text : "";
    completed_at_ = std::chrono::steady_clock::now();
  }
  cv_.notify_all();
}

std::string RecordingContext::kind() {
  std::lock_guard<std::mutex> lock(mu_);
  return kind_;
}

int32_t RecordingContext::code() {
  std::lock_guard<std::mutex> lock(mu_);
  return code_;
}

std::string RecordingContext::text() {
  std::lock_guard<std::mutex> lock(mu_);
  return text_;
}

std::chrono::steady_clock::time_point RecordingContext::completed_at() {
  std::lock_guard<std::mutex> lock(mu_);
  return completed_at_;
}

bool LambdaService::HandleRequest(const char* method, const char* payload,
                                  ipc_core::IRequestFeature* feature) {
  std::function<void(const std::string&, ipc_core::IRequestFeature*)> fn;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& entry : methods_) {
      if (entry.first == method)
        fn = entry.second;
    }
  }
  if (!fn)
    return false;
  handled_.fetch_add(1);
  fn(payload, feature);
  return true;
}

void LambdaService::On(const std::string& method,
                       std::function<void(const std::string&, ipc_core::IRequestFeature*)> fn) {
  std::lock_guard<std::mutex> lock(mu_);
  methods_.emplace_back(method, std::move(fn));
}

void RecordingClientObserver::Record(const std::string& event) {
  std::lock_guard<std::mutex> lock(mu_);
  events_.push_back(event);
  cv_.notify_all();
}

std::vector<std::string> RecordingClientObserver::events() {
  std::lock_guard<std::mutex> lock(mu_);
  return events_;
}

bool RecordingClientObserver::WaitFor(const std::string& event) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, kWait, [&] {
    return std::find(events_.begin(), events_.end(), event) != events_.end();
  });
}

TestHost TestHost::Start(const std::string& identity) {
  TestHost t;
  t.observer = new RecordingObserver;
  ipc_core::IServiceHost* raw = nullptr;
  EXPECT_EQ(ipc_core::kOk, ipc_core::CreateServiceHost("test_host", "test", identity.c_str(), 7,
                                                       9, t.observer.get(), &raw));
  t.host = ipc_core::ipc_core_refptr<ipc_core::IServiceHost>::Adopt(raw);
  t.secret = ipc_core::GeneratePeerSecret();
  EXPECT_TRUE(t.host->AddPeerSecret(t.secret.c_str()));
  EXPECT_TRUE(t.host->Start());
  EXPECT_TRUE(t.observer->WaitFor("start_success"));
  t.port = t.observer->port();
  return t;
}

void TestHost::StopAndWait() {
  if (!host)
    return;
  host->Stop();
  EXPECT_TRUE(observer->WaitFor("stopped"));
  ipc_core::DestroyServiceHost(host.get());
}

TestClient TestClient::Create() {
  TestClient c;
  c.observer = new RecordingClientObserver;
  ipc_core::IServiceClient* raw = nullptr;
  EXPECT_EQ(ipc_core::kOk, ipc_core::CreateServiceClient("test_tool", c.observer.get(), &raw));
  c.client = ipc_core::ipc_core_refptr<ipc_core::IServiceClient>::Adopt(raw);
  return c;
}

bool TestClient::Connect(int32_t port, const std::string& secret) {
  if (!client->ConnectToPort(port, secret.c_str()))
    return false;
  bool done = WaitUntil([&] { return !observer->events().empty(); });
  return done && observer->events().front() == "connected";
}

RawPeer::RawPeer(int32_t port) : socket_(io_) {
  socket_.connect({asio::ip::address_v4::loopback(), static_cast<uint16_t>(port)});
}

void RawPeer::Send(const std::string& bytes) {
  // Reads switch the socket to non-blocking; a send must go out whole.
  std::error_code ignored;
  socket_.non_blocking(false, ignored);
  asio::write(socket_, asio::buffer(bytes), ignored);
}

void RawPeer::SendHello(const std::string& secret, uint32_t version) {
  std::string bytes;
  ipc_core::wire::AppendHello(&bytes, version, "raw_peer", secret);
  Send(bytes);
}

bool RawPeer::ReadFrame(ipc_core::wire::Frame* frame, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto result = decoder_.Next(frame);
    if (result == ipc_core::wire::FrameDecoder::Result::kFrame)
      return true;
    if (result == ipc_core::wire::FrameDecoder::Result::kError)
      return false;
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::error_code ec;
    socket_.non_blocking(true);
    char buffer[4096];
    size_t n = socket_.read_some(asio::buffer(buffer), ec);
    if (ec == asio::error::would_block) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    if (ec)
      return false;
    decoder_.Append(buffer, n);
  }
}

bool RawPeer::WaitClosed(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  socket_.non_blocking(true);
  for (;;) {
    std::error_code ec;
    char buffer[4096];
    socket_.read_some(asio::buffer(buffer), ec);
    if (ec && ec != asio::error::would_block)
      return true;
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    if (ec)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void RawPeer::Close() {
  std::error_code ignored;
  socket_.close(ignored);
}

}  // namespace ipc_test
