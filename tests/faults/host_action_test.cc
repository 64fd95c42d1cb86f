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
  rogue_.SetReportFile(temp_dir().File("rogue_report.txt"));
  rogue_.UseReferenceTool();
  StartAgent(config);
  auto stuck = Shot();
  ASSERT_TRUE(testing::RunUiUntil(host(), [&] { return !ToolTrace("step", "on_shot").empty(); }));
  const int stuck_tool = LastToolPid();

  rogue_.Use("good", "");
  agent()->TerminateSnippingTool();
  auto next = Shot();
  ASSERT_TRUE(WaitForOutcome(next));
  // Both ends of the old tool are in: its connection's end and its request's.
  ASSERT_TRUE(testing::RunUiUntil(host(), [&] {
    return log().Contains(
        "[SnippingToolAgent] OnServiceInvokerDisconnected stale connection_id:1");
  }));
  EXPECT_TRUE(testing::WaitForProcessGone(stuck_tool));
  host().RunUntilIdle();

  EXPECT_EQ(1, next->successes) << "the next shot was ended by the old one's request";
  EXPECT_EQ(0, next->failures);
  EXPECT_FALSE(agent()->IsBroken());
  // The shot the host gave up on ended once, as a lost tool.
  EXPECT_EQ(0, stuck->successes);
  EXPECT_EQ(1, stuck->failures);
}

// The host holds a screen-AI request back; the tool that asked dies (its
// connection cut in the middle of a frame); the host answers afterwards and
// then asks for the next shot. The answer was meant for a tool that is gone
// and is lost with it: the next tool never asked for it.
TEST_F(HostActionTest, ScreenAIAnswerForAGoneToolIsNotHandedToTheNextTool) {
  rogue_.SetReportFile(temp_dir().File("rogue_report.txt"));
  rogue_.Use("midframe", "ai");
  StartAgent();
  auto first = Shot();
  ASSERT_TRUE(WaitForOutcome(first));
  ExpectStopped(*first, "ipc_disconneted", /*broken=*/false);
  const auto replies = host().ai_replies();
  ASSERT_EQ(1u, replies.size());
  ResponseAISnippingShot late;
  late.succ = true;
  late.seq_id = host().ai_requests()[0].seq_id;
  late.data = "meant for the tool that asked";
  replies[0](late);

  rogue_.Use("good", "");
  auto next = Shot();
  ASSERT_TRUE(WaitForOutcome(next));
  EXPECT_EQ(1, next->successes);
  for (const std::string& line : rogue_.ReportLines()) {
    EXPECT_EQ(std::string::npos, line.find("recv snipping_tool.snipping.response_ai"))
        << "the next tool was handed the gone tool's screen-AI answer: " << line;
  }
}

}  // namespace
}  // namespace snipping_tool
