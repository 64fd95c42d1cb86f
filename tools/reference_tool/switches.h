// The command line the agent gives the reference tool: two switch sets, one
// per tool generation, each switch "--name=value" or a bare "--name".
#ifndef TOOLS_REFERENCE_TOOL_SWITCHES_H_
#define TOOLS_REFERENCE_TOOL_SWITCHES_H_

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace reference_tool {

// Which executable this is; fixed at build time. It decides the switch set
// the tool accepts and the identity it looks the agent up by when it is
// given no port.
enum class Flavour {
  kClassic,     // QuilloSnippingTool.exe
  kVizudeDezo,  // VizudeDezo.exe
};

const char* FlavourName(Flavour flavour);
// The rendezvous identity the agent's service host publishes for |flavour|.
const char* IdentityFor(Flavour flavour);

// The switch that turns the executable into a sleeping grandchild (a helper
// that does nothing but live for a while, so tests can see whether the
// tool's process tree is torn down with it).
constexpr char kSleepSwitch[] = "reference-tool-sleep-ms";
// Upper bound of a sleeper's life: a sleeper that nobody kills still ends.
constexpr int kMaxSleepMs = 600000;

// The extras entry holding the tool's script.
constexpr char kScriptExtrasKey[] = "reference_tool_script";

struct ToolOptions {
  Flavour flavour = Flavour::kClassic;
  // Set when the tool runs as a sleeper (kSleepSwitch); nothing else is then.
  int sleep_ms = -1;
  // 0 when "channel-port" was not given.
  int port = 0;
  int64_t user_id = 0;
  // Every switch as received, in command-line order.
  std::vector<std::pair<std::string, std::string>> switches;
  // The decoded text of every Base64 switch, in command-line order.
  std::vector<std::pair<std::string, std::string>> documents;
  // The extras document ("snipping-extras" or "extension").
  std::map<std::string, std::string> extras;
};

// Parses |args| (the arguments after the program name) for |flavour|. On
// refusal returns false with a one-line reason in |error|: an argument that
// is not a switch, a switch of the other set or unknown, a switch given
// twice, or a value that does not read as its kind (port, integer,
// "true"/"false", Base64, the JSON document it must hold).
bool ParseToolSwitches(Flavour flavour, const std::vector<std::string>& args, ToolOptions* options,
                       std::string* error);

}  // namespace reference_tool

#endif  // TOOLS_REFERENCE_TOOL_SWITCHES_H_
