// The runtime's IRequestFeature: the handle through which a service answers
// one incoming request, now or later, from any thread.
#ifndef IPC_CORE_SRC_REQUEST_FEATURE_H_
#define IPC_CORE_SRC_REQUEST_FEATURE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "connection.h"
#include "ipc_core/service.h"

namespace ipc_core {

class RequestFeature final : public IRequestFeature {
 public:
  RequestFeature(std::weak_ptr<Connection> connection, uint64_t request_id, std::string method,
                 int32_t connection_id);

  void AddRef() override;
  void Release() override;
  // Only the first answer goes out; an answer after the connection closed is
  // dropped quietly (the peer has already failed the invoke).
  void Reply(const char* text) override;
  void ReplyError(int32_t code, const char* reason) override;
  const char* GetMethod() const override { return method_.c_str(); }
  int32_t GetConnectionId() const override { return connection_id_; }

  bool answered() const { return answered_.load(std::memory_order_acquire); }

 private:
  ~RequestFeature() override = default;
  void SendAnswer(std::string frame);

  std::atomic<int32_t> ref_count_{0};
  std::atomic<bool> answered_{false};
  std::weak_ptr<Connection> connection_;
  uint64_t request_id_;
  std::string method_;
  int32_t connection_id_;
};

// Routes one incoming request to the service named by the method's first
// dotted segment; answers kErrorNoHandler at once when nobody takes it, so
// the peer is not left waiting for its time-out.
void DispatchRequest(IService* service, const std::shared_ptr<Connection>& connection,
                     int32_t connection_id, uint64_t request_id, const std::string& method,
                     const std::string& payload);

// "snipping_tool_agent" for "snipping_tool_agent.snipping.notify".
std::string ServiceNameOf(const std::string& method);

}  // namespace ipc_core

#endif  // IPC_CORE_SRC_REQUEST_FEATURE_H_
