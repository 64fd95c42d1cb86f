#include "tools/reference_tool/switches.h"

#include <gtest/gtest.h>

namespace reference_tool {
namespace {

// Each flavour's numbers, their extremes, and everything after the first
// "=" kept as the value.
TEST(SwitchesTest, ReadsNumbersAndValuesOfBothFlavours) {
  const struct {
    Flavour flavour;
    std::vector<std::string> args;
    int port;
    int64_t user_id;
    int sleep_ms;
  } cases[] = {
      {Flavour::kClassic, {"--channel-port=65535", "--user-id=-9223372036854775808"}, 65535,
       INT64_MIN, -1},
      {Flavour::kVizudeDezo, {"--channel-port=1", "--user_id=9223372036854775807"}, 1, INT64_MAX,
       -1},
      {Flavour::kClassic, {"--reference-tool-sleep-ms=250"}, 0, 0, 250},
      {Flavour::kVizudeDezo, {"--reference-tool-sleep-ms=250"}, 0, 0, 250},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.args[0]);
    ToolOptions options;
    std::string error;
    ASSERT_TRUE(ParseToolSwitches(k.flavour, k.args, &options, &error)) << error;
    EXPECT_EQ(options.port, k.port);
    EXPECT_EQ(options.user_id, k.user_id);
    EXPECT_EQ(options.sleep_ms, k.sleep_ms);
  }
  ToolOptions options;
  std::string error;
  ASSERT_TRUE(ParseToolSwitches(Flavour::kClassic, {"--version=a=b=", "--env="}, &options, &error))
      << error;
  EXPECT_EQ(options.switches[0].second, "a=b=");
  EXPECT_EQ(options.switches[1].second, "");
}

struct Refusal {
  Flavour flavour;
  std::vector<std::string> args;
  const char* reason_fragment;
};

TEST(SwitchesTest, RefusesWhatTheAgentMustNeverSend) {
  const Refusal refusals[] = {
      {Flavour::kClassic, {"positional"}, "not a switch"},
      {Flavour::kClassic, {"-env"}, "not a switch"},
      {Flavour::kClassic, {"--"}, "not a switch"},
      {Flavour::kClassic, {"--user_id=1"}, "unknown switch for QuilloSnippingTool: --user_id"},
      {Flavour::kVizudeDezo, {"--user-id=1"}, "unknown switch for VizudeDezo: --user-id"},
      {Flavour::kVizudeDezo, {"--snipping-extras=e30="}, "unknown switch"},
      {Flavour::kClassic, {"--env=a", "--env=b"}, "given twice: --env"},
      {Flavour::kClassic, {"--channel-port=0"}, "--channel-port is not a port"},
      {Flavour::kClassic, {"--channel-port=65536"}, "--channel-port is not a port"},
      {Flavour::kClassic, {"--channel-port=12a"}, "--channel-port is not a port"},
      {Flavour::kClassic, {"--channel-port"}, "--channel-port is not a port"},
      {Flavour::kClassic, {"--channel-port= 80"}, "--channel-port is not a port"},
      {Flavour::kClassic, {"--user-id=9223372036854775808"}, "--user-id is not a 64-bit"},
      {Flavour::kClassic, {"--user-id=-"}, "--user-id is not a 64-bit"},
      {Flavour::kVizudeDezo, {"--enable_ai_recognize=yes"}, "neither \"true\" nor \"false\""},
      {Flavour::kVizudeDezo, {"--enable_ai_recognize"}, "neither \"true\" nor \"false\""},
      {Flavour::kVizudeDezo, {"--app_theme=blue"}, "neither \"dark\" nor \"light\""},
      {Flavour::kClassic, {"--dui-config=e30"}, "--dui-config is not Base64"},
      // {"x":true}: a feature name that is no number.
      {Flavour::kClassic, {"--snipping-features=eyJ4Ijp0cnVlfQ=="}, "not a 32-bit decimal"},
      // {"a":1}: an extras value that is not a string.
      {Flavour::kClassic, {"--snipping-extras=eyJhIjoxfQ=="}, "not a string: a"},
      // ["x"]: not an object.
      {Flavour::kVizudeDezo, {"--extension=WyJ4Il0="}, "--extension is not a JSON object"},
      // not json
      {Flavour::kClassic, {"--snipping-features=bm90IGpzb24="}, "is not a JSON object"},
      {Flavour::kClassic, {"--reference-tool-sleep-ms=600001"}, "not a number of milliseconds"},
      {Flavour::kClassic, {"--reference-tool-sleep-ms=5", "--env"}, "takes no other switch"},
  };
  for (const Refusal& refusal : refusals) {
    ToolOptions options;
    options.port = 99;
    std::string error;
    EXPECT_FALSE(ParseToolSwitches(refusal.flavour, refusal.args, &options, &error))
        << refusal.args[0];
    EXPECT_NE(error.find(refusal.reason_fragment), std::string::npos)
        << refusal.args[0] << " gave: " << error;
    EXPECT_EQ(options.port, 99) << "a refused command line leaves the options alone";
  }
}

}  // namespace
}  // namespace reference_tool
