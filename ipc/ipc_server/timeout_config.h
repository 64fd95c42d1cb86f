// The three time-outs of a shot's stages, computed once when the service
// host is initialised.
//
// The host's feature switch "increase_screen_ipc_time" picks the base values;
// the extras entry "timeout_config", a JSON object such as
// {"IPCInvokeTimeout":5000}, may override each of them with an integer from
// 2001 to 9999. Anything else in it is ignored.
#ifndef IPC_IPC_SERVER_TIMEOUT_CONFIG_H_
#define IPC_IPC_SERVER_TIMEOUT_CONFIG_H_

#include <cstdint>
#include <map>
#include <string>

namespace snipping_tool {

// Milliseconds.
struct TimeoutConfig {
  // The shot invoke "snipping_tool.snipping.shot".
  uint32_t IPCInvokeTimeout = 0;
  // From the tool's launch to its handshake.
  uint32_t ProcessHandshakeTimeout = 0;
  // From the start of the IPC service host to its listening port.
  uint32_t IPCPreparePortTimeout = 0;
};

inline constexpr char kIncreaseIpcTimeSwitch[] = "increase_screen_ipc_time";
inline constexpr char kTimeoutConfigExtrasKey[] = "timeout_config";

inline constexpr uint32_t kDefaultIPCInvokeTimeout = 3000;
inline constexpr uint32_t kDefaultProcessHandshakeTimeout = 3000;
inline constexpr uint32_t kDefaultIPCPreparePortTimeout = 2000;
inline constexpr uint32_t kIncreasedIPCInvokeTimeout = 8000;
inline constexpr uint32_t kIncreasedProcessHandshakeTimeout = 8000;
inline constexpr uint32_t kIncreasedIPCPreparePortTimeout = 5000;
// The range, inclusive, of a value taken from "timeout_config".
inline constexpr int kMinConfiguredTimeout = 2001;
inline constexpr int kMaxConfiguredTimeout = 9999;

// The time-outs for |extras| (the configuration's extras) and the host's
// switch. Logs the "timeout_config" text when there is one and, always, the
// values in force.
TimeoutConfig ComputeTimeoutConfig(const std::map<std::string, std::string>& extras);

}  // namespace snipping_tool

#endif  // IPC_IPC_SERVER_TIMEOUT_CONFIG_H_
