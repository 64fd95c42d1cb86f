// The tool end of the runtime: connecting (and connecting again), the
// secret, closing, and a tool in another process.
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

TEST_F(ServiceClientTest, SecretFromTheEnvironmentWhenNoneIsGiven) {
  TestHost t = TestHost::Start();
  test_os::SetEnv(ipc_core::kPeerSecretEnvironmentVariable, t.secret);
  TestClient tool = TestClient::Create();
  EXPECT_TRUE(tool.Connect(t.port, ""));
  test_os::UnsetEnv(ipc_core::kPeerSecretEnvironmentVariable);
  t.StopAndWait();
}

TEST_F(ServiceClientTest, CloseEndsItsInvokesAndDisconnectsOnce) {
  Connected c = Connected::Make();
  c.service->On("agent.silent", [](const std::string&, IRequestFeature*) {});
  ipc_core_refptr<RecordingContext> context(new RecordingContext(60000));
  c.tool.client->Invoke("agent.silent", "", context.get());
  ASSERT_TRUE(WaitUntil([&] { return c.service->handled() == 1; }));
  c.tool.client->Close();
  c.tool.client->Close();
  ASSERT_TRUE(context->Wait());
  EXPECT_EQ(ipc_core::kErrorHostStopped, context->code());
  ASSERT_TRUE(c.tool.observer->WaitFor("disconnected"));
  ASSERT_TRUE(c.host.observer->WaitFor("disconnected:1"));
  EXPECT_EQ((std::vector<std::string>{"connected", "disconnected"}), c.tool.observer->events());
  ipc_core_refptr<RecordingContext> late(new RecordingContext);
  EXPECT_FALSE(c.tool.client->Invoke("agent.echo", "", late.get()));
  ASSERT_TRUE(late->Wait());
  EXPECT_EQ(ipc_core::kErrorHostStopped, late->code());
  c.host.StopAndWait();
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
  ipc_core::wire::AppendRefused(&refusal, ipc_core::kErrorRefused, "unknown or already used secret");
  tool = TestClient::Create();
  ASSERT_TRUE(tool.client->ConnectToPort(acceptor.local_endpoint().port(), "x"));
  EXPECT_EQ(1, accept_until("connect_failed:1009", refusal));
}

TEST_F(ServiceClientTest, AToolInAnotherProcessConnectsAndAnswers) {
  TestHost t = TestHost::Start();
  ipc_core_refptr<LambdaService> agent(new LambdaService("snipping_tool_agent"));
  std::atomic<int> handshakes{0};
  agent->On("snipping_tool_agent.snipping.handshake",
            [&](const std::string&, ipc_core::IRequestFeature* f) {
              handshakes++;
              f->Reply("");
            });
  ASSERT_TRUE(t.host->RegisterService(agent.get()));
  // The secret travels through the environment, as the agent hands it over.
  PeerProcess peer({"--port=" + std::to_string(t.port),
                    "--call=snipping_tool_agent.snipping.handshake"},
                   t.secret);
  ASSERT_TRUE(t.observer->WaitFor("connected:1"));
  ASSERT_TRUE(peer.WaitForOutput("response:\n"));
  EXPECT_EQ(1, handshakes.load());

  ipc_core_refptr<RecordingContext> shot(new RecordingContext);
  t.host->Invoke("snipping_tool.echo", "{\"shot\":1}", shot.get());
  ASSERT_TRUE(shot->Wait());
  EXPECT_EQ("{\"shot\":1}", shot->text());

  ipc_core_refptr<RecordingContext> close(new RecordingContext);
  t.host->Invoke("snipping_tool.close", "", close.get());
  EXPECT_TRUE(t.observer->WaitFor("disconnected:1"));
  EXPECT_EQ(0, peer.WaitExit());
  t.StopAndWait();
}

}  // namespace
}  // namespace ipc_test
