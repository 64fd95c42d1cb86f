// The counted classes of the public interface: SimpleService's dispatch
// rules and the stamps and error records of RequestHandlerWithString.
#include "ipc_core/request_context.h"

#include <chrono>
#include <thread>

#include "gtest/gtest.h"
#include "ipc_core/service.h"

namespace ipc_core {
namespace {

// A feature that records what the handler answers.
class FakeFeature : public IRequestFeature {
 public:
  void AddRef() override { ++refs; }
  void Release() override { --refs; }
  void Reply(const char* text) override { replies.push_back(text); }
  void ReplyError(int32_t code, const char*) override { errors.push_back(code); }
  const char* GetMethod() const override { return "m"; }
  int32_t GetConnectionId() const override { return 1; }
  int refs = 0;
  std::vector<std::string> replies;
  std::vector<int32_t> errors;
};

class SimpleServiceTest : public ::testing::Test {
 protected:
  SimpleServiceTest() : service_(new SimpleService("snipping_tool_agent")) {
    EXPECT_TRUE(service_->RegisterRequestHandler(
        "snipping_tool_agent.snipping.notify",
        [this](const std::string& payload, ipc_core_refptr<IRequestFeature> feature) {
          payloads_.push_back(payload);
          feature_refs_seen_ = static_cast<FakeFeature*>(feature.get())->refs;
          feature->Reply("");
        }));
  }
  ipc_core_refptr<SimpleService> service_;
  FakeFeature feature_;
  std::vector<std::string> payloads_;
  int feature_refs_seen_ = 0;
};

TEST_F(SimpleServiceTest, NameIsTheOneGiven) {
  EXPECT_STREQ("snipping_tool_agent", service_->GetServiceName());
}

TEST_F(SimpleServiceTest, RegisteredMethodRunsItsHandlerWithACountedFeature) {
  EXPECT_TRUE(service_->HandleRequest("snipping_tool_agent.snipping.notify", "{}", &feature_));
  ASSERT_EQ(1u, payloads_.size());
  EXPECT_EQ("{}", payloads_[0]);
  // The feature was referenced while the handler ran, and every reference
  // was dropped afterwards.
  EXPECT_GE(feature_refs_seen_, 1);
  EXPECT_EQ(0, feature_.refs);
  EXPECT_EQ(1u, feature_.replies.size());
}

TEST_F(SimpleServiceTest, LookupIsExactAndCaseSensitive) {
  EXPECT_FALSE(service_->HandleRequest("snipping_tool_agent.snipping.NOTIFY", "{}", &feature_));
  EXPECT_FALSE(service_->HandleRequest("Snipping_tool_agent.snipping.notify", "{}", &feature_));
  EXPECT_FALSE(service_->HandleRequest("snipping_tool_agent.snipping", "{}", &feature_));
  EXPECT_TRUE(payloads_.empty());
}

TEST_F(SimpleServiceTest, MissingMethodOrFeatureIsRefused) {
  EXPECT_FALSE(service_->HandleRequest("snipping_tool_agent.snipping.notify", "{}", nullptr));
  EXPECT_FALSE(service_->HandleRequest(nullptr, "{}", &feature_));
  EXPECT_FALSE(service_->HandleRequest("", "{}", &feature_));
  EXPECT_TRUE(payloads_.empty());
}

TEST_F(SimpleServiceTest, EmptyOrNullPayloadArrivesAsEmptyText) {
  EXPECT_TRUE(service_->HandleRequest("snipping_tool_agent.snipping.notify", "", &feature_));
  EXPECT_TRUE(service_->HandleRequest("snipping_tool_agent.snipping.notify", nullptr, &feature_));
  ASSERT_EQ(2u, payloads_.size());
  EXPECT_EQ("", payloads_[0]);
  EXPECT_EQ("", payloads_[1]);
}

TEST_F(SimpleServiceTest, RegistrationRules) {
  EXPECT_EQ(1u, service_->handler_count());
  EXPECT_FALSE(service_->RegisterRequestHandler("", [](auto&, auto) {}));
  EXPECT_FALSE(service_->RegisterRequestHandler("x.y", SimpleService::RequestHandler()));
  EXPECT_EQ(1u, service_->handler_count());

  // A second registration under the same name replaces the first.
  int second = 0;
  EXPECT_TRUE(service_->RegisterRequestHandler("snipping_tool_agent.snipping.notify",
                                               [&](auto&, auto) { ++second; }));
  EXPECT_EQ(1u, service_->handler_count());
  EXPECT_TRUE(service_->HandleRequest("snipping_tool_agent.snipping.notify", "", &feature_));
  EXPECT_EQ(1, second);
  EXPECT_TRUE(payloads_.empty());
}

TEST(SimpleServiceRefCountTest, LastReleaseDestroys) {
  static bool destroyed;
  destroyed = false;
  struct Probe : SimpleService {
    Probe() : SimpleService("p") {}
    ~Probe() override { destroyed = true; }
  };
  Probe* probe = new Probe;
  probe->AddRef();
  probe->AddRef();
  probe->Release();
  EXPECT_FALSE(destroyed);
  probe->Release();
  EXPECT_TRUE(destroyed);
}

TEST(ErrorResultTest, TextForm) {
  EXPECT_EQ("ErrorResult(is_timeout=1, status=-1, code=1003, reason=Timeout)",
            ErrorResult(-1, 1003, "Timeout").ToString());
  EXPECT_EQ("ErrorResult(is_timeout=0, status=0, code=1004, reason=connection lost)",
            ErrorResult(0, 1004, "connection lost").ToString());
  EXPECT_TRUE(ErrorResult(0, kErrorTimeout, "").is_timeout());
  EXPECT_FALSE(ErrorResult(-1, 1004, "").is_timeout());
}

// Ticks are 100 ns; a millisecond is 10000 of them.
constexpr int64_t kTicksPerMs = 10000;

class RequestHandlerTest : public ::testing::Test {
 protected:
  std::vector<std::string> responses_;
  std::vector<ErrorResult> errors_;
  ipc_core_refptr<RequestHandlerWithString> Make(bool with_response, bool with_error) {
    RequestHandlerWithString::ResponseCallback on_response;
    RequestHandlerWithString::ErrorCallback on_error;
    if (with_response)
      on_response = [this](std::string text) { responses_.push_back(std::move(text)); };
    if (with_error)
      on_error = [this](const ErrorResult& e) { errors_.push_back(e); };
    return ipc_core_refptr<RequestHandlerWithString>(
        new RequestHandlerWithString(std::move(on_response), std::move(on_error)));
  }
};

TEST_F(RequestHandlerTest, FreshContextHasTheDefaults) {
  auto context = Make(true, true);
  EXPECT_EQ(5000, context->GetTimeoutMs());
  EXPECT_EQ(0, context->sent_at());
  EXPECT_EQ(0, context->answered_at());
  context->set_timeout(250);
  EXPECT_EQ(250, context->GetTimeoutMs());
}

TEST_F(RequestHandlerTest, ResponseStampsAnswerAndCallbackTimes) {
  auto context = Make(true, true);
  int64_t sent = NowTicks() - 30 * kTicksPerMs;
  context->SetSentAt(sent);
  int64_t before = NowTicks();
  context->OnResponse("ok");
  ASSERT_EQ(1u, responses_.size());
  EXPECT_EQ("ok", responses_[0]);
  EXPECT_GE(context->answered_at(), before);
  EXPECT_EQ((context->answered_at() - sent) / kTicksPerMs, context->answer_delay_ms());
  EXPECT_GE(context->answer_delay_ms(), 30);
  EXPECT_GE(context->callback_started(), context->answered_at());
  EXPECT_GE(context->callback_ended(), context->callback_started());
  EXPECT_EQ((context->callback_ended() - context->callback_started()) / kTicksPerMs,
            context->callback_time_ms());
}

TEST_F(RequestHandlerTest, CallbackTimeMeasuresTheCallback) {
  auto context = ipc_core_refptr<RequestHandlerWithString>(new RequestHandlerWithString(
      [](std::string) { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }, nullptr));
  context->OnResponse("");
  EXPECT_GE(context->callback_time_ms(), 20);
}

TEST_F(RequestHandlerTest, ResponseWithoutResponseCallbackChangesNoStamp) {
  auto context = Make(false, true);
  context->SetSentAt(123);
  context->OnResponse("ignored");
  EXPECT_EQ(123, context->sent_at());
  EXPECT_EQ(0, context->answered_at());
  EXPECT_EQ(0, context->callback_started());
  EXPECT_EQ(0, context->callback_ended());
  EXPECT_EQ(0, context->answer_delay_ms());
  EXPECT_TRUE(errors_.empty());
}

TEST_F(RequestHandlerTest, ErrorHasStatusZeroAndTheRuntimeCode) {
  auto context = Make(true, true);
  context->SetSentAt(NowTicks());
  context->OnError(1004, "connection lost");
  ASSERT_EQ(1u, errors_.size());
  EXPECT_EQ(0, errors_[0].status);
  EXPECT_EQ(1004, errors_[0].code);
  EXPECT_EQ("connection lost", errors_[0].reason);
  EXPECT_FALSE(errors_[0].is_timeout());
  EXPECT_NE(0, context->callback_ended());

  // The time-out code counts as a time-out whichever way it arrives.
  context->OnError(kErrorTimeout, "late");
  EXPECT_EQ("ErrorResult(is_timeout=1, status=0, code=1003, reason=late)",
            errors_[1].ToString());
}

TEST_F(RequestHandlerTest, ErrorWithoutErrorCallbackStillStampsTheAnswer) {
  auto context = Make(true, false);
  context->SetSentAt(NowTicks());
  context->OnError(1005, "stopped");
  EXPECT_NE(0, context->answered_at());
  EXPECT_NE(0, context->callback_started());
  EXPECT_EQ(0, context->callback_ended());
  EXPECT_TRUE(responses_.empty());
}

TEST_F(RequestHandlerTest, TimeoutReportsMinusOne1003Timeout) {
  auto context = Make(true, true);
  context->SetSentAt(NowTicks());
  context->OnTimeout();
  ASSERT_EQ(1u, errors_.size());
  EXPECT_EQ("ErrorResult(is_timeout=1, status=-1, code=1003, reason=Timeout)",
            errors_[0].ToString());
  EXPECT_NE(0, context->answered_at());
  EXPECT_NE(0, context->callback_ended());
}

TEST_F(RequestHandlerTest, TimeoutWithoutErrorCallbackStampsNothing) {
  auto context = Make(true, false);
  context->OnTimeout();
  EXPECT_EQ(0, context->answered_at());
  EXPECT_EQ(0, context->callback_started());
  EXPECT_EQ(0, context->callback_ended());
}

TEST_F(RequestHandlerTest, NowTicksIsTheSystemClockIn100ns) {
  int64_t expected = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count() *
                     10;
  // Within a second of the system clock read here.
  EXPECT_NEAR(static_cast<double>(expected), static_cast<double>(NowTicks()), 1e7);
}

}  // namespace
}  // namespace ipc_core
