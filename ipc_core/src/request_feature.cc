#include "request_feature.h"

#include <utility>

#include "ipc_core/service_host.h"
#include "runtime.h"
#include "wire_format.h"

namespace ipc_core {

RequestFeature::RequestFeature(std::weak_ptr<Connection> connection, uint64_t request_id,
                               std::string method, int32_t connection_id)
    : connection_(std::move(connection)),
      request_id_(request_id),
      method_(std::move(method)),
      connection_id_(connection_id) {}

void RequestFeature::AddRef() { ref_count_.fetch_add(1, std::memory_order_relaxed); }

void RequestFeature::Release() {
  if (ref_count_.fetch_sub(1, std::memory_order_acq_rel) == 1)
    delete this;
}

void RequestFeature::Reply(const char* text) {
  if (answered_.exchange(true, std::memory_order_acq_rel))
    return;
  std::string frame;
  wire::AppendReply(&frame, request_id_, text ? text : "");
  SendAnswer(std::move(frame));
}

void RequestFeature::ReplyError(int32_t code, const char* reason) {
  if (answered_.exchange(true, std::memory_order_acq_rel))
    return;
  std::string frame;
  wire::AppendErrorReply(&frame, request_id_, code, reason ? reason : "");
  SendAnswer(std::move(frame));
}

void RequestFeature::SendAnswer(std::string frame) {
  if (frame.size() > wire::kHeaderSize + wire::kMaxBodyLength) {
    // The peer would drop the whole connection over it; tell it what went
    // wrong instead, within the limit.
    IPC_LOG(kLogError, connection_id_)
        << "answer to " << method_ << " exceeds the frame limit, sending an error instead";
    frame.clear();
    wire::AppendErrorReply(&frame, request_id_, kErrorInvalidArgument, "answer too large");
  }
  if (auto connection = connection_.lock())
    connection->Send(std::move(frame));
}

std::string ServiceNameOf(const std::string& method) {
  return method.substr(0, method.find('.'));
}

void DispatchRequest(IService* service, const std::shared_ptr<Connection>& connection,
                     int32_t connection_id, uint64_t request_id, const std::string& method,
                     const std::string& payload) {
  ipc_core_refptr<RequestFeature> feature(
      new RequestFeature(connection, request_id, method, connection_id));
  bool handled = service && service->HandleRequest(method.c_str(), payload.c_str(), feature.get());
  // A handler may have answered and still returned false; the answer stands.
  if (handled || feature->answered())
    return;
  IPC_LOG(kLogWarning, connection_id) << "no handler for " << method;
  feature->ReplyError(kErrorNoHandler, ("no handler for " + method).c_str());
}

}  // namespace ipc_core
