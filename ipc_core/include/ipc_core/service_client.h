// The tool end of the IPC runtime: what a snipping tool uses to connect to
// the agent's service host, offer its own services and invoke the agent's.
// A tool can be written from this header and docs/ipc-protocol.md alone.
#ifndef IPC_CORE_SERVICE_CLIENT_H_
#define IPC_CORE_SERVICE_CLIENT_H_

#include <cstdint>

#include "ipc_core/ref_count.h"
#include "ipc_core/request_context.h"
#include "ipc_core/service.h"
#include "ipc_core/service_host.h"

namespace ipc_core {

class IServiceClient;

class IServiceClientObserver : public IRefCount {
 public:
  // The opening exchange succeeded; requests may flow.
  virtual void OnConnected(IServiceClient* client) = 0;  // slot 3
  // The connection could not be made or was refused (|error_code|).
  virtual void OnConnectFailed(IServiceClient* client, int32_t error_code) = 0;  // slot 4
  // The connection ended, for any cause, after OnConnected. Exactly once.
  virtual void OnDisconnected(IServiceClient* client) = 0;  // slot 5
};

class IServiceClient : public IRefCount {
 public:
  // Routes requests whose method starts with the service's name to it;
  // false for a duplicate name. Register before connecting.
  virtual bool RegisterService(IService* service) = 0;  // slot 3
  // Connects to 127.0.0.1:|port| and performs the opening exchange with
  // |secret| (empty: the value of kPeerSecretEnvironmentVariable). A client
  // connects once: after true, exactly one of OnConnectFailed or OnConnected
  // (and later OnDisconnected) follows; false when already used or |port| is
  // not a port.
  virtual bool ConnectToPort(int32_t port, const char* secret) = 0;  // slot 4
  // Finds the port through the rendezvous published under |identity| by
  // the host, then connects as ConnectToPort does.
  virtual bool ConnectByIdentity(const char* identity, const char* secret) = 0;  // slot 5
  // As IServiceHost::Invoke, to the connected host.
  virtual bool Invoke(const char* method, const char* payload, IRequestContext* context) = 0;  // 6
  // Closes the connection; pending invokes end with kErrorHostStopped.
  // OnDisconnected follows if the client was connected.
  virtual void Close() = 0;  // slot 7
};

// Creates a client holding one reference for the caller in |*out|. The
// runtime must have been started with InitIPCCoreRuntime. The client keeps
// counted references to |observer| and to registered services until the
// final event of its connection has been delivered. The caller's last
// Release closes the client.
int32_t CreateServiceClient(const char* app_name, IServiceClientObserver* observer,
                            IServiceClient** out);

}  // namespace ipc_core

#endif  // IPC_CORE_SERVICE_CLIENT_H_
