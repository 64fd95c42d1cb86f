// Seams for tests of the runtime and of code built on it. They turn
// situations that are rare in the field (a host that cannot listen, a port
// that comes late, a peer that never says hello) into ones a test can cause.
// Process-wide; not for production code.
#ifndef IPC_CORE_TESTING_H_
#define IPC_CORE_TESTING_H_

#include <cstddef>
#include <cstdint>

namespace ipc_core {

class IServiceHost;
class IServiceHostObserver;

namespace testing {

// Makes the service hosts in place of the runtime, for tests that run the
// agent against a simulated runtime. Its Create receives the arguments of
// CreateServiceHost (the runtime need not be started); Destroy receives the
// hosts it made when they are handed to DestroyServiceHost.
class ServiceHostFactory {
 public:
  virtual ~ServiceHostFactory() = default;
  virtual int32_t Create(const char* host_name, const char* app_name, const char* identity,
                         int32_t app_id, int32_t protocol_tag, IServiceHostObserver* observer,
                         IServiceHost** out) = 0;
  virtual int32_t Destroy(IServiceHost* host) = 0;
};

// Installs |factory| for every later CreateServiceHost and DestroyServiceHost
// (null restores the runtime's own hosts). Not owned; it must outlive the
// hosts it made.
void SetServiceHostFactory(ServiceHostFactory* factory);

// The next Start of any service host fails: OnServiceHostStartFailure
// arrives with |error_code| (a non-zero code; 0 clears a pending failure).
void FailNextStart(int32_t error_code);

// The next CreateServiceHost returns |error_code| and delivers no host
// (0 clears a pending failure).
void FailNextCreate(int32_t error_code);

// Every later OnServiceHostStartSuccess arrives |delay_ms| after the host
// listens (0 restores immediate delivery). GetPort reports the port only
// once the event is delivered.
void SetStartSuccessDelayMs(int32_t delay_ms);

// How long a new connection may take to complete the opening exchange
// before it is closed, on both ends (<= 0 restores the default, 1000 ms).
void SetHelloTimeoutMs(int32_t timeout_ms);

// Connections accepted by service hosts that have not completed the
// opening exchange, now and at most since the last ResetConnectionPeaks,
// summed over every host of the process. A host keeps at most
// kMaxUnauthenticatedConnections of its own.
int UnauthenticatedConnectionCount();
int MaxUnauthenticatedConnectionCount();
// The most bytes one connection (either end) has held of incoming frames
// before its opening exchange was done, since the last ResetConnectionPeaks;
// never above kMaxPreHelloBufferedBytes.
size_t MaxBufferedPreHelloBytes();
void ResetConnectionPeaks();
// Accepts that failed on any host of the process (out of descriptors, for
// instance). After each failure the listener pauses before it tries again:
// 20 ms, doubling while the failures go on, at most 1 s.
long AcceptFailureCount();

// The limits those counters are checked against.
constexpr int kMaxUnauthenticatedConnections = 16;
constexpr size_t kMaxPreHelloBufferedBytes = 8 + 576;

// Service hosts and clients alive (created and not yet freed), to check
// that none leaks.
int LiveObjectCount();

}  // namespace testing
}  // namespace ipc_core

#endif  // IPC_CORE_TESTING_H_
