// The context of one outgoing invoke: its time-out, its timing stamps and the
// callbacks that receive its outcome. The runtime calls exactly one of
// OnResponse, OnError and OnTimeout per invoke, on a runtime thread.
#ifndef IPC_CORE_REQUEST_CONTEXT_H_
#define IPC_CORE_REQUEST_CONTEXT_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "ipc_core/ref_count.h"

namespace ipc_core {

// The time-out error code: an ErrorResult is a time-out exactly when its
// code is kErrorTimeout.
constexpr int32_t kErrorTimeout = 1003;

// Ticks of 100 ns since the epoch of the standard library's system clock.
// Contexts and the runtime stamp times with this one clock.
int64_t NowTicks();

class ErrorResult {
 public:
  ErrorResult() = default;
  ErrorResult(int32_t status_value, int32_t code_value, std::string reason_text)
      : status(status_value), code(code_value), reason(std::move(reason_text)) {}
  virtual ~ErrorResult() = default;

  bool is_timeout() const { return code == kErrorTimeout; }
  // "ErrorResult(is_timeout=1, status=-1, code=1003, reason=Timeout)".
  std::string ToString() const;

  int32_t status = 0;
  int32_t code = 0;
  std::string reason;
};

class IRequestContext : public IRefCount {
 public:
  virtual void OnResponse(const char* text) = 0;               // slot 3
  virtual void OnError(int32_t code, const char* reason) = 0;  // slot 4
  virtual void OnTimeout() = 0;                                // slot 5
  // How long the runtime waits for the answer, in milliseconds.
  virtual int32_t GetTimeoutMs() const = 0;  // slot 6
  // Stamped by the runtime when the request leaves (NowTicks()).
  virtual void SetSentAt(int64_t ticks) = 0;  // slot 7
};

class RequestContext : public IRequestContext {
 public:
  static constexpr int32_t kDefaultTimeoutMs = 5000;

  RequestContext() = default;
  ~RequestContext() override = default;

  void AddRef() override;
  void Release() override;
  int32_t GetTimeoutMs() const override { return timeout_; }
  void SetSentAt(int64_t ticks) override { sent_at_ = ticks; }

  void set_timeout(int32_t timeout_ms) { timeout_ = timeout_ms; }
  int32_t timeout() const { return timeout_; }
  int64_t sent_at() const { return sent_at_; }
  int64_t answered_at() const { return answered_at_; }
  int64_t callback_started() const { return callback_started_; }
  int64_t callback_ended() const { return callback_ended_; }
  int32_t answer_delay_ms() const { return answer_delay_ms_; }
  int32_t callback_time_ms() const { return callback_time_ms_; }

 protected:
  void StampAnswered();
  void StampCallbackStarted();
  void StampCallbackEnded();

 private:
  int32_t timeout_ = kDefaultTimeoutMs;
  std::atomic<int32_t> ref_count_{0};
  int64_t sent_at_ = 0;
  int64_t answered_at_ = 0;
  int64_t callback_started_ = 0;
  int64_t callback_ended_ = 0;
  int32_t answer_delay_ms_ = 0;
  int32_t callback_time_ms_ = 0;
};

// A context whose outcome goes to two callables: the answer text, or an
// ErrorResult (status 0 and the runtime's code for an error; status -1, code
// 1003, reason "Timeout" for a time-out).
class RequestHandlerWithString : public RequestContext {
 public:
  using ResponseCallback = std::function<void(std::string)>;
  using ErrorCallback = std::function<void(const ErrorResult&)>;

  RequestHandlerWithString(ResponseCallback on_response, ErrorCallback on_error);
  ~RequestHandlerWithString() override;

  void OnResponse(const char* text) override;
  void OnError(int32_t code, const char* reason) override;
  void OnTimeout() override;

 private:
  ResponseCallback on_response_;
  ErrorCallback on_error_;
};

}  // namespace ipc_core

#endif  // IPC_CORE_REQUEST_CONTEXT_H_
