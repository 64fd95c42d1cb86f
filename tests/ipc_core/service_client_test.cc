// The tool end of the runtime: connecting (and connecting again), the
// secret, and closing.
#include "ipc_core/service_client.h"

#include <algorithm>
#include <atomic>

#include "gtest/gtest.h"
#include "ipc_core/service_host.h"
#include "ipc_core/testing.h"
#include "ipc_test_support.h"
#include "tests/support/test_os.h"

namespace ipc_test {
namespace {

using ipc_core::ipc_core_refptr;
using ipc_core::IRequestFeature;

class ServiceClientTest : public RuntimeTest {};

TEST_F(ServiceClientTest, ReportsAFailedConnect) {
  TestHost t = TestHost::Start();
  int32_t port = t.port;
  t.StopAndWait();
  TestClient tool = TestClient::Create();
  EXPECT_FALSE(tool.Connect(port, "x"));
  EXPECT_EQ((std::vector<std::string>{"connect_failed:1004"}), tool.observer->events());
  EXPECT_FALSE(tool.client->ConnectToPort(port, "x")) << "one connection per client";
  EXPECT_FALSE(TestClient::Create().client->ConnectToPort(0, "x"));
}

// Closing the tool end ends the invokes of both ends at once: its own as
// stopped, the host's as a lost connection.
TEST_F(ServiceClientTest, CloseEndsTheInvokesOfBothEndsAndDisconnectsOnce) {
  Connected c = Connected::Make();
  c.service->On("agent.silent", [](const std::string&, IRequestFeature*) {});
  ipc_core_refptr<RecordingContext> own(new RecordingContext(60000));
  ipc_core_refptr<RecordingContext> host_side(new RecordingContext(60000));
  const auto sent = std::chrono::steady_clock::now();
  c.tool.client->Invoke("agent.silent", "", own.get());
  c.host.host->Invoke("tool.silent", "", host_side.get());
  ASSERT_TRUE(WaitUntil([&] { return c.service->handled() + c.tool_service->handled() == 2; }));
  c.tool.client->Close();
  c.tool.client->Close();
  ASSERT_TRUE(own->Wait());
  EXPECT_EQ(ipc_core::kErrorHostStopped, own->code());
  ASSERT_TRUE(host_side->Wait());
  EXPECT_EQ(ipc_core::kErrorConnectionLost, host_side->code());
  EXPECT_LT(host_side->completed_at() - sent, std::chrono::milliseconds(test_os::kWaitBound / 2));
  ASSERT_TRUE(c.tool.observer->WaitFor("disconnected"));
  ASSERT_TRUE(c.host.observer->WaitFor("disconnected:1"));
  EXPECT_EQ((std::vector<std::string>{"connected", "disconnected"}), c.tool.observer->events());
  EXPECT_EQ("refused error 1005: client closed", Call(c.tool.client.get(), "agent.echo"));
  c.host.StopAndWait();
}

// Close lets go of the observer and the services at once, also before any
// connection: a tool whose observer holds its client leaves no cycle behind.
TEST_F(ServiceClientTest, CloseLetsGoOfTheObserverAndTheServicesAtOnce) {
  std::atomic<int> gone{0};  // observers freed
  struct Observer : RecordingClientObserver {
    explicit Observer(std::atomic<int>* gone) : gone_(gone) {}
    ~Observer() override { ++*gone_; }
    std::atomic<int>* gone_;
  };
  ipc_core::IServiceClient* raw = nullptr;
  ASSERT_EQ(ipc_core::kOk, ipc_core::CreateServiceClient("t", new Observer(&gone), &raw));
  auto client = ipc_core_refptr<ipc_core::IServiceClient>::Adopt(raw);
  ipc_core_refptr<LambdaService> service(new LambdaService("tool"));
  ASSERT_TRUE(client->RegisterService(service.get()));
  client->Close();
  EXPECT_TRUE(WaitUntil([&] { return gone.load() == 1; }));
}

TEST_F(ServiceClientTest, GivesUpOnAHostThatNeverWelcomes) {
  ipc_core::testing::SetHelloTimeoutMs(100);
  // A listener that accepts and says nothing.
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  TestClient tool = TestClient::Create();
  ASSERT_TRUE(tool.client->ConnectToPort(acceptor.local_endpoint().port(), "x"));
  asio::ip::tcp::socket accepted = acceptor.accept();
  ASSERT_TRUE(tool.observer->WaitFor("connect_failed:1003"));
}

// A host closes a connection without a word when its table of connections
// that have not said hello is full (or it is out of descriptors); the tool
// end connects again a few times before it gives up, but not after a
// refusal, which is final.
TEST_F(ServiceClientTest, ConnectsAgainWhenClosedBeforeTheWelcome) {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  TestClient tool = TestClient::Create();
  ASSERT_TRUE(tool.client->ConnectToPort(acceptor.local_endpoint().port(), "x"));
  // Each connection is accepted and closed at once; the client's pause
  // between attempts is short, so the bounded poll sees them all.
  acceptor.non_blocking(true);
  auto accept_until = [&](const std::string& outcome, const std::string& answer) {
    int accepted_count = 0;
    bool ended = test_os::WaitUntil([&] {
      std::error_code ec;
      asio::ip::tcp::socket accepted = acceptor.accept(ec);
      if (!ec) {
        ++accepted_count;
        accepted.non_blocking(false, ec);
        asio::write(accepted, asio::buffer(answer), ec);
      }
      const auto events = tool.observer->events();
      return std::find(events.begin(), events.end(), outcome) != events.end();
    });
    return ended ? accepted_count : -1;
  };
  EXPECT_EQ(5, accept_until("connect_failed:1004", ""));

  std::string refusal;
  ipc_core::wire::AppendRefused(&refusal, ipc_core::kErrorRefused,
                                "unknown or already used secret");
  tool = TestClient::Create();
  ASSERT_TRUE(tool.client->ConnectToPort(acceptor.local_endpoint().port(), "x"));
  EXPECT_EQ(1, accept_until("connect_failed:1009", refusal));
}

}  // namespace
}  // namespace ipc_test
