// What the host does to end a shot that hangs must end that shot only: the
// next shot, started right away, belongs to a new tool and must not inherit
// the end of the old one.
#include <cstdio>
#include <cstdlib>
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
      for (const std::string& line : log().Lines())
        std::fprintf(stderr, "  agent| %s\n", line.c_str());
    }
    AgentTest::TearDown();
    testing::KillSurvivors(grandchildren_);
  }
  testing::RogueToolInstall rogue_;
  std::vector<int> grandchildren_;
};

// Cases of faults that were found and fixed: a stale shot request's failure
// ending the next shot, a screen-AI answer reaching the next tool, a cold
// shot out of descriptors.
class HostActionRegressionTest : public HostActionTest {};

// The shot request waits at a stuck tool; the host gives up on it with
// TerminateSnippingTool and asks for the next shot at once. Killing the
// tool ends the connection that carried the old shot request, so that
// request fails "at once" with a lost connection: it belongs to a shot the
// host has already ended, exactly like the disconnect of that connection,
// which the agent ignores as stale.
TEST_F(HostActionRegressionTest, OldShotRequestFailingAfterTerminateDoesNotEndTheNextShot) {
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
TEST_F(HostActionRegressionTest, ScreenAIAnswerForAGoneToolIsNotHandedToTheNextTool) {
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

// Ordinary tool timing: each event belongs to its launch, connection and
// shot, and only a current one ends or breaks anything.

// A host near its descriptor limit: the cold shot cannot launch its tool
// and ends cleanly as a failed start; once descriptors are back, the host
// clears the broken state and the next shot works.
TEST_F(HostActionRegressionTest, OutOfDescriptorsAShotFailsCleanlyAndTheNextOneWorks) {
  rogue_.UseReferenceTool();
  StartAgent();
  auto first = Shot();  // the service host is up and listening from here on
  ASSERT_TRUE(WaitForOutcome(first));
  ASSERT_EQ(1, first->successes);
  const int tool = LastToolPid();
  agent()->TerminateSnippingTool();
  // The old tool's descriptors must be gone first: one freed during the
  // starved shot would be enough for its launch.
  ASSERT_TRUE(testing::WaitForProcessGone(tool));
  ASSERT_TRUE(testing::RunUiUntil(host(), [&] {
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

// Cold shots back to back, each tool exiting after its result: a shot may
// go to the tool that is exiting and fail as a lost tool, but no shot is
// ended by another's events, the agent stays usable, and the shot after a
// failure succeeds.
// A tool that ends soon after its launch (after its result, or killed in
// the middle of a shot) leaves its handshake wait behind; when it falls due
// the agent is idle or on a later launch, and stays usable.
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
    rogue_.UseReferenceTool();
    StartAgent(WithScript(c.steps));
    for (int round = 0; round < 2; ++round) {
      auto shot = Shot();
      ASSERT_TRUE(WaitForOutcome(shot));
      const int tool = LastToolPid();
      ASSERT_TRUE(testing::WaitForProcessGone(tool));
      ASSERT_TRUE(testing::RunUiUntil(host(), [&] {
        return log().Contains("[SnippingToolAgent] OnServiceInvokerDisconnected connection_id:" +
                              std::to_string(round + 1));
      }));
      host().AdvanceTime(service_host()->process_handshake_timeout() +
                         service_host()->ipc_prepare_port_timeout());
      EXPECT_EQ(c.succeeds ? 1 : 0, shot->successes);
      EXPECT_EQ(c.succeeds ? 0 : 1, shot->failures);
      EXPECT_FALSE(agent()->IsBroken()) << "round " << round;
    }
    EXPECT_TRUE(log().Contains("[SnippingToolAgent] OnWaitHandleshakeTimeout stale shot:1 launch:1"));
    EXPECT_FALSE(host().HasEvent("pc_snipping_shot_broken_handeshake_timeout"));
    agent()->Uninit();
    host().RunUntilIdle();
  }
}

// The tool dies in the middle of a shot and the host asks for the next shot
// before the stop's UI half has run; a host that sets the agent broken
// while a shot runs sees that shot end all the same. Each shot ends with
// exactly one of its callables.
TEST_F(HostActionTest, EveryShotEndsOnceWithItsOwnCallable) {
  rogue_.UseReferenceTool();
  StartAgent(WithScript(R"({"at":"on_shot","do":"no_reply","shot":1})"));
  auto first = Shot();
  ASSERT_TRUE(testing::RunUiUntil(host(), [&] { return !ToolTrace("step", "on_shot").empty(); }));
  test_os::KillProcess(LastToolPid());
  ASSERT_TRUE(testing::WaitFor([&] {
    return log().Contains("[SnippingToolAgent] StopSnippingShot reason:5 broken:0");
  }));
  rogue_.Use("good", "");
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
  ASSERT_TRUE(testing::RunUiUntil(host(), [&] { return ToolTrace("step", "on_shot").size() == 2; }));
  agent()->SetBroken(true);
  test_os::KillProcess(LastToolPid());
  ASSERT_TRUE(testing::RunUiUntil(host(), [&] { return third->failures == 1; }));
  EXPECT_TRUE(agent()->IsBroken()) << "the host's broken state is the host's";
  EXPECT_FALSE(service_host()->is_snipping_working());
  agent()->SetBroken(false);
  rogue_.Use("good", "");
  auto fourth = Shot();
  ASSERT_TRUE(WaitForOutcome(fourth));
  EXPECT_EQ(1, fourth->successes);
  EXPECT_EQ(0, third->successes);
}

// A hide the host sends while no tool is connected is dropped: held for the
// next tool, {"exit_screen_tool":true} would close it in its first shot.
TEST_F(HostActionTest, HideWithNoToolConnectedNeverReachesTheNextTool) {
  rogue_.SetReportFile(temp_dir().File("rogue_report.txt"));
  rogue_.UseReferenceTool();
  StartAgent(WithScript(R"({"at":"after_result","do":"exit","code":0})"));
  auto first = Shot();
  ASSERT_TRUE(WaitForOutcome(first));
  ASSERT_TRUE(testing::RunUiUntil(host(), [&] {
    return log().Contains("[SnippingToolAgent] StopSnippingShot_UI reason:ipc_disconneted");
  }));
  agent()->OnSelectUserWndHide(true);
  EXPECT_TRUE(log().Contains(
      "[SnippingToolAgent] snipping_tool::SnippingToolAgentServiceHost::OnSelectUserWndHide no "
      "tool connected"));
  rogue_.Use("good", "");
  auto next = Shot();
  ASSERT_TRUE(WaitForOutcome(next));
  EXPECT_EQ(1, next->successes);
  for (const std::string& line : rogue_.ReportLines())
    EXPECT_EQ(std::string::npos, line.find("on_select_user_wnd_hide")) << line;
}

TEST_F(HostActionTest, BackToBackColdShotsWithToolsExitingAfterTheirResults) {
  const int kShots = test_os::UnderEmulation() ? 20 : 200;
  rogue_.UseReferenceTool();
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

// A tool's descendants that leave its session (setsid) or its parentage (a
// double-forked daemon) are still the tool's: TerminateSnippingTool ends
// them, and so does Uninit, after which the agent has no child left.
TEST_F(HostActionTest, DescendantsThatLeaveTheToolsSessionEndWithTerminateAndWithUninit) {
  StartAgent(WithScript(R"({"at":"after_handshake","do":"spawn_grandchild"},
                          {"at":"after_handshake","do":"spawn_setsid_grandchild"},
                          {"at":"after_handshake","do":"spawn_daemon"})"));
  size_t seen = 0;  // the trace holds the descendants of every tool so far
  auto descendants_of_next_tool = [&] {
    // The tool starts them at its handshake, beside the shot it serves: the
    // result may arrive before the last of them is in the trace.
    testing::WaitFor([&] {
      for (const char* kind : {"grandchild", "setsid_grandchild", "daemon"}) {
        if (ToolTrace(kind).size() < seen + 1)
          return false;
      }
      return true;
    });
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
