// The demo host run for real: the agent library it loads, the reference
// tool the agent starts, and what the demo prints and answers.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_os.h"
#include "tests/support/test_text.h"
#include "tests/tools/tool_test_os.h"

namespace reference_tool_test {
namespace {

using test_os::TempDir;
using test_support::JsonEscape;
using test_support::ReadFile;

// The demo waits up to 20 s for a shot's outcome by default.
constexpr std::chrono::milliseconds kDemoBound{60000};

struct DemoRun {
  int status = -1;
  std::string output;
};

// Runs the demo host with |arguments| to its end; its output goes to a file
// in |dir|.
DemoRun RunDemo(const TempDir& dir, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {test_os::JoinPath(
      test_os::ExecutableDir(), "snipping_demo_host" + test_os::ExecutableSuffix())};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const std::string output = dir.File("demo_output.txt");
  DemoRun run;
  test_os::ProgramRun demo;
  if (demo.Start(argv, output))
    run.status = demo.WaitForExit(kDemoBound);
  run.output = ReadFile(output);
  return run;
}

// |pieces| appear in |text| in this order.
::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& pieces) {
  size_t at = 0;
  for (const std::string& piece : pieces) {
    const size_t found = text.find(piece, at);
    if (found == std::string::npos)
      return ::testing::AssertionFailure() << "missing (or out of order): " << piece << "\n"
                                           << text;
    at = found + piece.size();
  }
  return ::testing::AssertionSuccess();
}

TEST(DemoHostTest, TakesARealShot) {
  const std::string no_screen = NoScreenReason();
  if (!no_screen.empty())
    GTEST_SKIP() << no_screen;
  TempDir dir;
  const std::string path = dir.File("shot.png");
  const DemoRun run = RunDemo(dir, {"--save-path", path, "--shots=2", "--linger-ms=0"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(InOrder(run.output, {"shot 1 of 2", "saved " + path, "shot 2 of 2",
                                   "saved " + dir.File("shot-2.png"), "host     Uninit"}));
  EXPECT_EQ(ReadFile(path).substr(0, 8), "\x89PNG\r\n\x1a\n");
}

TEST(DemoHostTest, ShowsEveryFlowAndAnswersTheToolsRequests) {
  TempDir dir;
  const std::string trace = dir.File("tool.trace");
  const std::string script = R"({"trace_file":")" + JsonEscape(trace) + R"(","steps":[
      {"at":"after_handshake","do":"record_started"},
      {"at":"after_handshake","do":"bilog","json":{"key":"k1"}},
      {"at":"after_handshake","do":"set_config","json":{"config_json":"{\"a\":1}"}},
      {"at":"after_handshake","do":"show_vip_wnd"},
      {"at":"after_handshake","do":"show_select_user_wnd","json":{"parent_wnd":77,"file_path":"f.png","file_type":1}},
      {"at":"after_handshake","do":"request_ai","json":{"seq_id":5,"ai_type":2,"text":"hello","dest_lan":"zh"}},
      {"at":"after_result","do":"record_finished"}]})";
  // A save path in no existing directory: the shot itself fails honestly,
  // the flows around it do not.
  const DemoRun run = RunDemo(dir, {"--save-path", UnsavableFile(dir, "x.png"), "--use-screen-tool",
                                    "--linger-ms=800", "--script", script});
  EXPECT_EQ(run.status, 5) << run.output;
  // The delegate is called on the runtime's thread in the order the tool
  // sent its requests; the recording notice reaches the host through the UI
  // thread, so it is only known to come before the end.
  EXPECT_TRUE(
      InOrder(run.output, {"Init use_screen_tool=1", "recording started", "host     Uninit"}));
  EXPECT_TRUE(InOrder(run.output, {"Init use_screen_tool=1", "ReportBIEvent key=\"k1\"",
                                   "ApplySnippingToolConfig config_json={\"a\":1}", "ShowVipWindow",
                                   "ShowSelectUserWindow parent_wnd=77 file_path=\"f.png\" file_type=1",
                                   "RequestAI seq_id=5 ai_type=2 text=\"hello\""}));
  const std::string event = std::to_string(UnsavableShotEvent());
  const std::string event_name = UnsavableShotEvent() == 3 ? "write failed" : "capture failed";
  EXPECT_TRUE(InOrder(run.output,
                      {"result image_file_path=\"\" snipping_event=" + event + " (" + event_name + ")",
                       "FAILED: no image (snipping_event " + event + ", " + event_name + ")",
                       "host     Uninit"}));
  // Sent right after the result: it races the demo's report of the result,
  // but not the end.
  EXPECT_TRUE(InOrder(run.output, {"recording finished", "host     Uninit"}));
  EXPECT_FALSE(PathExists(UnsavableFile(dir, "x.png")));

  // What the demo answered reached the tool through the agent.
  const auto lines = test_support::ReadTrace(trace);
  auto received = [&](const std::string& method, const std::string& payload) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::vector<std::string>& line) {
      return line.size() == 4 && line[1] == "recv" && line[2] == method && line[3] == payload;
    });
  };
  EXPECT_TRUE(received("snipping_tool.snipping.response_ai",
                       R"({"succ":true,"seq_id":5,"ai_type":2,"data":"canned answer to \"hello\"",)"
                       R"("dest_lan":"zh","image_type":"","image_save_path":""})"));
  EXPECT_TRUE(received("snipping_tool.snipping.on_select_user_wnd_hide",
                       R"({"exit_screen_tool":false})"));
}

TEST(DemoHostTest, RefusesAMissingLibrary) {
  TempDir dir;
  const DemoRun run = RunDemo(dir, {"--library", dir.File("missing_agent_library")});
  EXPECT_EQ(run.status, 3) << run.output;
  EXPECT_NE(run.output.find("cannot load the agent"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace reference_tool_test
