// The host end of the IPC runtime: a service host listens on loopback, lets
// snipping tools connect, hands their requests to registered services and
// sends invokes to them. See docs/ipc-protocol.md for the wire protocol.
#ifndef IPC_CORE_SERVICE_HOST_H_
#define IPC_CORE_SERVICE_HOST_H_

#include <cstdint>
#include <string>

#include "ipc_core/ref_count.h"
#include "ipc_core/request_context.h"
#include "ipc_core/service.h"

namespace ipc_core {

class IServiceHost;

// The environment variable through which the agent hands a launched tool
// the one-time secret it must present in the opening exchange.
constexpr char kPeerSecretEnvironmentVariable[] = "QUILLO_IPC_PEER_SECRET";

// Result codes of the runtime's functions and error codes given to
// IRequestContext::OnError and IRequestFeature::ReplyError.
enum ErrorCode : int32_t {
  kOk = 0,
  kErrorInvalidArgument = 1001,
  kErrorNotStarted = 1002,
  // kErrorTimeout = 1003 (request_context.h)
  kErrorConnectionLost = 1004,
  kErrorHostStopped = 1005,
  kErrorNoHandler = 1006,
  kErrorListenFailed = 1007,
  kErrorRemote = 1008,
  // The opening exchange was refused (wrong or used secret, wrong version).
  kErrorRefused = 1009,
  // The peer sent bytes that are not a valid frame.
  kErrorProtocol = 1010,
};

// Receives the events of one service host, on runtime threads. The runtime
// does not hold a reference to the observer: it must stay alive until
// OnServiceHostStoped has been delivered.
class IServiceHostObserver : public IRefCount {
 public:
  virtual void OnServiceHostInit(IServiceHost* host) = 0;                              // 3
  virtual void OnServiceHostStartSuccess(IServiceHost* host, int32_t port) = 0;        // 4
  virtual void OnServiceHostStartFailure(IServiceHost* host, int32_t error_code) = 0;  // 5
  virtual void OnServiceHostStoped(IServiceHost* host) = 0;                            // 6
  virtual void OnServiceInvokerConnected(IServiceHost* host, int32_t connection_id) = 0;     // 7
  virtual void OnServiceInvokerDisconnected(IServiceHost* host, int32_t connection_id) = 0;  // 8
};

class IServiceHost : public IRefCount {
 public:
  virtual const char* GetHostName() = 0;  // slot 3
  // The runtime keeps a plain pointer to |service|: it must stay alive until
  // OnServiceHostStoped has been delivered.
  virtual bool RegisterService(IService* service) = 0;  // slot 4
  // Allows one connection presenting |secret| in its opening exchange. Each
  // secret admits one connection once; connections presenting anything else
  // are refused. |tag| is the caller's name for whoever was given the secret
  // (the agent numbers its tool launches); GetConnectionTag reports it for
  // the connection the secret admitted.
  virtual bool AddPeerSecret(const char* secret, uint64_t tag = 0) = 0;  // slot 5
  // The listening port, 0 before the start succeeded.
  virtual int32_t GetPort() = 0;  // slot 6
  // Listens on 127.0.0.1 on a port the OS picks; the outcome arrives as
  // OnServiceHostStartSuccess or OnServiceHostStartFailure.
  virtual bool Start() = 0;  // slot 7
  // Closes every connection, ends every pending invoke with
  // kErrorHostStopped and is followed by exactly one OnServiceHostStoped,
  // delivered after every other callback of this host has returned (not
  // counting the one Stop is called from). No other observer event and no
  // request follows Stop. May be called from any thread, also from inside
  // one of this host's callbacks; a second call does nothing.
  virtual void Stop() = 0;  // slot 8
  // Sends |method| with |payload| to the most recently connected tool (or to
  // the next one to connect, within the context's time-out). Exactly one of
  // the context's OnResponse, OnError and OnTimeout follows, on a runtime
  // thread, whenever |context| is not null (false: refused on the spot, the
  // outcome is OnError). GetTimeoutMs and SetSentAt are called with the
  // runtime's lock held: they must only read or store.
  virtual bool Invoke(const char* method, const char* payload, IRequestContext* context) = 0;  // 9
  // The tag of the secret that |connection_id| presented (AddPeerSecret),
  // from before its OnServiceInvokerConnected until its
  // OnServiceInvokerDisconnected has returned; 0 for any other connection.
  virtual uint64_t GetConnectionTag(int32_t connection_id) = 0;  // slot 10
  // Like Invoke, but only to the tool on |connection_id|: when that
  // connection is not established or is already lost, the invoke fails at
  // once (false; OnError with kErrorConnectionLost follows on a runtime
  // thread) instead of waiting for another tool.
  virtual bool InvokeOn(int32_t connection_id, const char* method, const char* payload,
                        IRequestContext* context) = 0;  // slot 11
};

// Called by the runtime for its own log records: severity (0 info, 1
// warning, 2 error), source file, line, the id of the connection the record
// concerns (0 when none) and the text.
using LogCallback = void (*)(int severity, const char* file, int line, int64_t connection_id,
                             const char* message);

// Starts the runtime (its threads) once per process; later calls only
// replace the log callback. Returns kOk.
int32_t InitIPCCoreRuntime(LogCallback log_callback);

// Creates a service host holding one reference for the caller in |*out|.
// |identity| names the rendezvous through which tools can find the port;
// |app_id| and |protocol_tag| identify the kind of host: the runtime does not
// interpret them, it sends them to the tool in the welcome frame and writes
// them into the rendezvous record. The caller's last Release stops the host.
int32_t CreateServiceHost(const char* host_name, const char* app_name, const char* identity,
                          int32_t app_id, int32_t protocol_tag, IServiceHostObserver* observer,
                          IServiceHost** out);

// A fresh one-time secret for AddPeerSecret: 256 bits from the operating
// system's random source, as 64 lower-case hex digits. Empty if the source
// failed (never use an empty secret: every connection presenting it is
// refused anyway).
std::string GeneratePeerSecret();

// Stops |host| if it is running and drops the runtime's own bookkeeping of
// it; the caller still releases its reference.
int32_t DestroyServiceHost(IServiceHost* host);

}  // namespace ipc_core

#endif  // IPC_CORE_SERVICE_HOST_H_
