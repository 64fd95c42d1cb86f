#include "ipc_core/request_context.h"

#include <chrono>
#include <sstream>

namespace ipc_core {
namespace {

int32_t TicksToMs(int64_t ticks) { return static_cast<int32_t>(ticks / 10000); }

}  // namespace

int64_t NowTicks() {
  using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
  return std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string ErrorResult::ToString() const {
  std::ostringstream out;
  out << "ErrorResult(is_timeout=" << (is_timeout() ? 1 : 0) << ", status=" << status
      << ", code=" << code << ", reason=" << reason << ")";
  return out.str();
}

void RequestContext::AddRef() { ref_count_.fetch_add(1, std::memory_order_relaxed); }

void RequestContext::Release() {
  if (ref_count_.fetch_sub(1, std::memory_order_acq_rel) == 1)
    delete this;
}

void RequestContext::StampAnswered() {
  answered_at_ = NowTicks();
  answer_delay_ms_ = TicksToMs(answered_at_ - sent_at_);
}

void RequestContext::StampCallbackStarted() { callback_started_ = NowTicks(); }

void RequestContext::StampCallbackEnded() {
  callback_ended_ = NowTicks();
  callback_time_ms_ = TicksToMs(callback_ended_ - callback_started_);
}

RequestHandlerWithString::RequestHandlerWithString(ResponseCallback on_response,
                                                   ErrorCallback on_error)
    : on_response_(std::move(on_response)), on_error_(std::move(on_error)) {}

RequestHandlerWithString::~RequestHandlerWithString() = default;

void RequestHandlerWithString::OnResponse(const char* text) {
  if (!on_response_)
    return;
  StampAnswered();
  StampCallbackStarted();
  on_response_(std::string(text ? text : ""));
  StampCallbackEnded();
}

void RequestHandlerWithString::OnError(int32_t code, const char* reason) {
  ErrorResult result(0, code, reason ? reason : "");
  // An error is always recorded as answered, even when nobody listens for it,
  // so the stamps show when the runtime gave up on the request.
  StampAnswered();
  StampCallbackStarted();
  if (!on_error_)
    return;
  on_error_(result);
  StampCallbackEnded();
}

void RequestHandlerWithString::OnTimeout() {
  ErrorResult result(-1, kErrorTimeout, "Timeout");
  if (!on_error_)
    return;
  StampAnswered();
  StampCallbackStarted();
  on_error_(result);
  StampCallbackEnded();
}

}  // namespace ipc_core
