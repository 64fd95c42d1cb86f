// What the host does (terminate, set broken, hide, uninit) and tools that end
// soon after their launch: each event ends or breaks only its own shot.
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
  testing::RogueToolInstall rogue_;
};

// Faults that were found and fixed: a stale shot request ending the next
// shot, a screen-AI answer reaching the next tool, a cold shot out of descriptors.
class HostActionRegressionTest : public HostActionTest {};

// The host ends a shot stuck at its tool and asks for the next one at once:
// the old shot request then fails with the lost connection, and like that
// connection's disconnect it is stale.
TEST_F(HostActionRegressionTest, OldShotRequestFailingAfterTerminateDoesNotEndTheNextShot) {
  SnippingToolConfig config = WithScript(R"({"at":"on_shot","do":"delay","ms":60000})");
  // Long enough that only the lost connection can end the old request.
  config.extras["timeout_config"] = R"({"IPCInvokeTimeout":30000})";
  StartAgent(config);
  auto stuck = Shot();
  ASSERT_TRUE(host().RunUntil([&] { return !ToolTrace("step", "on_shot").empty(); }));
  const int stuck_tool = LastToolPid();

  rogue_.UseRogueTool();
  agent()->TerminateSnippingTool();
  auto next = Shot();
  ASSERT_TRUE(WaitForOutcome(next));
  // Both ends of the old tool are in: its connection's end and its request's.
  ASSERT_TRUE(host().RunUntil([&] {
    return log().Contains("[SnippingToolAgent] OnServiceInvokerDisconnected stale connection_id:1");
  }));
  EXPECT_TRUE(test_os::WaitForProcessGone(stuck_tool));
  host().RunUntilIdle();

  EXPECT_EQ(1, next->successes) << "the next shot was ended by the old one's request";
  EXPECT_EQ(0, next->failures);
  EXPECT_FALSE(agent()->IsBroken());
  EXPECT_EQ(0, stuck->successes);
  EXPECT_EQ(1, stuck->failures);
}

// The host answers a screen-AI request after the tool that asked has died:
// the answer is lost with it, the next tool never asked for it.
TEST_F(HostActionRegressionTest, ScreenAIAnswerForAGoneToolIsNotHandedToTheNextTool) {
  // The pause lets the request leave before the crash.
  StartAgent(WithScript(
      R"({"at":"after_shot_reply","do":"request_ai","json":{"seq_id":7,"ai_type":1}},
         {"at":"after_shot_reply","do":"delay","ms":200},
         {"at":"after_shot_reply","do":"crash"})"));
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
  // Only to the tool that asked: it is gone, so the answer fails at once.
  EXPECT_TRUE(test_os::WaitUntil([&] {
    return log().Contains(
        "[SnippingToolAgent] snipping_tool::SnippingToolAgentServiceHost::ResponseAIResult::"
        "<lambda_2>::operator () failed");
  }));

  rogue_.UseRogueTool();
  auto next = Shot();
  ASSERT_TRUE(WaitForOutcome(next));
  EXPECT_EQ(1, next->successes);
  for (const std::string& line : rogue_.ReportLines()) {
    EXPECT_EQ(std::string::npos, line.find("recv snipping_tool.snipping.response_ai"))
        << "the next tool was handed the gone tool's screen-AI answer: " << line;
  }
}

// A host out of descriptors: the cold shot ends cleanly as a failed start;
// once they are back and the host clears the broken state, the next works.
TEST_F(HostActionRegressionTest, OutOfDescriptorsAShotFailsCleanlyAndTheNextOneWorks) {
  StartAgent();
  auto first = Shot();  // the service host is up and listening from here on
  ASSERT_TRUE(WaitForOutcome(first));
  ASSERT_EQ(1, first->successes);
  const int tool = LastToolPid();
  agent()->TerminateSnippingTool();
  // The old tool's descriptors must be gone first: one freed during the
  // starved shot would be enough for its launch.
  ASSERT_TRUE(test_os::WaitForProcessGone(tool));
  ASSERT_TRUE(host().RunUntil([&] {
    return log().Contains("[SnippingToolAgent] OnServiceInvokerDisconnected connection_id:1");
  }));
  std::shared_ptr<testing::ShotOutcome> starved;
  {
    test_os::DescriptorExhaustion exhaustion;
    if (!exhaustion.Take())
      GTEST_SKIP() << "no per-process descriptor limit here";
    starved = Shot();
    ASSERT_TRUE(WaitForOutcome(starved));
  }
  ExpectStopped(*starved, "start_process", /*broken=*/true);
  agent()->SetBroken(false);
  auto next = Shot();
  ASSERT_TRUE(WaitForOutcome(next));
  EXPECT_EQ(1, next->successes);
}

// A tool that ends soon after its launch leaves its handshake wait behind;
// when it falls due the agent is idle or on a later launch, and stays usable.
TEST_F(HostActionTest, ToolEndingSoonAfterItsLaunchLeavesTheAgentUsable) {
  const struct {
    const char* steps;
    bool succeeds;
  } kCases[] = {
      {R"({"at":"after_result","do":"exit","code":0})", true},
      {R"({"at":"after_shot_reply","do":"exit","code":0})", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.steps);
    log().Clear();
    StartAgent(WithScript(c.steps));
    for (int round = 0; round < 2; ++round) {
      auto shot = Shot();
      ASSERT_TRUE(WaitForOutcome(shot));
      const int tool = LastToolPid();
      ASSERT_TRUE(test_os::WaitForProcessGone(tool));
      ASSERT_TRUE(host().RunUntil([&] {
        return log().Contains("[SnippingToolAgent] OnServiceInvokerDisconnected connection_id:" +
                              std::to_string(round + 1));
      }));
      host().AdvanceTime(service_host()->process_handshake_timeout() +
                         service_host()->ipc_prepare_port_timeout());
      EXPECT_EQ(c.succeeds ? 1 : 0, shot->successes);
      EXPECT_EQ(c.succeeds ? 0 : 1, shot->failures);
      EXPECT_FALSE(agent()->IsBroken()) << "round " << round;
    }
    EXPECT_TRUE(
        log().Contains("[SnippingToolAgent] OnWaitHandleshakeTimeout stale shot:1 launch:1"));
    EXPECT_FALSE(host().HasEvent("pc_snipping_shot_broken_handeshake_timeout"));
    agent()->Uninit();
    host().RunUntilIdle();
  }
}

// The next shot asked for before a stop's UI half has run, and a broken
// state set by the host while a shot runs: each shot ends once, its own way.
TEST_F(HostActionTest, EveryShotEndsOnceWithItsOwnCallable) {
  StartAgent(WithScript(R"({"at":"on_shot","do":"no_reply","shot":1})"));
  auto first = Shot();
  ASSERT_TRUE(host().RunUntil([&] { return !ToolTrace("step", "on_shot").empty(); }));
  test_os::KillProcess(LastToolPid());
  ASSERT_TRUE(test_os::WaitUntil(
      [&] { return log().Contains("[SnippingToolAgent] StopSnippingShot reason:5 broken:0"); }));
  rogue_.UseRogueTool();
  auto second = Shot();  // before the first stop's UI half
  ASSERT_TRUE(WaitForOutcome(second));
  host().RunUntilIdle();
  EXPECT_EQ(1, first->failures);
  EXPECT_EQ(0, first->successes);
  EXPECT_EQ(1, second->successes);
  EXPECT_EQ(0, second->failures);

  // The host sets the agent broken while a shot runs; the tool then ends.
  rogue_.UseReferenceTool();
  agent()->TerminateSnippingTool();
  auto third = Shot();
  ASSERT_TRUE(host().RunUntil([&] { return ToolTrace("step", "on_shot").size() == 2; }));
  agent()->SetBroken(true);
  test_os::KillProcess(LastToolPid());
  ASSERT_TRUE(host().RunUntil([&] { return third->failures == 1; }));
  EXPECT_TRUE(agent()->IsBroken()) << "the host's broken state is the host's";
  EXPECT_FALSE(service_host()->is_snipping_working());
  agent()->SetBroken(false);
  rogue_.UseRogueTool();
  auto fourth = Shot();
  ASSERT_TRUE(WaitForOutcome(fourth));
  EXPECT_EQ(1, fourth->successes);
  EXPECT_EQ(0, third->successes);
}

// A hide the host sends while no tool is connected is dropped: held for the
// next tool, {"exit_screen_tool":true} would close it in its first shot.
TEST_F(HostActionTest, HideWithNoToolConnectedNeverReachesTheNextTool) {
  StartAgent(WithScript(R"({"at":"after_result","do":"exit","code":0})"));
  auto first = Shot();
  ASSERT_TRUE(WaitForOutcome(first));
  ASSERT_TRUE(host().RunUntil([&] {
    return log().Contains("[SnippingToolAgent] StopSnippingShot_UI reason:ipc_disconneted");
  }));
  agent()->OnSelectUserWndHide(true);
  EXPECT_TRUE(log().Contains(
      "[SnippingToolAgent] snipping_tool::SnippingToolAgentServiceHost::OnSelectUserWndHide no "
      "tool connected"));
  auto next = Shot();
  ASSERT_TRUE(WaitForOutcome(next));
  EXPECT_EQ(1, next->successes);
  EXPECT_TRUE(ToolTrace("recv", "snipping_tool.snipping.on_select_user_wnd_hide").empty());
}

// Cold shots back to back, each tool exiting after its result: a shot may go
// to the exiting tool and fail as a lost tool, but never two in a row.
TEST_F(HostActionTest, BackToBackColdShotsWithToolsExitingAfterTheirResults) {
  const int kShots = test_os::UnderEmulation() ? 20 : 200;
  StartAgent(WithScript(R"({"at":"after_result","do":"exit","code":0})"));
  int failed = 0;
  bool last_failed = false;
  for (int i = 0; i < kShots; ++i) {
    auto shot = Shot();
    ASSERT_TRUE(WaitForOutcome(shot)) << "shot " << i;
    host().RunUntilIdle();
    ASSERT_EQ(1, shot->successes + shot->failures) << "shot " << i;
    ASSERT_FALSE(agent()->IsBroken()) << "shot " << i;
    if (shot->failures) {
      ASSERT_FALSE(last_failed) << "shot " << i << " failed after a failure";
      ++failed;
    }
    last_failed = shot->failures != 0;
  }
  for (const std::string& event : host().events()) {
    if (event.rfind("pc_snipping_shot_broken_", 0) == 0) {
      EXPECT_EQ("pc_snipping_shot_broken_ipc_disconneted", event);
    }
  }
  std::printf("%d of %d back-to-back cold shots went to an exiting tool\n", failed, kShots);
}

// Descendants that left the tool's session (setsid) or parentage (a daemon)
// end with Uninit, which leaves no child. TerminateSnippingTool closes the
// same job: the fault matrix sees the grandchild end.
TEST_F(HostActionTest, DescendantsThatLeaveTheToolsSessionEndWithUninit) {
  StartAgent(WithScript(R"({"at":"after_handshake","do":"spawn_grandchild"},
                          {"at":"after_handshake","do":"spawn_setsid_grandchild"},
                          {"at":"after_handshake","do":"spawn_daemon"})"));
  auto shot = Shot();
  ASSERT_TRUE(WaitForOutcome(shot));
  ASSERT_EQ(1, shot->successes);
  // Started at the handshake, they may trail the shot's result.
  ASSERT_TRUE(test_os::WaitUntil([&] {
    descendants_.clear();
    for (const char* kind : {"grandchild", "setsid_grandchild", "daemon"}) {
      const auto spawned = ToolTrace(kind);
      if (!spawned.empty() && std::stoi(spawned[0].name) > 0)
        descendants_.push_back(std::stoi(spawned[0].name));
    }
    return descendants_.size() == 3;
  }));
  const int tool = LastToolPid();
  agent()->Uninit();
  EXPECT_TRUE(test_os::WaitForProcessGone(tool));
  for (const int pid : descendants_)
    EXPECT_TRUE(test_os::WaitForProcessEnd(pid)) << "descendant " << pid << " outlived Uninit";
  EXPECT_TRUE(test_os::WaitUntil([] { return test_os::ChildProcesses().empty(); }))
      << test_os::ChildProcesses().size() << " child processes left after Uninit";
}

}  // namespace
}  // namespace snipping_tool
