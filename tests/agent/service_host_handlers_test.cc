// The tool-facing handlers of the service host, driven through the real
// dispatch (HandleRequest) with a recording request handle, and the host's
// UI-thread halves run by the test host.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/ipc_server/snipping_tool_agent_service_host.h"
#include "tests/agent/agent_test_support.h"
#include "tests/support/log_capture.h"

namespace snipping_tool {
namespace {

using test_support::LogCapture;
using testing::TestHost;

// A request handle that records the answers given to it.
class RecordingFeature : public ipc_core::IRequestFeature {
 public:
  void AddRef() override { ++refs_; }
  void Release() override {
    if (--refs_ == 0)
      delete this;
  }
  void Reply(const char* text) override { replies.push_back(text ? text : "<null>"); }
  void ReplyError(int32_t code, const char*) override { errors.push_back(code); }
  const char* GetMethod() const override { return ""; }
  int32_t GetConnectionId() const override { return kConnection; }
  static constexpr int32_t kConnection = 1;

  std::vector<std::string> replies;
  std::vector<int32_t> errors;

 private:
  std::atomic<int> refs_{0};
};

class HandlersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service_host_ = new SnippingToolAgentServiceHost();
    service_host_->Init(SnippingToolConfig(), &host_, false);
  }
  void TearDown() override {
    host_.DiscardTasks();
    service_host_.reset();
  }

  // Sends |method| with |payload|; returns the handle to inspect answers.
  ipc_core::ipc_core_refptr<RecordingFeature> Send(const std::string& method,
                                                   const std::string& payload) {
    ipc_core::ipc_core_refptr<RecordingFeature> feature(new RecordingFeature());
    EXPECT_TRUE(service_host_->HandleRequest(method.c_str(), payload.c_str(), feature.get()));
    return feature;
  }

  LogCapture log_;
  TestHost host_;
  ipc_core::ipc_core_refptr<SnippingToolAgentServiceHost> service_host_;
};

TEST_F(HandlersTest, GatedRequestsBeforeTheHandshakeGetNoReplyAndReachNobody) {
  EXPECT_TRUE(Send("snipping_tool_agent.snipping.bilog", R"({"key":"x"})")->replies.empty());
  EXPECT_TRUE(Send("snipping_tool_agent.snipping.set_config", R"({"config_json":"c"})")
                  ->replies.empty());
  EXPECT_TRUE(Send("snipping_tool_agent.snipping.show_vip_wnd", "")->replies.empty());
  EXPECT_TRUE(Send("snipping_tool_agent.snipping.show_select_user_wnd", "{}")->replies.empty());
  EXPECT_TRUE(Send("snipping_tool_agent.snipping.notify", "{}")->replies.empty());
  host_.RunUntilIdle();
  EXPECT_TRUE(host_.events().empty());
  EXPECT_TRUE(host_.configs().empty());
  EXPECT_EQ(0, host_.vip_window_count());
  EXPECT_TRUE(host_.select_user_requests().empty());
  EXPECT_EQ(0, host_.result_arrived_count());
}

TEST_F(HandlersTest, RecordingNoticesAreUngatedAndReachTheCallablesOnTheUIThread) {
  std::vector<std::thread::id> started_on;
  int finished = 0;
  // No callable yet: replied, and nothing to run.
  EXPECT_EQ(std::vector<std::string>{""},
            Send("snipping_tool_agent.snipping.notify_record_started", "")->replies);
  host_.RunUntilIdle();

  service_host_->SetRecordStartedCallback([&] { started_on.push_back(std::this_thread::get_id()); });
  service_host_->SetRecordFinishedCallback([&] { ++finished; });
  // Broken, and never handshaken: recording notices still arrive.
  service_host_->SetBroken(true);
  Send("snipping_tool_agent.snipping.notify_record_started", "");
  Send("snipping_tool_agent.snipping.notify_record_finished", "");
  Send("snipping_tool_agent.snipping.notify_record_started", "");
  EXPECT_TRUE(started_on.empty()) << "the callables run only on the UI thread";
  host_.RunUntilIdle();
  ASSERT_EQ(2u, started_on.size());
  EXPECT_EQ(std::this_thread::get_id(), started_on[0]);
  EXPECT_EQ(1, finished);
}

// The well-formed request's way to the host is the demo host's test.
TEST_F(HandlersTest, MalformedScreenAIRequestReachesNobodyAndGetsNoAnswer) {
  auto feature = Send("snipping_tool_agent.snipping.request_ai", R"({"seq_id":5)");
  EXPECT_TRUE(host_.ai_requests().empty());
  EXPECT_TRUE(feature->replies.empty());
  EXPECT_TRUE(feature->errors.empty());
  EXPECT_TRUE(log_.Contains("[screen_ai] OnNotifyRequestAI JsonStrToClass Failed."));
}

TEST_F(HandlersTest, AnswerAfterTheServiceHostIsGoneIsDropped) {
  Send("snipping_tool_agent.snipping.request_ai", R"({"seq_id":9})");
  auto replies = host_.ai_replies();
  ASSERT_EQ(1u, replies.size());
  service_host_.reset();  // the last reference: the object is destroyed
  ResponseAISnippingShot response;
  response.seq_id = 9;
  replies[0](response);  // must not touch the freed object
  EXPECT_TRUE(log_.Contains(
      "[screen_ai] ResponseAIResult dropped, the agent is gone. seq_id = 9"));
}

TEST_F(HandlersTest, HandshakeAfterTheAgentBrokeIsIgnored) {
  service_host_->SetBroken(true);
  Send("snipping_tool_agent.snipping.handshake", "{}");
  host_.RunUntilIdle();
  EXPECT_FALSE(service_host_->process_handshake_successed());
}

}  // namespace
}  // namespace snipping_tool
