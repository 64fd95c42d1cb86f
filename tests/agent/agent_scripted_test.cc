// Shots against a reference tool scripted to misbehave or to send
// notifications and requests, through the facade and real sockets.
#include <atomic>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/agent/agent_test_support.h"

namespace snipping_tool {
namespace {

using testing::AgentTest;
using testing::TraceEvent;

TEST_F(AgentTest, MalformedResultReachesTheSuccessCallbackWithDefaults) {
  StartAgent(WithScript(R"({"at":"after_shot_reply","do":"skip_result"},
                          {"at":"after_shot_reply","do":"send_result","payload":"not json"})"));
  auto shot = Shot();
  ASSERT_TRUE(WaitForOutcome(shot));
  EXPECT_EQ(1, shot->successes);
  EXPECT_TRUE(shot->result.image_file_path.empty());
  EXPECT_EQ(0, shot->result.snipping_event);
}

// The screen tool end to end (its executable, its analytics events).
TEST_F(AgentTest, ResultBeforeTheHandshakeReachesNobodyButTheScreenToolEvent) {
  StartAgent(WithScript(R"({"at":"after_connect","do":"send_result",
                            "payload":"{\"image_file_path\":\"early\",\"pos_x\":77}"})"),
             /*use_screen_tool=*/true);
  auto shot = Shot();
  ASSERT_TRUE(WaitForOutcome(shot));
  EXPECT_EQ(1, shot->successes);
  EXPECT_NE(77, shot->result.pos_x);
  EXPECT_NE("early", shot->result.image_file_path);
  int finish_events = 0;
  for (const std::string& key : host().events())
    finish_events += key == "screen_tool_finish_new";
  EXPECT_EQ(2, finish_events);
  EXPECT_TRUE(host().HasEvent("screen_tool_start_new"));
  EXPECT_EQ(1, host().result_arrived_count());
}

// The payloads both ways are the demo host's test; here the host answers
// twice, from a thread of its own.
TEST_F(AgentTest, ScreenAIAnswersFromAnotherThreadArriveAtTheTool) {
  StartAgent(WithScript(R"({"at":"after_handshake","do":"request_ai","json":{"seq_id":5}})"));
  auto shot = Shot();
  ASSERT_TRUE(WaitForOutcome(shot));
  ASSERT_TRUE(host().RunUntil([&] { return host().ai_requests().size() == 1; }));
  EXPECT_EQ(5, host().ai_requests()[0].seq_id);
  // The tool's request itself is never answered.
  EXPECT_TRUE(ToolTrace("answer", "snipping_tool_agent.snipping.request_ai").empty());

  auto reply = host().ai_replies()[0];
  std::thread answerer([reply] {
    ResponseAISnippingShot response;
    response.seq_id = 5;
    response.data = "hi";
    reply(response);
    reply(response);  // two answers for one request: both are sent
  });
  answerer.join();
  ASSERT_TRUE(host().RunUntil([&] {
    return ToolTrace("recv", "snipping_tool.snipping.response_ai").size() == 2;
  }));
  for (const TraceEvent& event : ToolTrace("recv", "snipping_tool.snipping.response_ai"))
    EXPECT_NE(std::string::npos, event.text.find(R"("seq_id":5,"ai_type":0,"data":"hi")"));
}

// Faults that were found and fixed: notices lost while the UI thread had yet
// to complete the handshake, Uninit returning while delegate calls were
// under way, an earlier tool's handshake time-out cutting a new launch short.
class AgentRegressionTest : public AgentTest {};

TEST_F(AgentRegressionTest, NoticesSentRightAfterTheHandshakesAnswerReachTheHost) {
  // The tool notifies as soon as it has the handshake's answer, while the
  // host's UI thread has yet to run the handshake's UI half.
  StartAgent(WithScript(R"({"at":"after_handshake","do":"bilog","json":{"key":"early"}},
                          {"at":"after_handshake","do":"show_vip_wnd"})"));
  auto shot = Shot();
  ASSERT_TRUE(host().RunUntil(
      [&] { return log().Contains("[SnippingToolAgent] WaitHandleshakeAndStopSnippingIfNeed"); }));
  // From here the UI thread runs nothing (test_os::WaitUntil runs no task).
  test_os::WaitUntil(
      [&] { return !ToolTrace("answer", "snipping_tool_agent.snipping.show_vip_wnd").empty(); });
  EXPECT_FALSE(service_host()->process_handshake_successed());
  for (const char* method : {"snipping_tool_agent.snipping.bilog", "snipping_tool_agent.snipping.show_vip_wnd"}) {
    const auto answers = ToolTrace("answer", method);
    ASSERT_EQ(1u, answers.size()) << method;
    EXPECT_EQ(0u, answers[0].text.rfind("reply", 0)) << method << ": " << answers[0].text;
  }
  EXPECT_TRUE(host().HasEvent("early"));
  // The answer leaves before the handler calls the host, on the runtime's
  // thread: the call may come a moment after the tool has its answer.
  EXPECT_TRUE(test_os::WaitUntil([&] { return host().vip_window_count() == 1; }));
  ASSERT_TRUE(WaitForOutcome(shot));
  EXPECT_EQ(1, shot->successes);
}

TEST_F(AgentRegressionTest, UninitReturnsOnlyOnceTheDelegateCallsUnderWayHaveReturned) {
  // The host may destroy its delegate as soon as Uninit returns, so a call
  // the runtime's thread is making into it must have ended by then.
  std::promise<void> entered;
  std::promise<void> released;
  std::shared_future<void> release = released.get_future().share();
  host().SetEventHook([&](const std::string& key) {
    if (key == "held") {
      entered.set_value();
      release.wait();
    }
  });
  StartAgent(WithScript(R"({"at":"after_result","do":"bilog","json":{"key":"held"}})"));
  auto shot = Shot();
  ASSERT_TRUE(WaitForOutcome(shot));
  ASSERT_EQ(std::future_status::ready, entered.get_future().wait_for(test_os::kWaitBound));
  std::atomic<bool> uninit_returned{false};
  std::thread uninit([&] {
    agent()->Uninit();
    uninit_returned.store(true);
  });
  EXPECT_FALSE(
      test_os::WaitUntil([&] { return uninit_returned.load(); }, std::chrono::milliseconds(300)))
      << "Uninit returned while the host's delegate was still being called";
  released.set_value();
  uninit.join();
  EXPECT_TRUE(uninit_returned.load());
  host().SetEventHook(nullptr);
}

TEST_F(AgentRegressionTest, HandshakeTimeOutOfAnEarlierToolDoesNotCutANewLaunchShort) {
  // Each tool takes a moment before its handshake, so the second one is still
  // starting when the first tool's handshake time-out falls due.
  StartAgent(WithScript(R"({"at":"after_connect","do":"delay","ms":300})"));
  auto first = Shot();
  ASSERT_TRUE(WaitForOutcome(first));
  ASSERT_EQ(1, first->successes);
  const uint32_t timeout = service_host()->process_handshake_timeout();
  host().AdvanceTime(timeout / 3);
  agent()->TerminateSnippingTool();
  auto second = Shot();
  // The first tool's wait runs now; the second tool's is not due yet.
  host().AdvanceTime(timeout - timeout / 3);
  EXPECT_TRUE(log().Contains("[SnippingToolAgent] OnWaitHandleshakeTimeout stale shot:1 launch:1"));
  ASSERT_TRUE(WaitForOutcome(second));
  EXPECT_EQ(1, second->successes);
  EXPECT_EQ(0, second->failures);
  EXPECT_FALSE(agent()->IsBroken());
}

}  // namespace
}  // namespace snipping_tool
