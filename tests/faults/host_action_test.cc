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

// A tool's descendants that leave its session (setsid) or its parentage (a
// double-forked daemon) are still the tool's: TerminateSnippingTool ends
// them, and so does Uninit, after which the agent has no child left.
TEST_F(HostActionTest, DescendantsThatLeaveTheToolsSessionEndWithTerminateAndWithUninit) {
  StartAgent(WithScript(R"({"at":"after_handshake","do":"spawn_grandchild"},
                          {"at":"after_handshake","do":"spawn_setsid_grandchild"},
                          {"at":"after_handshake","do":"spawn_daemon"})"));
  size_t seen = 0;  // the trace holds the descendants of every tool so far
  auto descendants_of_next_tool = [&] {
    std::vector<int> pids;
    for (const char* kind : {"grandchild", "setsid_grandchild", "daemon"}) {
      const auto spawned = ToolTrace(kind);
      EXPECT_EQ(seen + 1, spawned.size()) << kind;
      if (spawned.size() == seen + 1)
        pids.push_back(std::stoi(spawned[seen].name));
    }
    ++seen;
    for (const int pid : pids)
      EXPECT_GT(pid, 0);
    grandchildren_.insert(grandchildren_.end(), pids.begin(), pids.end());
    return pids;
  };
  for (const char* end : {"TerminateSnippingTool", "Uninit"}) {
    SCOPED_TRACE(end);
    auto shot = Shot();
    ASSERT_TRUE(WaitForOutcome(shot));
    ASSERT_EQ(1, shot->successes);
    const std::vector<int> descendants = descendants_of_next_tool();
    ASSERT_EQ(3u, descendants.size());
    const int tool = LastToolPid();
    if (std::string(end) == "Uninit")
      agent()->Uninit();
    else
      agent()->TerminateSnippingTool();
    EXPECT_TRUE(testing::WaitForProcessGone(tool));
    for (const int pid : descendants)
      EXPECT_TRUE(testing::WaitForProcessDead(pid)) << "descendant " << pid << " outlived " << end;
  }
  EXPECT_TRUE(testing::WaitFor([] { return test_os::ChildProcesses().empty(); }))
      << test_os::ChildProcesses().size() << " child processes left after Uninit";
}

}  // namespace
}  // namespace snipping_tool
