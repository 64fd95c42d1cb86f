#include "ipc/ipc_server/launch_switches.h"

#include <memory>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "platform/base64.h"
#include "platform/file_path.h"
#include "platform/json_reader.h"
#include "platform/service_manager.h"
#include "platform/string_number_conversions.h"

namespace snipping_tool {
namespace {

const char* BoolText(bool value) {
  return value ? "true" : "false";
}

std::string Base64Of(const std::string& text) {
  std::string encoded;
  kvbase::Base64EncodeWrapper(text, &encoded);
  return encoded;
}

std::string Write(const rapidjson::Document& document) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  document.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string PortText(uint32_t port) {
  return base::IntToString(static_cast<int>(port));
}

}  // namespace

std::string FeaturesToJson(const std::map<int32_t, bool>& features) {
  rapidjson::Document document(rapidjson::kObjectType);
  rapidjson::Document::AllocatorType& allocator = document.GetAllocator();
  for (const auto& [key, enabled] : features) {
    rapidjson::Value name(base::IntToString(key), allocator);
    document.AddMember(name, rapidjson::Value(enabled), allocator);
  }
  return Write(document);
}

std::string ExtrasToJson(const std::map<std::string, std::string>& extras) {
  rapidjson::Document document(rapidjson::kObjectType);
  rapidjson::Document::AllocatorType& allocator = document.GetAllocator();
  for (const auto& [key, value] : extras) {
    rapidjson::Value name(key, allocator);
    rapidjson::Value text(value, allocator);
    document.AddMember(name, text, allocator);
  }
  return Write(document);
}

void AppendClassicSwitches(const SnippingToolConfig& config, uint32_t port,
                           base::CommandLine* command_line) {
  command_line->AppendSwitchASCII(kSwitchChannelPort, PortText(port));
  command_line->AppendSwitchASCII(kSwitchEnv, config.env);
  command_line->AppendSwitchASCII(kSwitchUserIdClassic, base::Int64ToString(config.user_id));
  command_line->AppendSwitchASCII(kSwitchVersion, config.version);
  command_line->AppendSwitchASCII(kSwitchDuiConfig, Base64Of(config.dui_config));
  command_line->AppendSwitchPath(kSwitchLogFile, base::FilePath::FromUTF8Unsafe(config.log_file));
  command_line->AppendSwitchASCII(kSwitchSnippingConfig, Base64Of(config.snipping_config));
  command_line->AppendSwitchASCII(kSwitchSnippingFeatures,
                                  Base64Of(FeaturesToJson(config.features)));
  command_line->AppendSwitchASCII(kSwitchSnippingExtras, Base64Of(ExtrasToJson(config.extras)));
}

void AppendVizudeDezoSwitches(const SnippingToolConfig& config, uint32_t port,
                              base::CommandLine* command_line) {
  if (config.pass_channel_port)
    command_line->AppendSwitchASCII(kSwitchChannelPort, PortText(port));
  command_line->AppendSwitchASCII(kSwitchUserIdVizudeDezo, base::Int64ToString(config.user_id));
  command_line->AppendSwitchASCII(kSwitchVersion, config.version);

  // Present whenever dui-config is an object, empty when it has no text
  // member "lang": the tool then falls back to its own default language.
  std::unique_ptr<base::DictionaryValue> dui_config =
      base::DictionaryValue::From(base::JSONReader::Read(config.dui_config));
  if (dui_config) {
    std::string language;
    dui_config->GetString(kDuiConfigLanguageKey, &language);
    command_line->AppendSwitchASCII(kSwitchLocalLanguage, language);
  }

  // The log file lies two levels below the host's data directory
  // (<app data>/logs/<file>).
  const base::FilePath app_data_path =
      base::FilePath::FromUTF8Unsafe(config.log_file).DirName().DirName();
  command_line->AppendSwitchPath(kSwitchAppDataPath, app_data_path);
  command_line->AppendSwitchASCII(kSwitchAppTheme, kvbase::GetAppTheme());

  command_line->AppendSwitchASCII(kSwitchGrayWin, BoolText(config.enable_screen_tool_gray_win));
  command_line->AppendSwitchASCII(kSwitchScrollScreenshotWin,
                                  BoolText(config.enable_screen_tool_scroll_screenshot_win));
  command_line->AppendSwitchASCII(kSwitchRecording0909,
                                  BoolText(config.enable_screen_tool_recording_0909));
  command_line->AppendSwitchASCII(kSwitch1028, BoolText(config.enable_screen_tool_1028));
  command_line->AppendSwitchASCII(kSwitchCommercialize,
                                  BoolText(config.enable_screen_tool_commercialize));
  command_line->AppendSwitchASCII(kSwitchAiRecognize, BoolText(config.enable_ai_recognize));
  command_line->AppendSwitchASCII(kSwitchExtension, Base64Of(ExtrasToJson(config.extras)));
}

}  // namespace snipping_tool
