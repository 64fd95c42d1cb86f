// Only the tool the agent launched may talk to it: other local clients are
// refused in the opening exchange, whatever secret they present, and the
// running shot does not notice.
#include <string>

#include <gtest/gtest.h>

#include "tests/agent/agent_test_support.h"
#include "tests/ipc_core/ipc_test_support.h"

namespace snipping_tool {
namespace {

using testing::AgentTest;

// The one-time secret the agent put into a running tool's environment.
std::string ToolSecret(int pid) {
  return test_os::EnvironmentVariableOf(pid, ipc_core::kPeerSecretEnvironmentVariable);
}

// Whether a local client that is not the launched tool gets in with |secret|.
bool Admitted(int port, const std::string& secret) {
  ipc_test::TestClient client = ipc_test::TestClient::Create();
  const bool connected = client.Connect(port, secret);
  client.client->Close();
  return connected;
}

TEST_F(AgentTest, ForeignClientsAreRefusedAndTheRunningShotGoesOn) {
  // The tool holds its shot answer back while the intruders try their luck.
  StartAgent(WithScript(R"({"at":"on_shot","do":"delay","ms":400,"shot":2})"));
  auto first = Shot();
  ASSERT_TRUE(WaitForOutcome(first));
  const std::string replayed = ToolSecret(LastToolPid());
  ASSERT_FALSE(replayed.empty());

  // A second tool, with a secret of its own; the first one's is spent.
  agent()->TerminateSnippingTool();
  auto shot = Shot();
  ASSERT_TRUE(
      host().RunUntil([&] { return ToolTrace("recv", "snipping_tool.snipping.shot").size() == 2; }));
  const std::string current = ToolSecret(LastToolPid());
  ASSERT_FALSE(current.empty());
  EXPECT_NE(replayed, current);

  const int port = static_cast<int>(service_host()->port_number());
  EXPECT_FALSE(Admitted(port, std::string(32, 'a')));  // a wrong one
  EXPECT_FALSE(Admitted(port, replayed));              // an earlier launch's
  EXPECT_FALSE(Admitted(port, current));               // the connected tool's

  ASSERT_TRUE(WaitForOutcome(shot));
  EXPECT_EQ(1, shot->successes);
  EXPECT_EQ(0, shot->failures);
  EXPECT_FALSE(agent()->IsBroken());
  // Refused connections never reached the agent: no connection event beyond
  // the two tools', and no stop.
  int connected = 0;
  for (const std::string& line : log().Lines()) {
    connected += line.rfind("[SnippingToolAgent] OnServiceInvokerConnected", 0) == 0;
    EXPECT_EQ(std::string::npos, line.find("StopSnippingShot")) << line;
  }
  EXPECT_EQ(2, connected);
}

}  // namespace
}  // namespace snipping_tool
