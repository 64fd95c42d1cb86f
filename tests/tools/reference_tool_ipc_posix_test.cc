// The reference tool's behaviour that exists on POSIX only: a capture with
// no X display.
#include <string>

#include <gtest/gtest.h>

#include "tests/tools/tool_harness.h"

namespace reference_tool_test {
namespace {

TEST(ReferenceToolIpcPosixTest, ReportsACaptureWithoutADisplayAsFailed) {
  TempDir dir;
  const std::string trace = dir.File("tool.trace");
  AgentEnd agent("");
  ASSERT_TRUE(agent.Start());
  // An empty DISPLAY: the capture must fail whatever display the test has.
  base::Process tool = LaunchClassic(agent, R"({"trace_file":")" + JsonEscape(trace) + R"("})",
                                     {{"DISPLAY", ""}});
  ASSERT_TRUE(agent.WaitForRequests(kHandshake, 1));
  // The path is one the tool could write to: only the capture fails.
  const std::string path = dir.File("shot.png");
  EXPECT_EQ(agent.InvokeAndWait(kShot, R"({"image_save_path":")" + JsonEscape(path) + R"("})"),
            "reply {}");
  ASSERT_TRUE(agent.WaitForRequests(kNotify, 1));
  EXPECT_EQ(PayloadsOf(agent, kNotify), std::vector<std::string>{NoFileResult(2)});
  EXPECT_FALSE(PathExists(path)) << "no capture, yet a file";
  agent.InvokeAndWait(kWndHide, R"({"exit_screen_tool":true})");
  EXPECT_EQ(WaitForExit(tool), 0);
  bool capture_failed = false;
  for (const auto& line : ReadTrace(trace))
    capture_failed |= line.size() == 4 && line[1] == "capture_failed";
  EXPECT_TRUE(capture_failed) << "the trace does not tell that the capture failed";
}

}  // namespace
}  // namespace reference_tool_test
