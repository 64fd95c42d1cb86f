// Records exchanged with the snipping tool that the host sees.
#ifndef SNIPPING_TOOL_SNIPPING_TOOL_PAYLOADS_H_
#define SNIPPING_TOOL_SNIPPING_TOOL_PAYLOADS_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace snipping_tool {

struct AISkill {
  std::string name;
  std::string skillData;
  std::string iconBitmapData;
};

struct AIAgentInfo {
  std::string name;
  std::string agentCode;
  std::string iconBitmapData;
};

// The screen-AI offer the host makes with a shot.
struct AIScreenShotRequest {
  std::vector<AISkill> skills;
  AIAgentInfo agentInfo;
};

// The shot request sent to the tool.
struct RequestSnippingShot {
  std::string image_save_path;
  int32_t screen_shot_type = 0;
  bool is_dark_theme = false;
  std::map<std::string, bool> grays;
  int32_t vip_status = 0;
  AIScreenShotRequest ai_screen_shot_request;
};

// The tool's result of a shot.
struct NotifySnippingShot {
  std::string image_file_path;
  int32_t snipping_event = 0;  // the tool's event code, uninterpreted
  std::string ai_skill_data;
  int32_t pos_x = 0;
  int32_t pos_y = 0;
};

// A screen-AI request of the tool.
struct RequestAISnippingShot {
  int32_t seq_id = 0;
  int32_t ai_type = -1;
  std::string text;
  std::string src_lan;
  std::string dest_lan;
  std::string image_type;
  std::string image_save_path;
};

// The host's answer to a screen-AI request; seq_id and ai_type are copied
// from the request.
struct ResponseAISnippingShot {
  bool succ = false;
  int32_t seq_id = 0;
  int32_t ai_type = 0;
  std::string data;
  std::string dest_lan;
  std::string image_type;
  std::string image_save_path;
};

// The tool asks the host to show its select-user window.
struct SelectUserWndSnippingShot {
  int64_t parent_wnd = -1;  // the tool's native window handle
  std::string file_path;
  int32_t file_type = -1;
};

// The host tells the tool that the select-user window is hidden.
struct SelectUserWndHideSnippingShot {
  bool exit_screen_tool = false;
};

}  // namespace snipping_tool

#endif  // SNIPPING_TOOL_SNIPPING_TOOL_PAYLOADS_H_
