// The parts of the reference tool that tests observe through POSIX: the
// rendezvous directory, and processes that are not our children.
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/tools/tool_harness.h"

namespace reference_tool_test {
namespace {

constexpr char kHandshake[] = "snipping_tool_agent.snipping.handshake";
constexpr char kWndHide[] = "snipping_tool.snipping.on_select_user_wnd_hide";

// True while |pid| runs; a zombie nobody reaps yet counts as ended.
bool IsRunning(long pid) {
  if (kill(static_cast<pid_t>(pid), 0) != 0)
    return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const size_t paren = text.rfind(')');
  return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] != 'Z';
}

bool WaitUntilEnded(long pid) {
  const auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
  while (IsRunning(pid)) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::vector<std::pair<std::string, std::string>> VizudeDezoSwitches(const std::string& script) {
  return {{"user_id", "7"},
          {"version", "1.0"},
          {"local_language", "en"},
          {"app_data_path", "/tmp"},
          {"app_theme", "light"},
          {"enable_screen_tool_gray_win", "false"},
          {"enable_screen_tool_scroll_screenshot_win", "false"},
          {"enable_screen_tool_recording_0909", "false"},
          {"enable_screen_tool_1028", "false"},
          {"enable_screen_tool_commercialize", "false"},
          {"enable_ai_recognize", "true"},
          {"extension", ExtrasSwitchValue({{"reference_tool_script", script}})}};
}

TEST(ReferenceToolIpcPosixTest, VizudeDezoWithoutAPortFindsTheAgentByIdentity) {
  // A rendezvous directory of this test's own, so that agents of other
  // tests running at the same time are not found instead.
  const std::string runtime_dir = MakeTestDirectory("identity");
  ASSERT_EQ(chmod(runtime_dir.c_str(), 0700), 0);
  setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), 1);
  const std::string trace = runtime_dir + "/tool.trace";
  AgentEnd agent("{5B1C7E24-0D3A-4F68-9C27-3E8B1A6D4F90}");
  ASSERT_TRUE(agent.Start());
  base::Process tool = LaunchTool(ToolPath(true),
                                  VizudeDezoSwitches(R"({"trace_file":")" + trace + R"("})"),
                                  {{"QUILLO_IPC_PEER_SECRET", agent.secret()},
                                   {"XDG_RUNTIME_DIR", runtime_dir},
                                   {"DISPLAY", ""}});
  ASSERT_TRUE(agent.WaitForRequests(kHandshake, 1));
  agent.InvokeAndWait(kWndHide, R"({"exit_screen_tool":true})");
  EXPECT_EQ(WaitForExit(tool), 0);
  bool by_identity = false;
  for (const auto& line : ReadTrace(trace)) {
    if (line.size() == 4 && line[1] == "connect")
      by_identity = line[2] == "identity" && line[3] == "{5B1C7E24-0D3A-4F68-9C27-3E8B1A6D4F90}";
  }
  EXPECT_TRUE(by_identity);
  agent.Stop();
  std::filesystem::remove_all(runtime_dir);
}

TEST(ReferenceToolIpcPosixTest, GrandchildOutlivesTheToolUntilItsTimeIsUp) {
  // The sleeper must not die with the tool by itself: tests of the agent
  // rely on its death to show that the agent tore the tree down.
  const std::string dir = MakeTestDirectory("grandchild");
  const std::string trace = dir + "/tool.trace";
  AgentEnd agent("");
  ASSERT_TRUE(agent.Start());
  const std::string script = R"({"trace_file":")" + trace +
                             R"(","steps":[{"at":"after_handshake","do":"spawn_grandchild","ms":800},
                                 {"at":"after_handshake","do":"handshake"}]})";
  std::vector<std::pair<std::string, std::string>> switches = VizudeDezoSwitches(script);
  switches.insert(switches.begin(), {"channel-port", std::to_string(agent.port())});
  base::Process tool = LaunchTool(ToolPath(true), switches,
                                  {{"QUILLO_IPC_PEER_SECRET", agent.secret()}, {"DISPLAY", ""}});
  // The second handshake is sent after the sleeper was started.
  ASSERT_TRUE(agent.WaitForRequests(kHandshake, 2));
  long pid = -1;
  for (const auto& line : ReadTrace(trace)) {
    if (line.size() == 4 && line[1] == "grandchild")
      pid = std::stol(line[2]);
  }
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(IsRunning(pid));
  tool.Terminate(0, true);
  EXPECT_TRUE(IsRunning(pid)) << "the sleeper died with the tool on its own";
  EXPECT_TRUE(WaitUntilEnded(pid)) << "the sleeper outlived its time";
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace reference_tool_test
