// The agent against a tool that fails in every way we know of, at every
// stage of a shot: one test per cell of kind x stage. Each cell checks how
// the shot ends (reason, broken state, each callable at most once, the
// analytics event), that the tool and what it started are gone when the
// shot ended, and that the next shot succeeds after the recovery the agent
// allows.
//
// The reference tool, scripted, produces the crashes, exits, hangs and
// doubled results. What it cannot do (a frame cut off, bytes that are no
// frame, ten thousand requests poured out at once) comes from the rogue
// tool of this folder, which the agent starts under the tool's file name
// from a module directory of the test's making.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/path_service.h"
#include "tests/agent/agent_test_support.h"
#include "tests/faults/fault_support.h"

namespace snipping_tool {
namespace {

using testing::AgentTest;
using testing::ShotOutcome;
using testing::TempDir;
using testing::TraceEvent;

enum class Kind { kCrash, kExit, kHang, kMidFrame, kGarbage, kBurst, kResultTwice };

// (a) to (f); (c) is split in two: the tool has its handshake answer but the
// UI thread has not yet learned of it (no shot sent), and the shot request
// has reached the tool and waits for its answer.
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
  // No handshake: the virtual clock runs the handshake time-out; broken.
  kHandshakeTimeout,
  // The live connection ends: ipc_disconneted, not broken. A shot request
  // waiting on it fails with the lost connection, which is left to the
  // disconnect.
  kDisconnected,
  // The shot request stays unanswered: the invoke's own time-out; broken.
  kInvokeTimeout,
  // The tool answered the shot and then does nothing: no time-out covers
  // the result, so the shot runs until the host ends it.
  kRunsUntilHostActs,
  // The agent takes the fault in its stride and the shot succeeds.
  kSurvives,
};

struct Cell {
  Kind kind;
  Stage stage;
  Outcome outcome;
  // A result sent twice: the first one is the shot's (not when it comes
  // before the UI thread counts the tool as handshaken).
  bool result_taken = false;
};

int BilogEvents(testing::TestHost& host) {
  const std::vector<std::string> events = host.events();
  return static_cast<int>(std::count(events.begin(), events.end(), "rogue_burst"));
}

// Per kind (in the enum's order): its name in the test's name, and the
// rogue tool's fault for the kinds only the rogue tool can produce.
const char* const kKindNames[] = {"Crash",   "CleanExit", "Hang",       "ClosedMidFrame",
                                  "Garbage", "Burst",     "ResultTwice"};
const char* const kRogueFaults[] = {nullptr,   nullptr, nullptr, "midframe",
                                    "garbage", "burst", nullptr};
// Per stage: its name, where the rogue tool misbehaves (in its own words),
// and the reference tool's script point.
const char* const kStageNames[] = {"A_BeforeConnect",          "B_BeforeHandshake",
                                   "C1_HandshakenShotNotSent", "C2_ShotUnanswered",
                                   "D_AnsweredNoResult",       "E_Recording",
                                   "F_ScreenAIPending"};
const char* const kRogueStages[] = {"connect", "welcome", "handshake", "shot",
                                    "reply",   "record",  "ai"};
const char* const kScriptPoints[] = {"before_connect",   "after_connect",    "after_handshake",
                                     "on_shot",          "after_shot_reply", "after_shot_reply",
                                     "after_shot_reply"};

const char* RogueFault(Kind kind) {
  return kRogueFaults[static_cast<int>(kind)];
}

constexpr char kFirstResult[] =
    R"({"image_file_path":"first","snipping_event":1,"ai_skill_data":"","pos_x":101,"pos_y":0})";
constexpr char kSecondResult[] =
    R"({"image_file_path":"second","snipping_event":1,"ai_skill_data":"","pos_x":102,"pos_y":0})";
constexpr int kHeldAISeqId = 7;

// The reference tool's script for a cell: a grandchild first, so that every
// cell also shows what happens to the processes the tool started, then the
// stage's own preparation and the fault.
std::string ReferenceSteps(const Cell& cell) {
  std::vector<std::string> steps = {
      R"({"at":"before_connect","do":"spawn_grandchild","ms":30000})"};
  const std::string at = kScriptPoints[static_cast<int>(cell.stage)];
  auto step = [&](const std::string& rest) {
    steps.push_back(R"({"at":")" + at + "\"," + rest + "}");
  };
  if (cell.stage == Stage::kRecording)
    step(R"("do":"record_started")");
  if (cell.stage == Stage::kAIPending)
    step(R"("do":"request_ai","json":{"seq_id":7,"ai_type":1,"text":"held back"})");
  const bool after_answer = at == "after_shot_reply";
  switch (cell.kind) {
    case Kind::kCrash:
    case Kind::kExit:
      // The answer to the shot and the notices just sent are queued on the
      // tool's connection; the pause lets them leave before the process
      // ends, so the agent sees the stage the cell is about.
      if (after_answer)
        step(R"("do":"delay","ms":200)");
      step(cell.kind == Kind::kCrash ? R"("do":"crash")" : R"("do":"exit","code":0)");
      break;
    case Kind::kHang:
      step(R"("do":"delay","ms":60000)");
      break;
    case Kind::kResultTwice:
      if (after_answer)
        step(R"("do":"skip_result")");
      step(std::string(R"("do":"send_result","payload":")") + testing::JsonEscape(kFirstResult) +
           "\"");
      step(std::string(R"("do":"send_result","payload":")") + testing::JsonEscape(kSecondResult) +
           "\"");
      break;
    default:
      break;
  }
  std::string joined;
  for (const std::string& s : steps)
    joined += (joined.empty() ? "" : ",") + s;
  return joined;
}

class FaultMatrixTest : public AgentTest, public ::testing::WithParamInterface<Cell> {
 protected:
  void TearDown() override {
    if (HasFailure()) {
      // The agent's own account of the cell, for whoever reads the failure.
      // A burst's ten thousand notices are left out.
      std::string previous;
      for (const std::string& line : log().Lines()) {
        const std::string head = line.substr(0, 48);
        if (head != previous)
          std::fprintf(stderr, "  agent| %s\n", line.c_str());
        previous = head;
      }
      for (const testing::RuntimeLogRecord& record : host().runtime_logs()) {
        if (record.severity > 0)
          std::fprintf(stderr, "  ipc| %s\n", record.message.c_str());
      }
      for (const std::string& line : rogue_.ReportLines())
        std::fprintf(stderr, "  rogue| %s\n", line.c_str());
    }
    AgentTest::TearDown();
    base::PathService::OverrideForTesting(base::DIR_MODULE, base::FilePath());
    testing::KillSurvivors(grandchildren_);
  }

  // Sets the tool up for the cell and starts the agent.
  void StartCell(const Cell& cell) {
    rogue_.SetReportFile(temp_dir().File("rogue_report.txt"));
    SnippingToolConfig config;
    if (RogueFault(cell.kind) != nullptr) {
      rogue_.Use(RogueFault(cell.kind), kRogueStages[static_cast<int>(cell.stage)]);
    } else {
      rogue_.UseReferenceTool();
      config = WithScript(ReferenceSteps(cell));
    }
    // A short invoke time-out keeps the unanswered shot cheap. A burst
    // holds the shot's answer back until the agent has handled it all, which
    // under a sanitizer on a busy machine takes seconds: it gets the longest
    // time-out a host may configure.
    config.extras["timeout_config"] =
        cell.kind == Kind::kBurst ? R"({"IPCInvokeTimeout":9999})" : R"({"IPCInvokeTimeout":2001})";
    StartAgent(config);
    agent()->SetRecordStartedCallback([this] { ++record_started_; });
  }

  int GrandchildPid() {
    const std::vector<TraceEvent> grandchild = ToolTrace("grandchild");
    return grandchild.empty() ? 0 : atoi(grandchild[0].name.c_str());
  }

  // The tool of the first launch, and what it started, are gone.
  void ExpectToolTreeGone(int tool_pid) {
    ASSERT_GT(tool_pid, 0);
    EXPECT_TRUE(testing::WaitForProcessGone(tool_pid)) << "tool " << tool_pid;
    const int grandchild = GrandchildPid();
    if (grandchild > 0) {
      grandchildren_.push_back(grandchild);
      EXPECT_TRUE(testing::WaitForProcessDead(grandchild)) << "grandchild " << grandchild;
    }
    // The agent keeps the next launch's job readied (on POSIX its idle
    // keeper is a child); nothing it launched may be left.
    EXPECT_TRUE(testing::WaitFor([] { return test_os::LaunchedProcesses().empty(); }))
        << test_os::LaunchedProcesses().size() << " launched processes left";
  }

  int BrokenEventCount() {
    int count = 0;
    for (const std::string& key : host().events())
      count += key.rfind("pc_snipping_shot_broken_", 0) == 0;
    return count;
  }

  int LineCount(const std::string& text) {
    const std::vector<std::string> lines = log().Lines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), text));
  }

  // Drives the first shot to the end the rules give the cell and checks it.
  void DriveFirstShot(const Cell& cell, const std::shared_ptr<ShotOutcome>& shot);
  void ExpectBurstHandled(const Cell& cell, size_t rss_before);
  void ExpectResultTakenOnce(const Cell& cell, const std::shared_ptr<ShotOutcome>& first);
  void ExpectLateAIReplyFails();
  void RecoverAndExpectNextShot(const Cell& cell, const std::shared_ptr<ShotOutcome>& first);

  testing::RogueToolInstall rogue_;
  std::vector<int> grandchildren_;
  int record_started_ = 0;
};

void FaultMatrixTest::DriveFirstShot(const Cell& cell, const std::shared_ptr<ShotOutcome>& shot) {
  const std::string kStop5 = "[SnippingToolAgent] StopSnippingShot reason:5 broken:0";
  const std::string kStaleDisconnect =
      "[SnippingToolAgent] OnServiceInvokerDisconnected stale connection_id:1";
  switch (cell.outcome) {
    case Outcome::kHandshakeTimeout: {
      // The time-out is armed, and the tool is dead or stuck, before the
      // virtual clock moves: the handshake cannot come any more.
      ASSERT_TRUE(testing::RunUiUntil(host(), [&] {
        if (!log().Contains("[SnippingToolAgent] WaitHandleshakeAndStopSnippingIfNeed") ||
            LastToolPid() <= 0)
          return false;
        if (cell.kind == Kind::kHang) {
          const std::string at =
              cell.stage == Stage::kBeforeConnect ? "before_connect" : "after_connect";
          return !ToolTrace("step", at).empty() &&
                 (cell.stage == Stage::kBeforeConnect ||
                  log().Contains("[SnippingToolAgent] OnServiceInvokerConnected connection_id:1"));
        }
        return test_os::WaitForProcessGone(LastToolPid(), std::chrono::milliseconds(0));
      }));
      host().AdvanceTime(service_host()->process_handshake_timeout());
      ASSERT_TRUE(WaitForOutcome(shot));
      ExpectStopped(*shot, "handeshake_timeout", /*broken=*/true);
      // A connection that never completed the opening exchange was never
      // the shot's; a tool the stop killed is stale. Neither stops anything.
      if (cell.stage == Stage::kBeforeHandshake) {
        EXPECT_TRUE(testing::RunUiUntil(host(), [&] { return log().Contains(kStaleDisconnect); }));
      }
      EXPECT_FALSE(log().Contains(kStop5));
      break;
    }
    case Outcome::kDisconnected: {
      if (cell.stage == Stage::kBeforeHandshake || cell.stage == Stage::kBeforeShotSent) {
        // Nothing runs on the UI thread until the disconnect is in: the
        // handshake completion, if any, must then find its connection gone.
        ASSERT_TRUE(testing::WaitFor([&] { return log().Contains(kStop5); }));
      }
      ASSERT_TRUE(WaitForOutcome(shot));
      if (cell.stage == Stage::kShotPending) {
        // The request's failure may come before or after the disconnect's
        // stop; either way it leaves the shot's end to the disconnect.
        EXPECT_TRUE(testing::RunUiUntil(host(), [&] {
          return log().Contains(
              "[SnippingToolAgent] StartSnippingShot failure left to the disconnect");
        }));
        EXPECT_TRUE(log().Contains(
            "[SnippingToolAgent] StartSnippingShot failure error:ErrorResult(is_timeout=0, "
            "status=0, code=1004, reason=connection lost)"));
        EXPECT_TRUE(testing::RunUiUntil(host(), [&] {
          return log().Contains("[SnippingToolAgent] OnServiceInvokerDisconnected connection_id:1");
        }));
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
      EXPECT_TRUE(testing::RunUiUntil(host(), [&] { return log().Contains(kStaleDisconnect); }));
      host().RunUntilIdle();
      EXPECT_EQ(1, BrokenEventCount());
      EXPECT_FALSE(log().Contains(kStop5));
      break;
    }
    case Outcome::kRunsUntilHostActs: {
      ASSERT_TRUE(testing::RunUiUntil(host(), [&] {
        return log().Contains("[SnippingToolAgent] StartSnippingShot ack") &&
               !ToolTrace("step", "after_shot_reply").empty() &&
               (cell.stage != Stage::kRecording || record_started_ == 1) &&
               (cell.stage != Stage::kAIPending || host().ai_requests().size() == 1);
      }));
      // The answer is in, so the invoke's time-out no longer applies, and
      // every time-out the agent arms has long passed on the virtual clock.
      host().AdvanceTime(service_host()->process_handshake_timeout() +
                         service_host()->ipc_invoke_timeout() + 60000);
      EXPECT_TRUE(service_host()->is_snipping_working());
      EXPECT_EQ(0, shot->failures + shot->successes);
      EXPECT_FALSE(agent()->IsBroken());
      EXPECT_TRUE(test_os::ProcessRunning(LastToolPid()));
      // A shot asked for meanwhile is dropped: neither of its callables runs.
      auto dropped = Shot();
      host().RunUntilIdle();
      EXPECT_EQ(0, dropped->failures + dropped->successes);
      // The host's way out. It ends the running shot as a lost tool, once;
      // the killed tool's disconnect that follows is stale.
      const int tool_pid = LastToolPid();
      agent()->TerminateSnippingTool();
      EXPECT_TRUE(testing::WaitForProcessGone(tool_pid));
      ASSERT_TRUE(testing::RunUiUntil(host(), [&] {
        return log().Contains(
            "[SnippingToolAgent] OnServiceInvokerDisconnected stale connection_id:1");
      }));
      host().RunUntilIdle();
      EXPECT_EQ(1, shot->failures);
      EXPECT_EQ(0, shot->successes);
      EXPECT_EQ(1, BrokenEventCount());
      EXPECT_TRUE(host().HasEvent("pc_snipping_shot_broken_ipc_disconneted"));
      EXPECT_FALSE(agent()->IsBroken());
      break;
    }
    case Outcome::kSurvives:
      ASSERT_TRUE(WaitForOutcome(shot));
      host().RunUntilIdle();
      EXPECT_EQ(1, shot->successes);
      EXPECT_EQ(0, shot->failures);
      EXPECT_FALSE(agent()->IsBroken());
      EXPECT_EQ(0, BrokenEventCount());
      // The tool goes on: nothing it did is a reason to end it.
      EXPECT_TRUE(test_os::ProcessRunning(LastToolPid()));
      break;
  }
}

// What a burst of ten thousand requests leaves, per stage: the rogue tool's
// count of the replies it got, and how many of its requests reached the
// host (before the handshake the analytics service answers nothing and
// tells the host nothing; screen-AI requests never get a reply, and each
// reaches the host beside the stage's own one).
struct BurstRule {
  Stage stage;
  const char* report;
  int reached_host;
  int (*count)(testing::TestHost& host);
};
const BurstRule kBurstRules[] = {
    {Stage::kBeforeHandshake, "bilog replies 0 errors 0", 0, BilogEvents},
    {Stage::kShotPending, "bilog replies 10000 errors 0", 10000, BilogEvents},
    {Stage::kAfterAnswer, "set_config replies 10000 errors 0", 10000,
     [](testing::TestHost& host) { return static_cast<int>(host.configs().size()); }},
    {Stage::kRecording, "show_vip_wnd replies 10000 errors 0", 10000,
     [](testing::TestHost& host) { return host.vip_window_count(); }},
    {Stage::kAIPending, "request_ai replies 0 errors 0", 10001,
     [](testing::TestHost& host) { return static_cast<int>(host.ai_requests().size()); }},
};

void FaultMatrixTest::ExpectBurstHandled(const Cell& cell, size_t rss_before) {
  const BurstRule* rule = nullptr;
  for (const BurstRule& r : kBurstRules)
    rule = r.stage == cell.stage ? &r : rule;
  ASSERT_NE(rule, nullptr) << "no burst at this stage";
  std::string burst;
  ASSERT_TRUE(testing::RunUiUntil(host(), [&] {
    burst = rogue_.ReportLine("burst ");
    return !burst.empty();
  })) << "the rogue tool never finished its burst";
  host().RunUntilIdle();
  EXPECT_NE(std::string::npos, burst.find(rule->report)) << burst;
  EXPECT_EQ(rule->reached_host, rule->count(host()));
  // The agent keeps nothing per request: ten thousand of them leave the
  // process about as large as it was (the host's own records included).
  const size_t rss_after = testing::ResidentSetBytes();
  EXPECT_LT(rss_after, rss_before + 256u * 1024 * 1024) << rss_before << " -> " << rss_after;
}

void FaultMatrixTest::ExpectResultTakenOnce(const Cell& cell,
                                            const std::shared_ptr<ShotOutcome>& first) {
  if (!cell.result_taken) {
    // Sent before the UI thread counts the tool as handshaken.
    EXPECT_NE("first", first->result.image_file_path);
    EXPECT_NE(101, first->result.pos_x);
    EXPECT_EQ(1, host().result_arrived_count());
    return;
  }
  EXPECT_EQ("first", first->result.image_file_path);
  EXPECT_EQ(101, first->result.pos_x);
  // The second result's UI half finds the shot's callables consumed.
  EXPECT_TRUE(testing::RunUiUntil(host(), [&] {
    return log().Contains(
        "[SnippingToolAgent] OnNotifySnippintShotResult_UI "
        "is_snipping_working:0 has_once_success_cb:0");
  }));
  EXPECT_GE(host().result_arrived_count(), 2);
}

void FaultMatrixTest::ExpectLateAIReplyFails() {
  // The host answers the held request after the tool it came from is gone:
  // the answer fails at once, since no other tool asked for it.
  const auto replies = host().ai_replies();
  ASSERT_FALSE(replies.empty());
  ResponseAISnippingShot late;
  late.succ = true;
  late.seq_id = kHeldAISeqId;
  late.ai_type = 1;
  late.data = "late";
  replies[0](late);
  EXPECT_TRUE(log().Contains("[screen_ai] seq_id = 7, ai_type = 1, image_path = , data = late"));
  EXPECT_TRUE(testing::WaitFor([&] {
    return log().Contains(
        "[SnippingToolAgent] snipping_tool::SnippingToolAgentServiceHost::ResponseAIResult::"
        "<lambda_2>::operator () failed");
  }));
}

void FaultMatrixTest::RecoverAndExpectNextShot(const Cell& cell,
                                               const std::shared_ptr<ShotOutcome>& first) {
  // A broken agent is cleared by the host, one way or the other; a usable
  // one needs nothing.
  if (agent()->IsBroken()) {
    if (cell.kind == Kind::kExit || cell.kind == Kind::kMidFrame)
      agent()->TerminateSnippingTool();
    else
      agent()->SetBroken(false);
  }
  EXPECT_FALSE(agent()->IsBroken());
  // A dead tool is replaced by a well-behaved one for the next shot.
  rogue_.Use("good", "");
  auto next = Shot();
  ASSERT_TRUE(WaitForOutcome(next));
  host().RunUntilIdle();
  EXPECT_EQ(1, next->successes);
  EXPECT_EQ(0, next->failures);
  // Every time-out either shot armed runs now; a shot that has ended is not
  // ended a second time, and the connected tool keeps the agent usable.
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
  const size_t rss_before = testing::ResidentSetBytes();
  std::shared_ptr<ShotOutcome> first = Shot();
  if (cell.kind == Kind::kResultTwice && cell.stage == Stage::kBeforeShotSent) {
    // Both results arrive before the UI thread has learned of the handshake.
    ASSERT_TRUE(testing::WaitFor(
        [&] { return LineCount("[SnippingToolAgent] OnNotifySnippintShotResult") == 2; }));
  }
  // The first launch follows the service host's start on the runtime's
  // thread, so no task of the UI thread has to run for it; none runs here,
  // or the handshake could complete before a cell's fault.
  ASSERT_TRUE(testing::WaitFor([&] { return LastToolPid() > 0; }));
  const int first_tool = LastToolPid();
  DriveFirstShot(cell, first);
  if (::testing::Test::HasFatalFailure())
    return;
  if (cell.outcome != Outcome::kSurvives)
    ExpectToolTreeGone(first_tool);
  // The host heard of what the tool did before it failed.
  if (cell.stage == Stage::kRecording) {
    EXPECT_EQ(cell.kind == Kind::kBurst ? 2 : 1, record_started_);  // a burst ends with one more
  }
  if (cell.stage == Stage::kAIPending && cell.kind != Kind::kBurst) {
    EXPECT_EQ(1u, host().ai_requests().size());
  }
  if (cell.kind == Kind::kResultTwice)
    ExpectResultTakenOnce(cell, first);
  if (cell.kind == Kind::kBurst)
    ExpectBurstHandled(cell, rss_before);
  if (cell.stage == Stage::kAIPending && cell.outcome != Outcome::kSurvives)
    ExpectLateAIReplyFails();
  RecoverAndExpectNextShot(cell, first);
}

const Cell kCells[] = {
    // Crash (abort).
    {Kind::kCrash, Stage::kBeforeConnect, Outcome::kHandshakeTimeout},
    {Kind::kCrash, Stage::kBeforeHandshake, Outcome::kDisconnected},
    {Kind::kCrash, Stage::kBeforeShotSent, Outcome::kDisconnected},
    {Kind::kCrash, Stage::kShotPending, Outcome::kDisconnected},
    {Kind::kCrash, Stage::kAfterAnswer, Outcome::kDisconnected},
    {Kind::kCrash, Stage::kRecording, Outcome::kDisconnected},
    {Kind::kCrash, Stage::kAIPending, Outcome::kDisconnected},
    // Clean exit.
    {Kind::kExit, Stage::kBeforeConnect, Outcome::kHandshakeTimeout},
    {Kind::kExit, Stage::kBeforeHandshake, Outcome::kDisconnected},
    {Kind::kExit, Stage::kBeforeShotSent, Outcome::kDisconnected},
    {Kind::kExit, Stage::kShotPending, Outcome::kDisconnected},
    {Kind::kExit, Stage::kAfterAnswer, Outcome::kDisconnected},
    {Kind::kExit, Stage::kRecording, Outcome::kDisconnected},
    {Kind::kExit, Stage::kAIPending, Outcome::kDisconnected},
    // Hang.
    {Kind::kHang, Stage::kBeforeConnect, Outcome::kHandshakeTimeout},
    {Kind::kHang, Stage::kBeforeHandshake, Outcome::kHandshakeTimeout},
    {Kind::kHang, Stage::kBeforeShotSent, Outcome::kInvokeTimeout},
    {Kind::kHang, Stage::kShotPending, Outcome::kInvokeTimeout},
    {Kind::kHang, Stage::kAfterAnswer, Outcome::kRunsUntilHostActs},
    {Kind::kHang, Stage::kRecording, Outcome::kRunsUntilHostActs},
    {Kind::kHang, Stage::kAIPending, Outcome::kRunsUntilHostActs},
    // Connection closed in the middle of a frame.
    {Kind::kMidFrame, Stage::kBeforeConnect, Outcome::kHandshakeTimeout},
    {Kind::kMidFrame, Stage::kBeforeHandshake, Outcome::kDisconnected},
    {Kind::kMidFrame, Stage::kBeforeShotSent, Outcome::kDisconnected},
    {Kind::kMidFrame, Stage::kShotPending, Outcome::kDisconnected},
    {Kind::kMidFrame, Stage::kAfterAnswer, Outcome::kDisconnected},
    {Kind::kMidFrame, Stage::kRecording, Outcome::kDisconnected},
    {Kind::kMidFrame, Stage::kAIPending, Outcome::kDisconnected},
    // Garbage bytes (before the opening exchange: instead of the hello).
    {Kind::kGarbage, Stage::kBeforeConnect, Outcome::kHandshakeTimeout},
    {Kind::kGarbage, Stage::kBeforeHandshake, Outcome::kDisconnected},
    {Kind::kGarbage, Stage::kBeforeShotSent, Outcome::kDisconnected},
    {Kind::kGarbage, Stage::kShotPending, Outcome::kDisconnected},
    {Kind::kGarbage, Stage::kAfterAnswer, Outcome::kDisconnected},
    {Kind::kGarbage, Stage::kRecording, Outcome::kDisconnected},
    {Kind::kGarbage, Stage::kAIPending, Outcome::kDisconnected},
    // A burst of 10,000 requests (none can be made before connecting, and
    // right after the handshake their answers race the UI thread).
    {Kind::kBurst, Stage::kBeforeHandshake, Outcome::kSurvives},
    {Kind::kBurst, Stage::kShotPending, Outcome::kSurvives},
    {Kind::kBurst, Stage::kAfterAnswer, Outcome::kSurvives},
    {Kind::kBurst, Stage::kRecording, Outcome::kSurvives},
    {Kind::kBurst, Stage::kAIPending, Outcome::kSurvives},
    // A result twice (nothing can be sent before connecting).
    {Kind::kResultTwice, Stage::kBeforeHandshake, Outcome::kSurvives},
    {Kind::kResultTwice, Stage::kBeforeShotSent, Outcome::kSurvives},
    {Kind::kResultTwice, Stage::kShotPending, Outcome::kSurvives, true},
    {Kind::kResultTwice, Stage::kAfterAnswer, Outcome::kSurvives, true},
    {Kind::kResultTwice, Stage::kRecording, Outcome::kSurvives, true},
    {Kind::kResultTwice, Stage::kAIPending, Outcome::kSurvives, true},
};

std::string CellName(const ::testing::TestParamInfo<Cell>& cell) {
  return std::string(kKindNames[static_cast<int>(cell.param.kind)]) + "_" +
         kStageNames[static_cast<int>(cell.param.stage)];
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultMatrixTest, ::testing::ValuesIn(kCells), CellName);

}  // namespace
}  // namespace snipping_tool
