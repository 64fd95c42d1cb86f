// The command-line switches of the snipping tool and the JSON documents
// carried, Base64-encoded, in some of them.
//
// QuilloSnippingTool.exe takes the classic set, VizudeDezo.exe its own set.
// Each switch is "--name=value" ("--name" alone for an empty value), in the
// order appended here; the tool reads everything it needs at start-up from
// them.
#ifndef IPC_IPC_SERVER_LAUNCH_SWITCHES_H_
#define IPC_IPC_SERVER_LAUNCH_SWITCHES_H_

#include <cstdint>
#include <map>
#include <string>

#include "platform/command_line.h"
#include "snipping_tool/snipping_tool_config.h"

namespace snipping_tool {

// Switch names, shared by both sets where the name is the same.
inline constexpr char kSwitchChannelPort[] = "channel-port";
inline constexpr char kSwitchEnv[] = "env";
inline constexpr char kSwitchUserIdClassic[] = "user-id";
inline constexpr char kSwitchVersion[] = "version";
inline constexpr char kSwitchDuiConfig[] = "dui-config";
inline constexpr char kSwitchLogFile[] = "log-file";
inline constexpr char kSwitchSnippingConfig[] = "snipping-config";
inline constexpr char kSwitchSnippingFeatures[] = "snipping-features";
inline constexpr char kSwitchSnippingExtras[] = "snipping-extras";
inline constexpr char kSwitchUserIdVizudeDezo[] = "user_id";
inline constexpr char kSwitchLocalLanguage[] = "local_language";
inline constexpr char kSwitchAppDataPath[] = "app_data_path";
inline constexpr char kSwitchAppTheme[] = "app_theme";
inline constexpr char kSwitchGrayWin[] = "enable_screen_tool_gray_win";
inline constexpr char kSwitchScrollScreenshotWin[] = "enable_screen_tool_scroll_screenshot_win";
inline constexpr char kSwitchRecording0909[] = "enable_screen_tool_recording_0909";
inline constexpr char kSwitch1028[] = "enable_screen_tool_1028";
inline constexpr char kSwitchCommercialize[] = "enable_screen_tool_commercialize";
inline constexpr char kSwitchAiRecognize[] = "enable_ai_recognize";
inline constexpr char kSwitchExtension[] = "extension";

// The member of the dui-config document that holds the user's language.
inline constexpr char kDuiConfigLanguageKey[] = "lang";

// Appends the switches of QuilloSnippingTool.exe: every switch, always, with
// an empty value where the source is empty.
void AppendClassicSwitches(const SnippingToolConfig& config, uint32_t port,
                           base::CommandLine* command_line);

// Appends the switches of VizudeDezo.exe. Asks the host's theme manager for
// the theme.
void AppendVizudeDezoSwitches(const SnippingToolConfig& config, uint32_t port,
                              base::CommandLine* command_line);

// {"<key>":true|false,...} in ascending key order, keys in decimal.
std::string FeaturesToJson(const std::map<int32_t, bool>& features);

// {"<key>":"<value>",...} in the map's key order.
std::string ExtrasToJson(const std::map<std::string, std::string>& extras);

}  // namespace snipping_tool

#endif  // IPC_IPC_SERVER_LAUNCH_SWITCHES_H_
