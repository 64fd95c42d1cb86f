// What the host hands the agent at initialisation: who the user is, which
// features are on, and configuration texts for the snipping tool.
#ifndef SNIPPING_TOOL_SNIPPING_TOOL_CONFIG_H_
#define SNIPPING_TOOL_SNIPPING_TOOL_CONFIG_H_

#include <cstdint>
#include <map>
#include <string>

namespace snipping_tool {

struct SnippingToolConfig {
  bool enable_screen_tool_gray_win = false;
  bool enable_screen_tool_recording_0909 = false;
  bool enable_screen_tool_scroll_screenshot_win = false;
  bool enable_screen_tool_commercialize = false;
  bool enable_screen_tool_1028 = false;
  bool reserved_flag_5 = false;  // not read by the agent
  bool reserved_flag_6 = false;  // not read by the agent
  // Whether the VizudeDezo tool is told the port on its command line; without
  // it the tool finds the agent by identity.
  bool pass_channel_port = false;
  bool enable_ai_recognize = false;
  int64_t user_id = 0;
  std::string version;
  std::string env;
  // UTF-8 path of the host's log file; its grandparent is the app data path.
  std::string log_file;
  // A JSON object; its "lang" member is the tool's language.
  std::string dui_config;
  std::string snipping_config;
  std::map<int32_t, bool> features;
  // Passed to the tool as a JSON document. The entry "timeout_config" also
  // sets the agent's time-outs.
  std::map<std::string, std::string> extras;
};

}  // namespace snipping_tool

#endif  // SNIPPING_TOOL_SNIPPING_TOOL_CONFIG_H_
