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
using AgentFacadeTest = testing::AgentTest;

TEST_F(AgentFacadeTest, FactoryHandsOutOneAgentAndRefusesANullOut) {
  EXPECT_FALSE(GetQuilloSnipingToolAgent(nullptr));
  ISnippingToolAgent* again = nullptr;
  ASSERT_TRUE(GetQuilloSnipingToolAgent(&again));
  EXPECT_EQ(agent(), again);
  // The agent is never counted: any number of AddRef/Release changes nothing.
  for (int i = 0; i < 5; ++i)
    agent()->Release();
  agent()->AddRef();
  ASSERT_TRUE(GetQuilloSnipingToolAgent(&again));
  EXPECT_EQ(agent(), again);
}

TEST_F(AgentFacadeTest, ShotBeforeInitFailsAtOnceOnTheCallersThread) {
  EXPECT_TRUE(agent()->IsBroken());
  int failures = 0;
  std::thread::id failure_thread;
  agent()->SnippingShot(
      "/tmp/x.png", [](const NotifySnippingShot&) { ADD_FAILURE() << "no success expected"; },
      [&] {
        ++failures;
        failure_thread = std::this_thread::get_id();
      },
      4, AIScreenShotRequest());
  EXPECT_EQ(1, failures);
  EXPECT_EQ(std::this_thread::get_id(), failure_thread);
  // An empty failure callable is simply not called.
  agent()->SnippingShot("/tmp/x.png", nullptr, nullptr, 4, AIScreenShotRequest());
}

TEST_F(AgentFacadeTest, BrokenStateFollowsInitUninitAndSetBroken) {
  StartAgent();
  EXPECT_FALSE(agent()->IsBroken());
  agent()->SetBroken(true);
  EXPECT_TRUE(agent()->IsBroken());
  agent()->SetBroken(false);
  EXPECT_FALSE(agent()->IsBroken());
  agent()->Uninit();
  EXPECT_TRUE(agent()->IsBroken());
  // A later Init creates a new service host, with its own configuration, and
  // the agent is usable again.
  SnippingToolConfig config;
  config.extras["timeout_config"] = R"({"ProcessHandshakeTimeout":7000})";
  StartAgent(config);
  EXPECT_FALSE(agent()->IsBroken());
  EXPECT_EQ(7000u, service_host()->process_handshake_timeout());
}

TEST_F(AgentFacadeTest, SecondInitReplacesOnlyTheDelegate) {
  SnippingToolConfig first;
  first.extras["timeout_config"] = R"({"IPCInvokeTimeout":4000})";
  StartAgent(first);
  SnippingToolAgentServiceHost* first_host = service_host();
  ASSERT_NE(nullptr, first_host);

  TestHost other;
  SnippingToolConfig second;
  second.extras["timeout_config"] = R"({"IPCInvokeTimeout":6000})";
  agent()->Init(second, &other, true);
  EXPECT_EQ(first_host, service_host());
  EXPECT_EQ(&other, static_cast<SnippingToolAgent*>(agent())->delegate().get());
  EXPECT_EQ(4000u, first_host->ipc_invoke_timeout());
  agent()->Uninit();
}

TEST_F(AgentFacadeTest, GuardedSettersDoNothingWhileBroken) {
  StartAgent();
  agent()->SetGraySwitch("a", true);
  agent()->SetBroken(true);
  agent()->SetGraySwitch("b", true);
  agent()->SetGraySwitch("a", false);
  const std::map<std::string, bool> expected = {{"a", true}};
  EXPECT_EQ(expected, service_host()->grays());

  // Not guarded: the recording setters, SetBroken and TerminateSnippingTool,
  // which also clears the broken state.
  agent()->SetRecordStartedCallback([] {});
  agent()->TerminateSnippingTool();
  EXPECT_FALSE(agent()->IsBroken());
  agent()->SetGraySwitch("a", false);
  EXPECT_FALSE(service_host()->grays().at("a"));
}

TEST_F(AgentFacadeTest, RuntimeRecordsReachTheDelegateOnlyWhileInitialised) {
  IpcCoreLogSink(1, "ipc_core/src/x.cc", 10, 7, "before init");
  StartAgent();
  IpcCoreLogSink(2, "ipc_core/src/x.cc", 11, -5, "while initialised");
  IpcCoreLogSink(2, nullptr, 12, 0, "no file: dropped");
  agent()->Uninit();
  IpcCoreLogSink(0, "ipc_core/src/x.cc", 13, 0, "after uninit");

  std::vector<testing::RuntimeLogRecord> records;
  for (const auto& r : host().runtime_logs()) {
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
