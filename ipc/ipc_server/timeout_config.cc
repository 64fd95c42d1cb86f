#include "ipc/ipc_server/timeout_config.h"

#include <optional>

#include <rapidjson/document.h>

#include "platform/logging.h"
#include "platform/service_manager.h"

namespace snipping_tool {
namespace {

constexpr char kInvokeMember[] = "IPCInvokeTimeout";
constexpr char kHandshakeMember[] = "ProcessHandshakeTimeout";
constexpr char kPreparePortMember[] = "IPCPreparePortTimeout";

// The member |name| when it is a JSON integer that fits a signed 32-bit
// value; fractions, exponent forms and strings are not integers.
std::optional<int> ReadInt(const rapidjson::Value& object, const char* name) {
  const auto member = object.FindMember(name);
  if (member == object.MemberEnd() || !member->value.IsInt())
    return std::nullopt;
  return member->value.GetInt();
}

void ApplyInRange(const std::optional<int>& value, uint32_t* timeout) {
  if (value && *value >= kMinConfiguredTimeout && *value <= kMaxConfiguredTimeout)
    *timeout = static_cast<uint32_t>(*value);
}

}  // namespace

TimeoutConfig ComputeTimeoutConfig(const std::map<std::string, std::string>& extras) {
  const bool increased = kvbase::GetGraySwitch(kIncreaseIpcTimeSwitch);
  TimeoutConfig config;
  config.IPCInvokeTimeout = increased ? kIncreasedIPCInvokeTimeout : kDefaultIPCInvokeTimeout;
  config.ProcessHandshakeTimeout =
      increased ? kIncreasedProcessHandshakeTimeout : kDefaultProcessHandshakeTimeout;
  config.IPCPreparePortTimeout =
      increased ? kIncreasedIPCPreparePortTimeout : kDefaultIPCPreparePortTimeout;

  const auto entry = extras.find(kTimeoutConfigExtrasKey);
  if (entry != extras.end() && !entry->second.empty()) {
    LOG(INFO) << "[SnippingToolAgent] " << "InitTimeoutConfig configs:" << entry->second;
    // The host's text up to its first NUL, parsed iteratively, so that deep
    // nesting cannot exhaust the stack; the syntax is RapidJSON's default
    // one (no byte-order mark).
    rapidjson::Document document;
    document.Parse<rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag>(
        entry->second.c_str());
    if (!document.HasParseError() && document.IsObject()) {
      const std::optional<int> invoke = ReadInt(document, kInvokeMember);
      const std::optional<int> handshake = ReadInt(document, kHandshakeMember);
      const std::optional<int> prepare_port = ReadInt(document, kPreparePortMember);
      ApplyInRange(invoke, &config.IPCInvokeTimeout);
      ApplyInRange(prepare_port, &config.IPCPreparePortTimeout);
      ApplyInRange(handshake, &config.ProcessHandshakeTimeout);
    }
  }

  LOG(INFO) << "[SnippingToolAgent] " << "InitTimeoutConfig" << " IPCInvokeTimeout:"
            << config.IPCInvokeTimeout << " IPCPreparePortTimeout:" << config.IPCPreparePortTimeout
            << " ProcessHandshakeTimeout:" << config.ProcessHandshakeTimeout;
  return config;
}

}  // namespace snipping_tool
