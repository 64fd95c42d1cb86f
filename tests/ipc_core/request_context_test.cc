// The counted classes of the public interface: SimpleService's dispatch
// rules and the stamps and error records of RequestHandlerWithString.
#include "ipc_core/request_context.h"

#include <memory>

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

constexpr char kNotify[] = "snipping_tool_agent.snipping.notify";

class SimpleServiceTest : public ::testing::Test {
 protected:
  SimpleServiceTest() : service_(new SimpleService("snipping_tool_agent")) {
    EXPECT_TRUE(service_->RegisterRequestHandler(
        kNotify, [this](const std::string& payload, ipc_core_refptr<IRequestFeature> feature) {
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

// Only the exact registered method runs its handler, with a feature that is
// referenced while the handler runs and released afterwards.
TEST_F(SimpleServiceTest, AnExactRegisteredMethodRunsItsHandlerWithACountedFeature) {
  EXPECT_TRUE(service_->HandleRequest(kNotify, "{}", &feature_));
  EXPECT_TRUE(service_->HandleRequest(kNotify, nullptr, &feature_));
  EXPECT_EQ((std::vector<std::string>{"{}", ""}), payloads_);
  EXPECT_GE(feature_refs_seen_, 1);
  EXPECT_EQ(0, feature_.refs);
  EXPECT_EQ(2u, feature_.replies.size());
  for (const char* method : {"snipping_tool_agent.snipping.NOTIFY",
                             "Snipping_tool_agent.snipping.notify", "snipping_tool_agent.snipping",
                             static_cast<const char*>(nullptr), ""})
    EXPECT_FALSE(service_->HandleRequest(method, "{}", &feature_)) << (method ? method : "null");
  EXPECT_FALSE(service_->HandleRequest(kNotify, "{}", nullptr));
  EXPECT_EQ(2u, payloads_.size());
}

TEST_F(SimpleServiceTest, RegistrationRules) {
  EXPECT_EQ(1u, service_->handler_count());
  EXPECT_FALSE(service_->RegisterRequestHandler("", [](auto&, auto) {}));
  EXPECT_FALSE(service_->RegisterRequestHandler("x.y", SimpleService::RequestHandler()));
  EXPECT_EQ(1u, service_->handler_count());

  // A second registration under the same name replaces the first.
  int second = 0;
  EXPECT_TRUE(service_->RegisterRequestHandler(kNotify, [&](auto&, auto) { ++second; }));
  EXPECT_EQ(1u, service_->handler_count());
  EXPECT_TRUE(service_->HandleRequest(kNotify, "", &feature_));
  EXPECT_EQ(1, second);
  EXPECT_TRUE(payloads_.empty());
}

TEST(SimpleServiceLifetimeTest, TheLastReleaseFreesTheServiceAndItsHandlers) {
  auto held_by_handler = std::make_shared<int>();
  ipc_core_refptr<SimpleService> service(new SimpleService("s"));
  service->RegisterRequestHandler("s.m", [held_by_handler](auto&, auto) {});
  service.reset();
  EXPECT_EQ(1, held_by_handler.use_count());
}

// Ticks are 100 ns; a millisecond is 10000 of them.
constexpr int64_t kTicksPerMs = 10000;

// Which outcome reaches which callback, and which stamps it leaves, with and
// without the callbacks.
TEST(RequestHandlerTest, OutcomesReachTheirCallbackAndStampTheAnswer) {
  enum Event { kResponse, kError, kTimeout };
  const struct Case {
    const char* what;
    bool with_response, with_error;
    Event event;
    const char* delivered;  // "" when nothing reaches a callback
    bool answered, started, ended;
  } cases[] = {
      {"response", true, true, kResponse, "ok", true, true, true},
      {"response, no response callback", false, true, kResponse, "", false, false, false},
      {"error", true, true, kError,
       "ErrorResult(is_timeout=0, status=0, code=1004, reason=connection lost)", true, true, true},
      {"error, no error callback", true, false, kError, "", true, true, false},
      {"timeout", true, true, kTimeout,
       "ErrorResult(is_timeout=1, status=-1, code=1003, reason=Timeout)", true, true, true},
      {"timeout, no error callback", true, false, kTimeout, "", false, false, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    std::string delivered;
    RequestHandlerWithString::ResponseCallback on_response;
    RequestHandlerWithString::ErrorCallback on_error;
    if (k.with_response)
      on_response = [&](std::string text) { delivered = text; };
    if (k.with_error)
      on_error = [&](const ErrorResult& e) { delivered = e.ToString(); };
    ipc_core_refptr<RequestHandlerWithString> context(
        new RequestHandlerWithString(std::move(on_response), std::move(on_error)));
    const int64_t sent = NowTicks() - 30 * kTicksPerMs;
    context->SetSentAt(sent);
    const int64_t before = NowTicks();
    if (k.event == kResponse)
      context->OnResponse("ok");
    else if (k.event == kError)
      context->OnError(1004, "connection lost");
    else
      context->OnTimeout();
    EXPECT_EQ(k.delivered, delivered);
    EXPECT_EQ(sent, context->sent_at());
    EXPECT_EQ(k.answered, context->answered_at() >= before);
    EXPECT_EQ(k.started, context->callback_started() >= context->answered_at() &&
                             context->callback_started() != 0);
    EXPECT_EQ(k.ended, context->callback_ended() >= context->callback_started() &&
                           context->callback_ended() != 0);
    if (k.answered) {
      EXPECT_EQ((context->answered_at() - sent) / kTicksPerMs, context->answer_delay_ms());
      EXPECT_GE(context->answer_delay_ms(), 30);
    } else {
      EXPECT_EQ(0, context->answered_at());
      EXPECT_EQ(0, context->answer_delay_ms());
    }
    if (k.ended) {
      EXPECT_EQ((context->callback_ended() - context->callback_started()) / kTicksPerMs,
                context->callback_time_ms());
    }
  }
}

}  // namespace
}  // namespace ipc_core
