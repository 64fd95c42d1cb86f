// Services offered over the IPC connection, and the handle of one incoming
// request.
#ifndef IPC_CORE_SERVICE_H_
#define IPC_CORE_SERVICE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "ipc_core/ref_count.h"

namespace ipc_core {

// The runtime's handle of one incoming request. Reply may be called later
// and from any thread; only the first answer (Reply or ReplyError) is sent.
class IRequestFeature : public IRefCount {
 public:
  virtual void Reply(const char* text) = 0;                         // slot 3
  virtual void ReplyError(int32_t code, const char* reason) = 0;    // slot 4
  virtual const char* GetMethod() const = 0;                        // slot 5
  virtual int32_t GetConnectionId() const = 0;                      // slot 6
};

// A named service. Requests whose method's first dotted segment is the
// service's name reach HandleRequest on a runtime thread.
class IService : public IRefCount {
 public:
  virtual const char* GetServiceName() = 0;  // slot 3
  // True when a handler took the request.
  virtual bool HandleRequest(const char* method, const char* payload,
                             IRequestFeature* feature) = 0;  // slot 4
};

// A service with a table of handlers, one per full method name
// ("snipping_tool_agent.snipping.notify").
class SimpleService : public IService {
 public:
  using RequestHandler =
      std::function<void(const std::string& payload, ipc_core_refptr<IRequestFeature> feature)>;

  explicit SimpleService(std::string name);
  ~SimpleService() override;

  void AddRef() override;
  void Release() override;
  const char* GetServiceName() override;
  bool HandleRequest(const char* method, const char* payload, IRequestFeature* feature) override;

  // False when |method| is empty or |handler| holds no target; an existing
  // entry for |method| is replaced. Register before handing the service to
  // the runtime: the table is read without a lock.
  bool RegisterRequestHandler(const std::string& method, RequestHandler handler);

  size_t handler_count() const { return handlers_.size(); }

 private:
  std::atomic<int32_t> ref_count_{0};
  std::string name_;
  std::map<std::string, RequestHandler> handlers_;
};

}  // namespace ipc_core

#endif  // IPC_CORE_SERVICE_H_
