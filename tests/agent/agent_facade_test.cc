// The facade's rules: the singleton, the broken-state guard and the
// forwarding of runtime log records. No tool is started here.
#include "agent/snipping_tool_agent.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/ipc_server/snipping_tool_agent_service_host.h"
#include "tests/agent/agent_test_support.h"

namespace snipping_tool {
namespace {

using testing::TestHost;

class AgentFacadeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(GetQuilloSnipingToolAgent(&agent_)); }
  void TearDown() override {
    agent_->Uninit();
    host_.DiscardTasks();
  }

  ISnippingToolAgent* agent_ = nullptr;
  TestHost host_;
};

TEST_F(AgentFacadeTest, FactoryHandsOutOneAgentAndRefusesANullOut) {
  EXPECT_FALSE(GetQuilloSnipingToolAgent(nullptr));
  ISnippingToolAgent* again = nullptr;
  ASSERT_TRUE(GetQuilloSnipingToolAgent(&again));
  EXPECT_EQ(agent_, again);
  // The agent is never counted: any number of AddRef/Release changes nothing.
  for (int i = 0; i < 5; ++i)
    agent_->Release();
  agent_->AddRef();
  ASSERT_TRUE(GetQuilloSnipingToolAgent(&again));
  EXPECT_EQ(agent_, again);
}

TEST_F(AgentFacadeTest, ShotBeforeInitFailsAtOnceOnTheCallersThread) {
  EXPECT_TRUE(agent_->IsBroken());
  int failures = 0;
  std::thread::id failure_thread;
  agent_->SnippingShot(
      "/tmp/x.png", [](const NotifySnippingShot&) { ADD_FAILURE() << "no success expected"; },
      [&] {
        ++failures;
        failure_thread = std::this_thread::get_id();
      },
      4, AIScreenShotRequest());
  EXPECT_EQ(1, failures);
  EXPECT_EQ(std::this_thread::get_id(), failure_thread);
  // An empty failure callable is simply not called.
  agent_->SnippingShot("/tmp/x.png", nullptr, nullptr, 4, AIScreenShotRequest());
}

TEST_F(AgentFacadeTest, BrokenStateFollowsInitUninitAndSetBroken) {
  agent_->Init(SnippingToolConfig(), &host_, false);
  EXPECT_FALSE(agent_->IsBroken());
  agent_->SetBroken(true);
  EXPECT_TRUE(agent_->IsBroken());
  agent_->SetBroken(false);
  EXPECT_FALSE(agent_->IsBroken());
  agent_->Uninit();
  EXPECT_TRUE(agent_->IsBroken());
  // A later Init creates a new service host, with its own configuration, and
  // the agent is usable again.
  SnippingToolConfig config;
  config.extras["timeout_config"] = R"({"ProcessHandshakeTimeout":7000})";
  agent_->Init(config, &host_, false);
  EXPECT_FALSE(agent_->IsBroken());
  EXPECT_EQ(7000u, static_cast<SnippingToolAgent*>(agent_)->service_host_for_testing()
                       ->process_handshake_timeout());
}

TEST_F(AgentFacadeTest, SecondInitReplacesOnlyTheDelegate) {
  SnippingToolConfig first;
  first.extras["timeout_config"] = R"({"IPCInvokeTimeout":4000})";
  agent_->Init(first, &host_, false);
  auto* facade = static_cast<SnippingToolAgent*>(agent_);
  SnippingToolAgentServiceHost* service_host = facade->service_host_for_testing();
  ASSERT_NE(nullptr, service_host);

  TestHost other;
  SnippingToolConfig second;
  second.extras["timeout_config"] = R"({"IPCInvokeTimeout":6000})";
  agent_->Init(second, &other, true);
  EXPECT_EQ(service_host, facade->service_host_for_testing());
  EXPECT_EQ(&other, facade->delegate().get());
  EXPECT_EQ(4000u, service_host->ipc_invoke_timeout());
  agent_->Uninit();
}

TEST_F(AgentFacadeTest, GuardedSettersDoNothingWhileBroken) {
  agent_->Init(SnippingToolConfig(), &host_, false);
  auto* facade = static_cast<SnippingToolAgent*>(agent_);
  SnippingToolAgentServiceHost* service_host = facade->service_host_for_testing();
  agent_->SetGraySwitch("a", true);
  agent_->SetBroken(true);
  agent_->SetGraySwitch("b", true);
  agent_->SetGraySwitch("a", false);
  const std::map<std::string, bool> expected = {{"a", true}};
  EXPECT_EQ(expected, service_host->grays());

  // Not guarded: the recording setters, SetBroken and TerminateSnippingTool,
  // which also clears the broken state.
  agent_->SetRecordStartedCallback([] {});
  agent_->TerminateSnippingTool();
  EXPECT_FALSE(agent_->IsBroken());
  agent_->SetGraySwitch("a", false);
  EXPECT_FALSE(service_host->grays().at("a"));
}

TEST_F(AgentFacadeTest, RuntimeRecordsReachTheDelegateOnlyWhileInitialised) {
  IpcCoreLogSink(1, "ipc_core/src/x.cc", 10, 7, "before init");
  agent_->Init(SnippingToolConfig(), &host_, false);
  IpcCoreLogSink(2, "ipc_core/src/x.cc", 11, -5, "while initialised");
  IpcCoreLogSink(2, nullptr, 12, 0, "no file: dropped");
  agent_->Uninit();
  IpcCoreLogSink(0, "ipc_core/src/x.cc", 13, 0, "after uninit");

  std::vector<testing::RuntimeLogRecord> records;
  for (const auto& r : host_.runtime_logs()) {
    if (r.file == "ipc_core/src/x.cc")
      records.push_back(r);
  }
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(2, records[0].severity);
  EXPECT_EQ(11, records[0].line);
  EXPECT_EQ(-5, records[0].value);
  EXPECT_EQ("while initialised", records[0].message);
}

TEST(AgentServiceHostTest, DispatchIsExactAndNeedsAFeature) {
  ipc_core::ipc_core_refptr<SnippingToolAgentServiceHost> host(new SnippingToolAgentServiceHost());
  EXPECT_FALSE(host->HandleRequest("SNIPPING_TOOL_AGENT.snipping.handshake", "", nullptr));
  EXPECT_FALSE(host->HandleRequest("snipping_tool_agent.snipping.handshake", "{}", nullptr));
  EXPECT_FALSE(host->HandleRequest("snipping_tool_agent.snipping.nope", "{}", nullptr));
}
}  // namespace
}  // namespace snipping_tool
