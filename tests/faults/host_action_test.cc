// What the host does to end a shot that hangs must end that shot only: the
// next shot, started right away, belongs to a new tool and must not inherit
// the end of the old one.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/faults/fault_support.h"

namespace snipping_tool {
namespace {

using testing::AgentTest;

class HostActionTest : public AgentTest {
 protected:
  void TearDown() override {
    if (HasFailure()) {
      for (const std::string& line : log().lines())
        std::fprintf(stderr, "  agent| %s\n", line.c_str());
    }
    AgentTest::TearDown();
    testing::KillSurvivors(grandchildren_);
  }
  testing::RogueToolInstall rogue_;
  std::vector<int> grandchildren_;
};

// The shot request waits at a stuck tool; the host gives up on it with
// TerminateSnippingTool and asks for the next shot at once. Killing the
// tool ends the connection that carried the old shot request, so that
// request fails "at once" with a lost connection: it belongs to a shot the
// host has already ended, exactly like the disconnect of that connection,
// which the agent ignores as stale.
TEST_F(HostActionTest, OldShotRequestFailingAfterTerminateDoesNotEndTheNextShot) {
  SnippingToolConfig config = WithScript(R"({"at":"on_shot","do":"delay","ms":60000})");
  // Long enough that only the lost connection can end the old request.
  config.extras["timeout_config"] = R"({"IPCInvokeTimeout":30000})";
  rogue_.SetReportFile(temp_dir().path().Append("rogue_report.txt").value());
  rogue_.UseReferenceTool();
  StartAgent(config);
  auto stuck = Shot();
  ASSERT_TRUE(host().RunUntil([&] { return !ToolTrace("step", "on_shot").empty(); }));
  const int stuck_tool = LastToolPid();

  rogue_.Use("good", "");
  agent()->TerminateSnippingTool();
  auto next = Shot();
  ASSERT_TRUE(WaitForOutcome(next));
  // Both ends of the old tool are in: its connection's end and its request's.
  ASSERT_TRUE(host().RunUntil([&] {
    return log().Contains(
        "[SnippingToolAgent] OnServiceInvokerDisconnected stale connection ignored "
        "connection_id:1");
  }));
  EXPECT_TRUE(testing::WaitForProcessGone(stuck_tool));
  host().RunUntilIdle();

  EXPECT_EQ(1, next->successes) << "the next shot was ended by the old one's request";
  EXPECT_EQ(0, next->failures);
  EXPECT_FALSE(agent()->IsBroken());
  EXPECT_EQ(0, stuck->successes);
  EXPECT_LE(stuck->failures, 1);
}

}  // namespace
}  // namespace snipping_tool
