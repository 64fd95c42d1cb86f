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

// The switches of |line| as {name, value} ("--name" gives {name, ""}), UTF-8.
std::vector<std::pair<std::string, std::string>> SwitchesOf(const base::CommandLine& line) {
  std::vector<std::pair<std::string, std::string>> result;
  for (size_t i = 1; i < line.argv().size(); ++i) {
    const std::string arg = base::FilePath(line.argv()[i]).AsUTF8Unsafe();
    EXPECT_EQ(arg.rfind("--", 0), 0u) << arg;
    const size_t equals = arg.find('=');
    result.emplace_back(arg.substr(2, equals == std::string::npos ? equals : equals - 2),
                        equals == std::string::npos ? "" : arg.substr(equals + 1));
  }
  return result;
}

// A bare switch: "--name" with no '=' at all.
bool HasBareSwitch(const base::CommandLine& line, const std::string& name) {
  for (const base::CommandLine::StringType& arg : line.argv()) {
    if (base::FilePath(arg).AsUTF8Unsafe() == "--" + name)
      return true;
  }
  return false;
}

std::vector<std::string> NamesOf(const base::CommandLine& line) {
  std::vector<std::string> names;
  for (const auto& entry : SwitchesOf(line))
    names.push_back(entry.first);
  return names;
}

std::string ValueOf(const base::CommandLine& line, const std::string& name) {
  for (const auto& entry : SwitchesOf(line)) {
    if (entry.first == name)
      return entry.second;
  }
  ADD_FAILURE() << "no switch " << name;
  return "";
}

base::CommandLine ToolLine() {
  return base::CommandLine(base::FilePath::FromUTF8Unsafe("/opt/tool/QuilloSnippingTool.exe"));
}

TEST(DocumentTest, FeaturesInAscendingKeyOrderWithBoolValues) {
  EXPECT_EQ(FeaturesToJson({}), "{}");
  EXPECT_EQ(FeaturesToJson({{3, true}, {-1, false}}), R"({"-1":false,"3":true})");
  EXPECT_EQ(FeaturesToJson({{2147483647, true}, {-2147483647 - 1, true}}),
            R"({"-2147483648":true,"2147483647":true})");
}

TEST(ClassicSwitchesTest, DefaultRecordHasEverySwitchInOrder) {
  base::CommandLine line = ToolLine();
  AppendClassicSwitches(SnippingToolConfig(), kPort, &line);
  EXPECT_EQ(NamesOf(line),
            (std::vector<std::string>{"channel-port", "env", "user-id", "version", "dui-config",
                                      "log-file", "snipping-config", "snipping-features",
                                      "snipping-extras"}));
  // Empty values are bare switch names.
  for (const char* bare : {"env", "version", "dui-config", "log-file", "snipping-config"}) {
    EXPECT_TRUE(HasBareSwitch(line, bare)) << bare;
  }
  EXPECT_EQ(ValueOf(line, "channel-port"), std::to_string(kPort));
  EXPECT_EQ(ValueOf(line, "user-id"), "0");
  EXPECT_EQ(DecodeBase64(ValueOf(line, "snipping-features")), "{}");
  EXPECT_EQ(DecodeBase64(ValueOf(line, "snipping-extras")), "{}");
}

TEST(ClassicSwitchesTest, ValuesOfAFullRecord) {
  SnippingToolConfig config;
  config.env = "pre release";
  config.user_id = -9007199254740993LL;
  config.version = "5.2.1 \"beta\"";
  config.dui_config = R"({"lang":"de-DE"})";
  config.log_file = "/home/u/app data/logs/agent.log";
  config.snipping_config = "{\"k\":1}";
  config.features = {{3, true}, {-1, false}};
  config.extras = {{"timeout_config", R"({"IPCInvokeTimeout":5000})"}, {"a", "b"}};
  base::CommandLine line = ToolLine();
  AppendClassicSwitches(config, kPort, &line);

  EXPECT_EQ(ValueOf(line, "env"), config.env);
  EXPECT_EQ(ValueOf(line, "user-id"), "-9007199254740993");
  EXPECT_EQ(ValueOf(line, "version"), config.version);
  EXPECT_EQ(DecodeBase64(ValueOf(line, "dui-config")), config.dui_config);
  EXPECT_EQ(ValueOf(line, "log-file"), config.log_file);
  EXPECT_EQ(DecodeBase64(ValueOf(line, "snipping-config")), config.snipping_config);
  EXPECT_EQ(DecodeBase64(ValueOf(line, "snipping-features")), R"({"-1":false,"3":true})");
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

  std::shared_ptr<test_support::FakeThemeManager> InstallThemeManager() {
    auto manager = std::make_shared<test_support::FakeServiceManager>();
    auto themes = std::make_shared<test_support::FakeThemeManager>();
    manager->AddInterface("class biz::IThemeManager", "class biz::IThemeManager", themes);
    kvbase::ServiceManagerHolder::GetInstance()->SetServiceManager(manager);
    return themes;
  }
};

TEST_F(VizudeDezoSwitchesTest, OrderWithAndWithoutChannelPort) {
  SnippingToolConfig config;
  config.dui_config = "{}";
  const std::vector<std::string> rest = {
      "user_id", "version", "local_language", "app_data_path", "app_theme",
      "enable_screen_tool_gray_win", "enable_screen_tool_scroll_screenshot_win",
      "enable_screen_tool_recording_0909", "enable_screen_tool_1028",
      "enable_screen_tool_commercialize", "enable_ai_recognize", "extension"};
  EXPECT_EQ(NamesOf(Build(config)), rest);

  config.pass_channel_port = true;
  std::vector<std::string> with_port = {"channel-port"};
  with_port.insert(with_port.end(), rest.begin(), rest.end());
  const base::CommandLine line = Build(config);
  EXPECT_EQ(NamesOf(line), with_port);
  EXPECT_EQ(ValueOf(line, "channel-port"), std::to_string(kPort));
}

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

TEST_F(VizudeDezoSwitchesTest, IdentityPathsAndExtension) {
  SnippingToolConfig config;
  config.user_id = 1234567890123LL;
  config.version = "7.0";
  config.env = "must not appear";
  config.snipping_config = "must not appear";
  config.features = {{1, true}};
  config.log_file = "/a/b/c.log";
  config.extras = {{"timeout_config", R"({"IPCPreparePortTimeout":3000})"}};
  const base::CommandLine line = Build(config);
  EXPECT_EQ(ValueOf(line, "user_id"), "1234567890123");
  EXPECT_EQ(ValueOf(line, "version"), "7.0");
  EXPECT_EQ(ValueOf(line, "app_data_path"), "/a");
  EXPECT_EQ(DecodeBase64(ValueOf(line, "extension")),
            R"({"timeout_config":"{\"IPCPreparePortTimeout\":3000}"})");
  for (const std::string& name : NamesOf(line)) {
    EXPECT_NE(name, "env");
    EXPECT_NE(name, "snipping-config");
    EXPECT_NE(name, "snipping-features");
  }
}

TEST_F(VizudeDezoSwitchesTest, LocalLanguageFromDuiConfig) {
  struct Case {
    std::string dui_config;
    bool present;
    std::string value;
  };
  const std::vector<Case> cases = {
      {R"({"lang":"ja-JP","x":1})", true, "ja-JP"},
      {R"({"theme":"x"})", true, ""},    // object without "lang": bare switch
      {R"({"lang":7})", true, ""},       // "lang" not text
      {"", false, ""},                   // empty
      {"{\"lang\":", false, ""},         // malformed
      {R"(["lang"])", false, ""},        // not an object
      {R"({"lang":"x"} extra)", false, ""},
  };
  for (const Case& c : cases) {
    SnippingToolConfig config;
    config.dui_config = c.dui_config;
    const base::CommandLine line = Build(config);
    const std::vector<std::string> names = NamesOf(line);
    const bool present =
        std::find(names.begin(), names.end(), "local_language") != names.end();
    EXPECT_EQ(present, c.present) << c.dui_config;
    if (present && c.present) {
      EXPECT_EQ(ValueOf(line, "local_language"), c.value) << c.dui_config;
    }
  }
  SnippingToolConfig bare;
  bare.dui_config = "{}";
  const base::CommandLine line = Build(bare);
  EXPECT_TRUE(HasBareSwitch(line, "local_language"));
}

TEST_F(VizudeDezoSwitchesTest, ThemeIsDarkOnlyWhenTheHostSaysOne) {
  EXPECT_EQ(ValueOf(Build(SnippingToolConfig()), "app_theme"), "light");
  InstallThemeManager()->set_theme(1);
  EXPECT_EQ(ValueOf(Build(SnippingToolConfig()), "app_theme"), "dark");
}

}  // namespace
}  // namespace snipping_tool
