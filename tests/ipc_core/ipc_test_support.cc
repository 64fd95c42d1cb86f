#include "ipc_test_support.h"

#include <algorithm>

#include "ipc_core/testing.h"
#include "platform/logging.h"

namespace ipc_test {
namespace {

void ForwardRuntimeLog(int severity, const char* file, int line, int64_t, const char* text) {
  logging::LogMessage(file, line, severity).stream() << text;
}

}  // namespace

void RuntimeTest::SetUp() { ipc_core::InitIPCCoreRuntime(&ForwardRuntimeLog); }

void RuntimeTest::TearDown() {
  ipc_core::testing::SetHelloTimeoutMs(0);
  ipc_core::testing::SetStartSuccessDelayMs(0);
  ipc_core::testing::FailNextStart(0);
}

int RuntimeTest::CountLogs(int severity, const std::string& text) const {
  int count = 0;
  for (const auto& record : log_.Records())
    count += record.severity == severity && record.text.find(text) != std::string::npos;
  return count;
}

void EventLog::Record(const std::string& event) {
  std::lock_guard<std::mutex> lock(mu_);
  events_.push_back(event);
  cv_.notify_all();
}

std::vector<std::string> EventLog::events() {
  std::lock_guard<std::mutex> lock(mu_);
  return events_;
}

int EventLog::count(const std::string& event) {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(std::count(events_.begin(), events_.end(), event));
}

bool EventLog::WaitFor(const std::string& event, int times) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, test_os::kWaitBound, [&] {
    return std::count(events_.begin(), events_.end(), event) >= times;
  });
}

void RecordingObserver::OnServiceHostStartSuccess(ipc_core::IServiceHost*, int32_t port) {
  port_ = port;
  NoteStart("start_success");
}

void RecordingObserver::OnServiceHostStartFailure(ipc_core::IServiceHost*, int32_t code) {
  NoteStart("start_failure:" + std::to_string(code));
}

void RecordingObserver::NoteStart(const std::string& event) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    start_thread_ = std::this_thread::get_id();
  }
  Record(event);
}

std::thread::id RecordingObserver::start_thread() {
  std::lock_guard<std::mutex> lock(mu_);
  return start_thread_;
}

void RecordingObserver::SetHook(const std::string& event, Hook hook) {
  std::lock_guard<std::mutex> lock(mu_);
  hook_event_ = event;
  hook_ = std::move(hook);
}

void RecordingObserver::Note(ipc_core::IServiceHost* host, int32_t id, const std::string& event) {
  Hook hook;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (event == hook_event_)
      hook = hook_;
  }
  const std::string recorded = event == "stopped" ? event : event + ":" + std::to_string(id);
  if (event == "connected")
    Record(recorded);
  if (hook)
    hook(host, id);
  if (event != "connected")
    Record(recorded);
}

bool RecordingContext::Wait() {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, test_os::kWaitBound, [&] { return outcomes_.load() > 0; });
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

bool LambdaService::HandleRequest(const char* method, const char* payload,
                                  ipc_core::IRequestFeature* feature) {
  Method fn;
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

void LambdaService::On(const std::string& method, Method fn) {
  std::lock_guard<std::mutex> lock(mu_);
  methods_.emplace_back(method, std::move(fn));
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

Connected Connected::Make() {
  const auto echo = [](const std::string& payload, ipc_core::IRequestFeature* f) {
    f->Reply(payload.c_str());
  };
  Connected c;
  c.host = TestHost::Start();
  c.service = new LambdaService("agent");
  c.service->On("agent.echo", echo);
  EXPECT_TRUE(c.host.host->RegisterService(c.service.get()));
  c.tool = TestClient::Create();
  c.tool_service = new LambdaService("tool");
  c.tool_service->On("tool.echo", echo);
  c.tool_service->On("tool.fail", [](const std::string&, ipc_core::IRequestFeature* f) {
    f->ReplyError(42, "asked to fail");
  });
  c.tool_service->On("tool.silent", [](const std::string&, ipc_core::IRequestFeature*) {});
  EXPECT_TRUE(c.tool.client->RegisterService(c.tool_service.get()));
  EXPECT_TRUE(c.tool.Connect(c.host.port, c.host.secret));
  EXPECT_TRUE(c.host.observer->WaitFor("connected:1"));
  return c;
}

TestClient Connected::Another(const std::string& secret) {
  EXPECT_TRUE(host.host->AddPeerSecret(secret.c_str()));
  TestClient other = TestClient::Create();
  EXPECT_TRUE(other.Connect(host.port, secret));
  return other;
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

bool RawPeer::ReadFrame(ipc_core::wire::Frame* frame) {
  using Result = ipc_core::wire::FrameDecoder::Result;
  socket_.non_blocking(true);
  bool got = false;
  WaitUntil([&] {
    for (;;) {
      const Result result = decoder_.Next(frame);
      if (result != Result::kNeedMore) {
        got = result == Result::kFrame;
        return true;
      }
      char buffer[4096];
      std::error_code ec;
      const size_t n = socket_.read_some(asio::buffer(buffer), ec);
      if (ec == asio::error::would_block)
        return false;
      if (ec) {
        closed_ = true;
        return true;
      }
      decoder_.Append(buffer, n);
    }
  });
  return got;
}

bool RawPeer::WaitClosed() {
  ipc_core::wire::Frame ignored;
  while (ReadFrame(&ignored)) {
  }
  return closed_;
}

void RawPeer::Close() {
  std::error_code ignored;
  socket_.close(ignored);
}

std::unique_ptr<RawPeer> EstablishedRawPeer(const TestHost& t, const std::string& secret) {
  auto peer = std::make_unique<RawPeer>(t.port);
  peer->SendHello(secret);
  ipc_core::wire::Frame frame;
  EXPECT_TRUE(peer->ReadFrame(&frame));
  EXPECT_EQ(ipc_core::wire::FrameType::kWelcome, frame.type);
  EXPECT_EQ(7, frame.app_id);
  EXPECT_EQ(9, frame.protocol_tag);
  EXPECT_EQ("test_host", frame.name);
  return peer;
}

}  // namespace ipc_test
