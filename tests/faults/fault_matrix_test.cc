// The agent against a tool that fails at every stage of a shot, one test per
// cell of kind x stage: how the shot ends, that the tool and what it started
// are gone, and that the next shot works after the recovery the agent allows.
// Framing faults end a connection like a crash; the runtime's tests cover them.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/faults/fault_support.h"

namespace snipping_tool {
namespace {

using testing::AgentTest;
using testing::ShotOutcome;

enum class Kind { kCrash, kExit, kHang, kBurst, kResultTwice };

// (a) to (f); (c) is split in two: the tool has its handshake answer but the
// UI thread has not yet learned of it, and the shot request waits at the tool.
enum class Stage {
  kBeforeConnect,
  kBeforeHandshake,
  kBeforeShotSent,
  kShotPending,
  kAfterAnswer,
  kRecording,
  kAIPending,
};

enum class Outcome {
  kHandshakeTimeout,   // the virtual clock runs the handshake time-out; broken
  kDisconnected,       // ipc_disconneted, not broken
  kInvokeTimeout,      // the shot request's own time-out; broken
  kRunsUntilHostActs,  // answered, then nothing: no time-out covers the result
  kSurvives,           // the shot succeeds
};

struct Cell {
  Kind kind;
  Stage stage;
  Outcome outcome;
};

const char* const kKindNames[] = {"Crash", "CleanExit", "Hang", "Burst", "ResultTwice"};
// Per stage: its name, the rogue tool's burst stage and the script point.
const struct {
  const char* name;
  const char* rogue_stage;
  const char* script_point;
} kStages[] = {{"A_BeforeConnect", "", "before_connect"},
               {"B_BeforeHandshake", "welcome", "after_connect"},
               {"C1_HandshakenShotNotSent", "", "after_handshake"},
               {"C2_ShotUnanswered", "shot", "on_shot"},
               {"D_AnsweredNoResult", "reply", "after_shot_reply"},
               {"E_Recording", "record", "after_shot_reply"},
               {"F_ScreenAIPending", "ai", "after_shot_reply"}};

// The rules. Before connecting nothing can be sent, so no burst nor result;
// right after the handshake a burst's answers would race the UI thread.
std::vector<Cell> Cells() {
  std::vector<Cell> cells;
  for (int k = 0; k <= static_cast<int>(Kind::kResultTwice); ++k) {
    for (int s = 0; s <= static_cast<int>(Stage::kAIPending); ++s) {
      const Kind kind = static_cast<Kind>(k);
      const Stage stage = static_cast<Stage>(s);
      Outcome outcome =
          stage == Stage::kBeforeConnect ? Outcome::kHandshakeTimeout : Outcome::kDisconnected;
      if (kind == Kind::kHang && stage == Stage::kBeforeHandshake)
        outcome = Outcome::kHandshakeTimeout;
      if (kind == Kind::kHang && stage > Stage::kBeforeHandshake) {
        outcome =
            stage < Stage::kAfterAnswer ? Outcome::kInvokeTimeout : Outcome::kRunsUntilHostActs;
      }
      if (kind == Kind::kBurst || kind == Kind::kResultTwice) {
        if (stage == Stage::kBeforeConnect ||
            (kind == Kind::kBurst && stage == Stage::kBeforeShotSent))
          continue;
        outcome = Outcome::kSurvives;
      }
      cells.push_back({kind, stage, outcome});
    }
  }
  return cells;
}

constexpr char kFirstResult[] =
    R"({"image_file_path":"first","snipping_event":1,"ai_skill_data":"","pos_x":101,"pos_y":0})";
constexpr char kSecondResult[] =
    R"({"image_file_path":"second","snipping_event":1,"ai_skill_data":"","pos_x":102,"pos_y":0})";
constexpr char kStop5[] = "[SnippingToolAgent] StopSnippingShot reason:5 broken:0";
constexpr char kStaleDisconnect[] =
    "[SnippingToolAgent] OnServiceInvokerDisconnected stale connection_id:1";

// A grandchild first, to show what happens to what the tool started.
std::string ReferenceSteps(const Cell& cell) {
  std::string steps = R"({"at":"before_connect","do":"spawn_grandchild","ms":30000})";
  const std::string at = kStages[static_cast<int>(cell.stage)].script_point;
  auto step = [&](const std::string& rest) { steps += R"(,{"at":")" + at + "\"," + rest + "}"; };
  if (cell.stage == Stage::kRecording)
    step(R"("do":"record_started")");
  if (cell.stage == Stage::kAIPending)
    step(R"("do":"request_ai","json":{"seq_id":7,"ai_type":1,"text":"held back"})");
  const bool after_answer = at == "after_shot_reply";
  if (cell.kind == Kind::kCrash || cell.kind == Kind::kExit) {
    // Lets the answer and notices queued on the connection leave before the
    // process ends, so the agent sees the stage the cell is about.
    if (after_answer)
      step(R"("do":"delay","ms":200)");
    step(cell.kind == Kind::kCrash ? R"("do":"crash")" : R"("do":"exit","code":0)");
  } else if (cell.kind == Kind::kHang) {
    step(R"("do":"delay","ms":60000)");
  } else if (cell.kind == Kind::kResultTwice) {
    if (after_answer)
      step(R"("do":"skip_result")");
    for (const char* result : {kFirstResult, kSecondResult})
      step(R"("do":"send_result","payload":")" + test_support::JsonEscape(result) + "\"");
  }
  return steps;
}

class FaultMatrixTest : public AgentTest, public ::testing::WithParamInterface<Cell> {
 protected:
  void StartCell(const Cell& cell) {
    SnippingToolConfig config;
    if (cell.kind == Kind::kBurst)
      rogue_.UseRogueTool(kStages[static_cast<int>(cell.stage)].rogue_stage);
    else
      config = WithScript(ReferenceSteps(cell));
    // A short invoke time-out keeps the unanswered shot cheap; a burst holds
    // the shot's answer back until the agent has handled it all, which under
    // a sanitizer takes seconds: it gets the longest a host may configure.
    config.extras["timeout_config"] =
        cell.kind == Kind::kBurst ? R"({"IPCInvokeTimeout":9999})" : R"({"IPCInvokeTimeout":2001})";
    StartAgent(config);
    agent()->SetRecordStartedCallback([this] { ++record_started_; });
  }

  // The readied job's idle keeper included.
  void ExpectToolTreeGone(int tool_pid) {
    ASSERT_GT(tool_pid, 0);
    EXPECT_TRUE(test_os::WaitForProcessGone(tool_pid)) << "tool " << tool_pid;
    const std::vector<testing::TraceEvent> grandchild = ToolTrace("grandchild");
    if (!grandchild.empty()) {
      descendants_.push_back(atoi(grandchild[0].name.c_str()));
      EXPECT_TRUE(test_os::WaitForProcessEnd(descendants_.back())) << "grandchild";
    }
    EXPECT_TRUE(test_os::WaitUntil([] { return test_os::LaunchedProcesses().empty(); }))
        << test_os::LaunchedProcesses().size() << " launched processes left";
  }

  int BrokenEventCount() {
    int count = 0;
    for (const std::string& key : host().events())
      count += key.rfind("pc_snipping_shot_broken_", 0) == 0;
    return count;
  }

  bool LogShows(const std::string& line) {
    return host().RunUntil([&] { return log().Contains(line); });
  }

  void DriveFirstShot(const Cell& cell, const std::shared_ptr<ShotOutcome>& shot);
  void ExpectBurstHandled(const Cell& cell);
  void ExpectResultTakenOnce(const Cell& cell, const std::shared_ptr<ShotOutcome>& first);
  void RecoverAndExpectNextShot(const Cell& cell, const std::shared_ptr<ShotOutcome>& first);

  testing::RogueToolInstall rogue_;
  int record_started_ = 0;
};

void FaultMatrixTest::DriveFirstShot(const Cell& cell, const std::shared_ptr<ShotOutcome>& shot) {
  switch (cell.outcome) {
    case Outcome::kHandshakeTimeout: {
      // The time-out is armed, and the tool dead or stuck, before the virtual
      // clock moves: the handshake cannot come any more.
      ASSERT_TRUE(host().RunUntil([&] {
        if (!log().Contains("[SnippingToolAgent] WaitHandleshakeAndStopSnippingIfNeed") ||
            LastToolPid() <= 0)
          return false;
        if (cell.kind != Kind::kHang)
          return test_os::WaitForProcessGone(LastToolPid(), std::chrono::milliseconds(0));
        return !ToolTrace("step", kStages[static_cast<int>(cell.stage)].script_point).empty() &&
               (cell.stage == Stage::kBeforeConnect ||
                log().Contains("[SnippingToolAgent] OnServiceInvokerConnected connection_id:1"));
      }));
      host().AdvanceTime(service_host()->process_handshake_timeout());
      ASSERT_TRUE(WaitForOutcome(shot));
      ExpectStopped(*shot, "handeshake_timeout", /*broken=*/true);
      // A connection that never completed the opening exchange was never the
      // shot's; a tool the stop killed is stale. Neither stops anything.
      if (cell.stage == Stage::kBeforeHandshake) {
        EXPECT_TRUE(LogShows(kStaleDisconnect));
      }
      EXPECT_FALSE(log().Contains(kStop5));
      break;
    }
    case Outcome::kDisconnected: {
      if (cell.stage == Stage::kBeforeHandshake || cell.stage == Stage::kBeforeShotSent) {
        // No UI task runs until the disconnect is in: the handshake
        // completion, if any, must then find its connection gone.
        ASSERT_TRUE(test_os::WaitUntil([&] { return log().Contains(kStop5); }));
      }
      ASSERT_TRUE(WaitForOutcome(shot));
      if (cell.stage == Stage::kShotPending) {
        // The request's failure, before or after the disconnect's stop,
        // leaves the shot's end to the disconnect.
        EXPECT_TRUE(
            LogShows("[SnippingToolAgent] StartSnippingShot failure left to the disconnect"));
        EXPECT_TRUE(log().Contains(
            "[SnippingToolAgent] StartSnippingShot failure error:ErrorResult(is_timeout=0, "
            "status=0, code=1004, reason=connection lost)"));
        EXPECT_TRUE(LogShows("[SnippingToolAgent] OnServiceInvokerDisconnected connection_id:1"));
      }
      ExpectStopped(*shot, "ipc_disconneted", /*broken=*/false);
      EXPECT_EQ(1, BrokenEventCount());
      if (cell.stage == Stage::kBeforeShotSent) {
        EXPECT_TRUE(
            log().Contains("[SnippingToolAgent] OnHandleshakeSuccess stale connection_id:1"));
      }
      break;
    }
    case Outcome::kInvokeTimeout: {
      ASSERT_TRUE(WaitForOutcome(shot));
      ExpectStopped(*shot, "ipc_invoke", /*broken=*/true);
      EXPECT_TRUE(
          log().Contains("[SnippingToolAgent] StartSnippingShot failure error:"
                         "ErrorResult(is_timeout=1, status=-1, code=1003, reason=Timeout)"));
      // The stop killed the tool: the end of its connection is stale.
      EXPECT_TRUE(LogShows(kStaleDisconnect));
      host().RunUntilIdle();
      EXPECT_EQ(1, BrokenEventCount());
      EXPECT_FALSE(log().Contains(kStop5));
      break;
    }
    case Outcome::kRunsUntilHostActs: {
      ASSERT_TRUE(host().RunUntil([&] {
        return log().Contains("[SnippingToolAgent] StartSnippingShot ack") &&
               !ToolTrace("step", "after_shot_reply").empty() &&
               (cell.stage != Stage::kRecording || record_started_ == 1) &&
               (cell.stage != Stage::kAIPending || host().ai_requests().size() == 1);
      }));
      // Every time-out the agent arms passes; none covers an answered shot.
      host().AdvanceTime(service_host()->process_handshake_timeout() +
                         service_host()->ipc_invoke_timeout() + 60000);
      EXPECT_TRUE(service_host()->is_snipping_working());
      EXPECT_EQ(0, shot->failures + shot->successes);
      EXPECT_FALSE(agent()->IsBroken());
      EXPECT_TRUE(test_os::ProcessRunning(LastToolPid()));
      auto dropped = Shot();
      host().RunUntilIdle();
      EXPECT_EQ(0, dropped->failures + dropped->successes);
      // The host's way out ends it as a lost tool; the disconnect is stale.
      const int tool_pid = LastToolPid();
      agent()->TerminateSnippingTool();
      EXPECT_TRUE(test_os::WaitForProcessGone(tool_pid));
      ASSERT_TRUE(LogShows(kStaleDisconnect));
      ExpectStopped(*shot, "ipc_disconneted", /*broken=*/false);
      EXPECT_EQ(1, BrokenEventCount());
      break;
    }
    case Outcome::kSurvives:
      ASSERT_TRUE(WaitForOutcome(shot));
      host().RunUntilIdle();
      EXPECT_EQ(1, shot->successes);
      EXPECT_EQ(0, shot->failures);
      EXPECT_FALSE(agent()->IsBroken());
      EXPECT_EQ(0, BrokenEventCount());
      EXPECT_TRUE(test_os::ProcessRunning(LastToolPid()));
      break;
  }
}

// A burst of ten thousand requests, per stage: the replies the rogue tool got
// and the requests that reached the host (screen AI: no reply, plus the
// stage's own request).
int BilogEvents(testing::TestHost& host) {
  const std::vector<std::string> events = host.events();
  return static_cast<int>(std::count(events.begin(), events.end(), "rogue_burst"));
}
const struct {
  Stage stage;
  const char* report;
  int reached_host;
  int (*count)(testing::TestHost& host);
} kBurstRules[] = {
    {Stage::kBeforeHandshake, "bilog replies 0 errors 0", 0, BilogEvents},
    {Stage::kShotPending, "bilog replies 10000 errors 0", 10000, BilogEvents},
    {Stage::kAfterAnswer, "set_config replies 10000 errors 0", 10000,
     [](testing::TestHost& host) { return static_cast<int>(host.configs().size()); }},
    {Stage::kRecording, "show_vip_wnd replies 10000 errors 0", 10000,
     [](testing::TestHost& host) { return host.vip_window_count(); }},
    {Stage::kAIPending, "request_ai replies 0 errors 0", 10001,
     [](testing::TestHost& host) { return static_cast<int>(host.ai_requests().size()); }},
};

void FaultMatrixTest::ExpectBurstHandled(const Cell& cell) {
  const auto rule = std::find_if(std::begin(kBurstRules), std::end(kBurstRules),
                                 [&](const auto& r) { return r.stage == cell.stage; });
  ASSERT_NE(rule, std::end(kBurstRules)) << "no burst at this stage";
  std::string burst;
  ASSERT_TRUE(host().RunUntil([&] {
    for (const std::string& line : rogue_.ReportLines())
      burst = line.find(" burst ") == line.find(' ') ? line : burst;  // after the pid
    return !burst.empty();
  })) << "the rogue tool never finished its burst";
  host().RunUntilIdle();
  EXPECT_NE(std::string::npos, burst.find(rule->report)) << burst;
  EXPECT_EQ(rule->reached_host, rule->count(host()));
}

void FaultMatrixTest::ExpectResultTakenOnce(const Cell& cell,
                                            const std::shared_ptr<ShotOutcome>& first) {
  if (cell.stage < Stage::kShotPending) {
    // Sent before the UI thread counts the tool as handshaken: not taken.
    EXPECT_NE("first", first->result.image_file_path);
    EXPECT_NE(101, first->result.pos_x);
    EXPECT_EQ(1, host().result_arrived_count());
    return;
  }
  EXPECT_EQ("first", first->result.image_file_path);
  EXPECT_EQ(101, first->result.pos_x);
  // The second result's UI half finds the shot's callables consumed.
  EXPECT_TRUE(
      LogShows("[SnippingToolAgent] OnNotifySnippintShotResult_UI is_snipping_working:0 "
               "has_once_success_cb:0"));
  EXPECT_GE(host().result_arrived_count(), 2);
}

void FaultMatrixTest::RecoverAndExpectNextShot(const Cell& cell,
                                               const std::shared_ptr<ShotOutcome>& first) {
  if (agent()->IsBroken()) {
    if (cell.kind == Kind::kExit)
      agent()->TerminateSnippingTool();
    else
      agent()->SetBroken(false);
  }
  EXPECT_FALSE(agent()->IsBroken());
  // A dead tool is replaced by a well-behaved one for the next shot.
  rogue_.UseRogueTool();
  auto next = Shot();
  ASSERT_TRUE(WaitForOutcome(next));
  // No ended shot is ended again by a time-out either shot armed.
  host().AdvanceTime(service_host()->process_handshake_timeout() + 60000);
  EXPECT_LE(first->failures, 1);
  EXPECT_LE(first->successes, 1);
  EXPECT_EQ(1, next->successes);
  EXPECT_EQ(0, next->failures);
  EXPECT_FALSE(agent()->IsBroken());
}

TEST_P(FaultMatrixTest, ShotEndsAsTheRulesSayAndTheNextShotWorks) {
  const Cell cell = GetParam();
  StartCell(cell);
  std::shared_ptr<ShotOutcome> first = Shot();
  if (cell.kind == Kind::kResultTwice && cell.stage == Stage::kBeforeShotSent) {
    // Both results arrive before the UI thread has learned of the handshake.
    ASSERT_TRUE(test_os::WaitUntil([&] {
      const std::vector<std::string> lines = log().Lines();
      return std::count(lines.begin(), lines.end(),
                        "[SnippingToolAgent] OnNotifySnippintShotResult") == 2;
    }));
  }
  // No UI task runs here, or the handshake could beat the fault.
  ASSERT_TRUE(test_os::WaitUntil([&] { return LastToolPid() > 0; }));
  const int first_tool = LastToolPid();
  DriveFirstShot(cell, first);
  if (HasFatalFailure())
    return;
  if (cell.outcome != Outcome::kSurvives)
    ExpectToolTreeGone(first_tool);
  // A burst ends with one more record-started notice.
  if (cell.stage == Stage::kRecording) {
    EXPECT_EQ(cell.kind == Kind::kBurst ? 2 : 1, record_started_);
  }
  if (cell.stage == Stage::kAIPending && cell.kind != Kind::kBurst) {
    EXPECT_EQ(1u, host().ai_requests().size());
  }
  if (cell.kind == Kind::kResultTwice)
    ExpectResultTakenOnce(cell, first);
  if (cell.kind == Kind::kBurst)
    ExpectBurstHandled(cell);
  RecoverAndExpectNextShot(cell, first);
}

std::string CellName(const ::testing::TestParamInfo<Cell>& cell) {
  return std::string(kKindNames[static_cast<int>(cell.param.kind)]) + "_" +
         kStages[static_cast<int>(cell.param.stage)].name;
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultMatrixTest, ::testing::ValuesIn(Cells()), CellName);

}  // namespace
}  // namespace snipping_tool
