#include "ipc_core/service.h"

#include <utility>

namespace ipc_core {

SimpleService::SimpleService(std::string name) : name_(std::move(name)) {}

SimpleService::~SimpleService() = default;

void SimpleService::AddRef() { ref_count_.fetch_add(1, std::memory_order_relaxed); }

void SimpleService::Release() {
  if (ref_count_.fetch_sub(1, std::memory_order_acq_rel) == 1)
    delete this;
}

const char* SimpleService::GetServiceName() { return name_.c_str(); }

bool SimpleService::HandleRequest(const char* method, const char* payload,
                                  IRequestFeature* feature) {
  if (method == nullptr || *method == '\0' || feature == nullptr)
    return false;
  auto it = handlers_.find(method);
  if (it == handlers_.end() || !it->second)
    return false;
  ipc_core_refptr<IRequestFeature> ref(feature);
  it->second(std::string(payload ? payload : ""), ref);
  return true;
}

bool SimpleService::RegisterRequestHandler(const std::string& method, RequestHandler handler) {
  if (method.empty() || !handler)
    return false;
  handlers_[method] = std::move(handler);
  return true;
}

}  // namespace ipc_core
