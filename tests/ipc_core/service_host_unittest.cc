#include "ipc_core/service_host.h"

#include <atomic>
#include <thread>

#include "gtest/gtest.h"
#include "ipc_core/service_client.h"
#include "ipc_core/testing.h"
#include "ipc_test_support.h"

namespace ipc_test {
namespace {

using ipc_core::ipc_core_refptr;
using ipc_core::IRequestFeature;

class ServiceHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallLogCapture();
    ClearLogs();
  }
  void TearDown() override {
    ipc_core::testing::SetHelloTimeoutMs(0);
    ipc_core::testing::SetStartSuccessDelayMs(0);
    ipc_core::testing::FailNextStart(0);
  }
};

// A host with an "agent" service answering agent.echo and a client
// connected to it.
struct Connected {
  TestHost host;
  ipc_core_refptr<LambdaService> service;
  TestClient tool;
  ipc_core_refptr<LambdaService> tool_service;

  static Connected Make() {
    Connected c;
    c.host = TestHost::Start();
    c.service = new LambdaService("agent");
    c.service->On("agent.echo", [](const std::string& payload, IRequestFeature* f) {
      f->Reply(payload.c_str());
    });
    EXPECT_TRUE(c.host.host->RegisterService(c.service.get()));
    c.tool = TestClient::Create();
    c.tool_service = new LambdaService("tool");
    c.tool_service->On("tool.echo", [](const std::string& payload, IRequestFeature* f) {
      f->Reply(payload.c_str());
    });
    c.tool_service->On("tool.fail", [](const std::string&, IRequestFeature* f) {
      f->ReplyError(42, "asked to fail");
    });
    c.tool_service->On("tool.silent", [](const std::string&, IRequestFeature*) {});
    EXPECT_TRUE(c.tool.client->RegisterService(c.tool_service.get()));
    EXPECT_TRUE(c.tool.Connect(c.host.port, c.host.secret));
    EXPECT_TRUE(c.host.observer->WaitFor("connected:1"));
    return c;
  }
};

TEST_F(ServiceHostTest, StartReportsThePortLaterOnARuntimeThread) {
  TestHost t = TestHost::Start();
  EXPECT_GT(t.port, 0);
  EXPECT_EQ(t.port, t.host->GetPort());
  EXPECT_NE(std::this_thread::get_id(), t.observer->start_thread());
  auto events = t.observer->events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ("init", events[0]);
  EXPECT_EQ("start_success", events[1]);
  t.StopAndWait();
}

TEST_F(ServiceHostTest, RequestsReachTheirServiceAndRepliesComeBack) {
  Connected c = Connected::Make();
  ipc_core_refptr<RecordingContext> context(new RecordingContext);
  EXPECT_TRUE(c.tool.client->Invoke("agent.echo", "{\"a\":1}", context.get()));
  ASSERT_TRUE(context->Wait());
  EXPECT_EQ("response", context->kind());
  EXPECT_EQ("{\"a\":1}", context->text());

  ipc_core_refptr<RecordingContext> back(new RecordingContext);
  EXPECT_TRUE(c.host.host->Invoke("tool.echo", "ping", back.get()));
  ASSERT_TRUE(back->Wait());
  EXPECT_EQ("response", back->kind());
  EXPECT_EQ("ping", back->text());
  c.host.StopAndWait();
}

}  // namespace
}  // namespace ipc_test

namespace ipc_test {
namespace {

TEST(PeerProcessTest, AToolInAnotherProcessConnectsAndAnswers) {
  InstallLogCapture();
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
