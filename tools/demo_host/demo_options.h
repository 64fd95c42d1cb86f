// The demo host's command line.
#ifndef TOOLS_DEMO_HOST_DEMO_OPTIONS_H_
#define TOOLS_DEMO_HOST_DEMO_OPTIONS_H_

#include <string>
#include <vector>

namespace demo_host {

struct DemoOptions {
  bool help = false;
  // Where the first shot is saved; later shots get "-2", "-3"... before the
  // extension.
  std::string save_path = "snipping-demo.png";
  bool use_screen_tool = false;
  bool pass_channel_port = false;
  // Passed to the agent untouched, in the extras entries "timeout_config"
  // and "reference_tool_script": the demo shows what the agent and the tool
  // make of them, malformed ones included.
  std::string timeout_config;
  std::string script;
  int shots = 1;
  // How long to wait for each shot's outcome before giving up on it.
  int wait_ms = 20000;
  // How long to keep watching after the last shot, for what the tool sends
  // late (a script's notices, screen-AI answers, the select-user window).
  int linger_ms = 300;
  // The agent library; empty for the one next to the executable.
  std::string library;
};

extern const char kDemoUsage[];

// Reads "--name value" and "--name=value" forms. False with a reason in
// |error| for an unknown option, a missing or malformed value, or a number
// out of range.
bool ParseDemoOptions(const std::vector<std::string>& args, DemoOptions* options,
                      std::string* error);

// The save path of shot |number| (1-based): "a/b.png" -> "a/b-2.png".
std::string ShotPath(const std::string& base, int number);

}  // namespace demo_host

#endif  // TOOLS_DEMO_HOST_DEMO_OPTIONS_H_
