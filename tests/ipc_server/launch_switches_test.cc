#include "ipc/ipc_server/launch_switches.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/service_manager.h"
#include "tests/support/fake_service_manager.h"
#include "tests/support/test_text.h"

namespace snipping_tool {
namespace {

constexpr uint32_t kPort = 51234;

using test_support::DecodeBase64;

std::vector<std::string> Args(const base::CommandLine& line) {
  std::vector<std::string> args;
  for (size_t i = 1; i < line.argv().size(); ++i)
    args.push_back(base::FilePath(line.argv()[i]).AsUTF8Unsafe());
  return args;
}

// The switch names in order: "--name" and "--name=value" give "name".
std::vector<std::string> NamesOf(const base::CommandLine& line) {
  std::vector<std::string> names;
  for (const std::string& arg : Args(line)) {
    EXPECT_EQ(arg.rfind("--", 0), 0u) << arg;
    names.push_back(arg.substr(2, std::min(arg.find('='), arg.size()) - 2));
  }
  return names;
}

// The value of switch |name|: "" for a bare "--name".
std::string ValueOf(const base::CommandLine& line, const std::string& name) {
  for (const std::string& arg : Args(line)) {
    if (arg == "--" + name || arg.rfind("--" + name + "=", 0) == 0)
      return arg.substr(std::min(name.size() + 3, arg.size()));
  }
  ADD_FAILURE() << "no switch " << name;
  return "";
}

base::CommandLine ToolLine() {
  return base::CommandLine(base::FilePath::FromUTF8Unsafe("/opt/tool/QuilloSnippingTool.exe"));
}

// Empty values are bare switch names; the documents are Base64.
TEST(ClassicSwitchesTest, EverySwitchInOrderWithItsValue) {
  base::CommandLine line = ToolLine();
  AppendClassicSwitches(SnippingToolConfig(), kPort, &line);
  EXPECT_EQ(Args(line),
            (std::vector<std::string>{"--channel-port=51234", "--env", "--user-id=0", "--version",
                                      "--dui-config", "--log-file", "--snipping-config",
                                      "--snipping-features=e30=", "--snipping-extras=e30="}));

  SnippingToolConfig config;
  config.env = "pre release";
  config.user_id = -9007199254740993LL;
  config.version = "5.2.1 \"beta\"";
  config.dui_config = R"({"lang":"de-DE"})";
  config.log_file = "/home/u/app data/logs/agent.log";
  config.snipping_config = "{\"k\":1}";
  // Features by ascending number, not text.
  config.features = {{3, true}, {2147483647, true}, {-2147483647 - 1, false}};
  config.extras = {{"timeout_config", R"({"IPCInvokeTimeout":5000})"}, {"a", "b"}};
  line = ToolLine();
  AppendClassicSwitches(config, kPort, &line);
  EXPECT_EQ(ValueOf(line, "env"), config.env);
  EXPECT_EQ(ValueOf(line, "user-id"), "-9007199254740993");
  EXPECT_EQ(ValueOf(line, "version"), config.version);
  EXPECT_EQ(DecodeBase64(ValueOf(line, "dui-config")), config.dui_config);
  EXPECT_EQ(ValueOf(line, "log-file"), config.log_file);
  EXPECT_EQ(DecodeBase64(ValueOf(line, "snipping-config")), config.snipping_config);
  EXPECT_EQ(DecodeBase64(ValueOf(line, "snipping-features")),
            R"({"-2147483648":false,"3":true,"2147483647":true})");
  EXPECT_EQ(DecodeBase64(ValueOf(line, "snipping-extras")),
            R"({"a":"b","timeout_config":"{\"IPCInvokeTimeout\":5000}"})");
}

class VizudeDezoSwitchesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    kvbase::ServiceManagerHolder::GetInstance()->SetServiceManager(nullptr);
  }

  base::CommandLine Build(const SnippingToolConfig& config) {
    base::CommandLine line = ToolLine();
    AppendVizudeDezoSwitches(config, kPort, &line);
    return line;
  }
};

TEST_F(VizudeDezoSwitchesTest, EachFlagFeedsItsOwnSwitch) {
  const std::vector<std::pair<bool SnippingToolConfig::*, std::string>> flags = {
      {&SnippingToolConfig::enable_screen_tool_gray_win, "enable_screen_tool_gray_win"},
      {&SnippingToolConfig::enable_screen_tool_recording_0909,
       "enable_screen_tool_recording_0909"},
      {&SnippingToolConfig::enable_screen_tool_scroll_screenshot_win,
       "enable_screen_tool_scroll_screenshot_win"},
      {&SnippingToolConfig::enable_screen_tool_commercialize,
       "enable_screen_tool_commercialize"},
      {&SnippingToolConfig::enable_screen_tool_1028, "enable_screen_tool_1028"},
      {&SnippingToolConfig::enable_ai_recognize, "enable_ai_recognize"},
  };
  for (const auto& [flag, name] : flags) {
    SnippingToolConfig config;
    config.*flag = true;
    const base::CommandLine line = Build(config);
    for (const auto& [other_flag, other_name] : flags)
      EXPECT_EQ(ValueOf(line, other_name), other_name == name ? "true" : "false") << name;
  }
}

// The classic tool's env, snipping-config and features are not passed; the
// channel port, when it is, comes first.
TEST_F(VizudeDezoSwitchesTest, FullRecordInOrder) {
  const std::vector<std::string> names = {
      "user_id", "version", "local_language", "app_data_path", "app_theme",
      "enable_screen_tool_gray_win", "enable_screen_tool_scroll_screenshot_win",
      "enable_screen_tool_recording_0909", "enable_screen_tool_1028",
      "enable_screen_tool_commercialize", "enable_ai_recognize", "extension"};
  SnippingToolConfig config;
  config.dui_config = "{}";
  EXPECT_EQ(NamesOf(Build(config)), names);

  config.pass_channel_port = true;
  config.user_id = 1234567890123LL;
  config.version = "7.0";
  config.env = "must not appear";
  config.snipping_config = "must not appear";
  config.features = {{1, true}};
  config.log_file = "/a/b/c.log";
  config.extras = {{"timeout_config", R"({"IPCPreparePortTimeout":3000})"}};
  const base::CommandLine line = Build(config);
  std::vector<std::string> with_port = {"channel-port"};
  with_port.insert(with_port.end(), names.begin(), names.end());
  EXPECT_EQ(NamesOf(line), with_port);
  EXPECT_EQ(ValueOf(line, "channel-port"), std::to_string(kPort));
  EXPECT_EQ(ValueOf(line, "user_id"), "1234567890123");
  EXPECT_EQ(ValueOf(line, "version"), "7.0");
  EXPECT_EQ(ValueOf(line, "app_data_path"), "/a");
  EXPECT_EQ(DecodeBase64(ValueOf(line, "extension")),
            R"({"timeout_config":"{\"IPCPreparePortTimeout\":3000}"})");
}

// Present whenever dui-config is an object, bare unless it has a text "lang".
TEST_F(VizudeDezoSwitchesTest, LocalLanguageFromDuiConfig) {
  const std::pair<std::string, const char*> cases[] = {
      {R"({"lang":"ja-JP","x":1})", "--local_language=ja-JP"},
      {R"({"lang":"en","lang":"de"})", "--local_language=en"},  // the first of a repeated key
      {R"({"theme":"x","Lang":"de"})", "--local_language"},
      {R"({"lang":7})", "--local_language"},
      {"", ""},
      {"{\"lang\":", ""},  // malformed
      {R"({"lang":"en"} x)", ""},
      {R"(["lang"])", ""},
  };
  for (const auto& [dui_config, expected] : cases) {
    SnippingToolConfig config;
    config.dui_config = dui_config;
    std::string found;
    for (const std::string& arg : Args(Build(config))) {
      if (arg.rfind("--local_language", 0) == 0)
        found = arg;
    }
    EXPECT_EQ(found, expected) << dui_config;
  }
}

TEST_F(VizudeDezoSwitchesTest, ThemeIsDarkOnlyWhenTheHostSaysOne) {
  EXPECT_EQ(ValueOf(Build(SnippingToolConfig()), "app_theme"), "light");
  auto manager = std::make_shared<test_support::FakeServiceManager>();
  auto themes = std::make_shared<test_support::FakeThemeManager>();
  manager->AddInterface("class biz::IThemeManager", "class biz::IThemeManager", themes);
  kvbase::ServiceManagerHolder::GetInstance()->SetServiceManager(manager);
  themes->set_theme(1);
  EXPECT_EQ(ValueOf(Build(SnippingToolConfig()), "app_theme"), "dark");
}

}  // namespace
}  // namespace snipping_tool
