#include "tools/demo_host/demo_options.h"

#include <gtest/gtest.h>

namespace demo_host {
namespace {

// Documents pass through unread, malformed or not: the demo exists to show
// how the agent and the tool take bad input.
TEST(DemoOptionsTest, ReadsBothValueFormsAndFlags) {
  DemoOptions options;
  std::string error;
  ASSERT_TRUE(ParseDemoOptions({"--save-path", "/tmp/a b.png", "--shots=3", "--use-screen-tool",
                                "--script={\"steps\":", "--timeout-config", "{\"x\":1}",
                                "--pass-channel-port", "--wait-ms=100", "--linger-ms", "0"},
                               &options, &error))
      << error;
  EXPECT_EQ(options.save_path, "/tmp/a b.png");
  EXPECT_EQ(options.shots, 3);
  EXPECT_TRUE(options.use_screen_tool);
  EXPECT_TRUE(options.pass_channel_port);
  EXPECT_EQ(options.script, "{\"steps\":");
  EXPECT_EQ(options.timeout_config, "{\"x\":1}");
  EXPECT_EQ(options.wait_ms, 100);
  EXPECT_EQ(options.linger_ms, 0);
  ASSERT_TRUE(ParseDemoOptions({"--timeout-config="}, &options, &error)) << error;
  EXPECT_EQ(options.timeout_config, "");
}

TEST(DemoOptionsTest, RefusesWhatItCannotRead) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"shot.png"}, "not an option"},
      {{"--shot=2"}, "unknown option: --shot"},
      {{"--shots=0"}, "--shots must be a number from 1 to 100"},
      {{"--shots=101"}, "--shots must be"},
      {{"--shots=-1"}, "--shots must be"},
      {{"--shots=2x"}, "--shots must be"},
      {{"--wait-ms=99"}, "--wait-ms must be"},
      {{"--shots"}, "--shots needs a value"},
      {{"--use-screen-tool=1"}, "takes no value"},
      {{"--save-path="}, "--save-path needs a path"},
  };
  for (const auto& [args, fragment] : cases) {
    DemoOptions options;
    options.shots = 42;
    std::string error;
    EXPECT_FALSE(ParseDemoOptions(args, &options, &error)) << args[0];
    EXPECT_NE(error.find(fragment), std::string::npos) << args[0] << " gave: " << error;
    EXPECT_EQ(options.shots, 42);
  }
}

TEST(DemoOptionsTest, NumbersLaterShotsBeforeTheExtension) {
  EXPECT_EQ(ShotPath("/tmp/shot.png", 1), "/tmp/shot.png");
  EXPECT_EQ(ShotPath("/tmp/shot.png", 2), "/tmp/shot-2.png");
  EXPECT_EQ(ShotPath("/tmp/a.b/shot", 12), "/tmp/a.b/shot-12");
  EXPECT_EQ(ShotPath("C:\\x.y\\shot.png", 3), "C:\\x.y\\shot-3.png");
  EXPECT_EQ(ShotPath("/tmp/.png", 2), "/tmp/.png-2");
}

}  // namespace
}  // namespace demo_host
