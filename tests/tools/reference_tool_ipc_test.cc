// The reference tool run for real against the agent's end of the IPC
// runtime: what it sends, what it answers, and when it ends.
#include <algorithm>
#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/support/test_os.h"
#include "tests/tools/tool_harness.h"
#include "tests/tools/tool_test_os.h"

namespace reference_tool_test {
namespace {

std::string ShotPayload(const std::string& path) {
  return "{\"image_save_path\":\"" + JsonEscape(path) +
         "\",\"screen_shot_type\":4,\"is_dark_theme\":false,\"grays\":{},\"vip_status\":0,"
         "\"ai_screen_shot_request\":{\"skills\":[],\"agentInfo\":{\"name\":\"\",\"agentCode\":"
         "\"\",\"iconBitmapData\":\"\"}}}";
}

TEST(ReferenceToolIpcTest, ReportsFailuresHonestlyAndExitsWhenTold) {
  TempDir dir;
  AgentEnd agent("");
  ASSERT_TRUE(agent.Start());
  base::Process tool = LaunchClassic(agent, "");
  ASSERT_TRUE(tool.IsValid());
  ASSERT_TRUE(agent.WaitForRequests(kHandshake, 1));
  EXPECT_EQ(PayloadsOf(agent, kHandshake), std::vector<std::string>{"{}"});

  // A request without a path is answered, then reported as unreadable.
  EXPECT_EQ(agent.InvokeAndWait(kShot, "[]"), "reply {}");
  ASSERT_TRUE(agent.WaitForRequests(kNotify, 1));
  // A shot that cannot be saved where it was asked for is reported as
  // failed, and no file is claimed.
  const std::string path = UnsavableFile(dir, "shot.png");
  EXPECT_EQ(agent.InvokeAndWait(kShot, ShotPayload(path)), "reply {}");
  ASSERT_TRUE(agent.WaitForRequests(kNotify, 2));
  EXPECT_EQ(PayloadsOf(agent, kNotify),
            (std::vector<std::string>{NoFileResult(4), NoFileResult(UnsavableShotEvent())}));
  EXPECT_FALSE(PathExists(path));

  EXPECT_EQ(agent.InvokeAndWait(kWndHide, R"({"exit_screen_tool":false})"), "reply {}");
  EXPECT_EQ(agent.InvokeAndWait(kWndHide, "not json"), "reply {}");
  EXPECT_FALSE(tool.HasExited()) << "only exit_screen_tool true ends the tool";
  agent.InvokeAndWait(kWndHide, R"({"exit_screen_tool":true})");
  EXPECT_EQ(WaitForExit(tool), 0);
}

TEST(ReferenceToolIpcTest, ExitsWhenTheAgentGoesAway) {
  AgentEnd agent("");
  ASSERT_TRUE(agent.Start());
  base::Process tool = LaunchClassic(agent, "");
  ASSERT_TRUE(agent.WaitForRequests(kHandshake, 1));
  agent.Stop();
  EXPECT_EQ(WaitForExit(tool), 3);
}

TEST(ReferenceToolIpcTest, GivesUpWhenItsSecretIsRefused) {
  AgentEnd agent("");
  ASSERT_TRUE(agent.Start());
  base::Process tool = LaunchClassic(agent, "", {{"QUILLO_IPC_PEER_SECRET", "not-the-secret"}});
  EXPECT_EQ(WaitForExit(tool), 4);
  EXPECT_EQ(agent.connections(), 0);
}

TEST(ReferenceToolIpcTest, RefusesABadScriptWithoutConnecting) {
  AgentEnd agent("");
  ASSERT_TRUE(agent.Start());
  base::Process tool = LaunchClassic(agent, R"({"steps":[{"at":"on_shot","do":"explode"}]})");
  EXPECT_EQ(WaitForExit(tool), 2);
  EXPECT_EQ(agent.connections(), 0);
}

TEST(ReferenceToolIpcTest, FollowsItsScriptAndTracesWhatItSawAndGot) {
  TempDir dir;
  const std::string trace = dir.File("tool.trace");
  AgentEnd agent("");
  ASSERT_TRUE(agent.Start());
  base::Process tool = LaunchClassic(agent, R"({"trace_file":")" + JsonEscape(trace) + R"(","steps":[
      {"at":"after_connect","do":"send_result"},
      {"at":"after_handshake","do":"bilog","payload":"{\"key\":"},
      {"at":"after_handshake","do":"invoke","method":"snipping_tool_agent.nope"},
      {"at":"on_shot","do":"reply_error","code":4242,"reason":"busy","shot":1},
      {"at":"after_result","do":"send_result"}]})");
  ASSERT_TRUE(agent.WaitForRequests("snipping_tool_agent.snipping.bilog", 1));
  // The result sent before the handshake arrives before it.
  const std::vector<ToolRequest> early = agent.requests();
  ASSERT_GE(early.size(), 2u);
  EXPECT_EQ(early[0].method, kNotify);
  EXPECT_EQ(early[0].payload, NoFileResult(5));
  EXPECT_EQ(early[1].method, kHandshake);
  EXPECT_EQ(PayloadsOf(agent, "snipping_tool_agent.snipping.bilog"),
            std::vector<std::string>{"{\"key\":"})
      << "a raw payload goes out byte for byte";

  // The first shot only is refused; the second fails (no screen, or no
  // directory to save into) and its result is sent twice.
  const std::string first = dir.File("1.png");
  EXPECT_EQ(agent.InvokeAndWait(kShot, ShotPayload(first)), "error 4242 busy");
  EXPECT_EQ(agent.InvokeAndWait(kShot, ShotPayload(UnsavableFile(dir, "2.png"))), "reply {}");
  ASSERT_TRUE(agent.WaitForRequests(kNotify, 3));
  const std::vector<std::string> results = PayloadsOf(agent, kNotify);
  EXPECT_EQ(results[1], results[2]);
  EXPECT_EQ(results[1], NoFileResult(UnsavableShotEvent()));

  agent.InvokeAndWait(kWndHide, R"({"exit_screen_tool":true})");
  EXPECT_EQ(WaitForExit(tool), 0);

  // The trace holds what reached the tool and what its invokes got.
  const auto lines = ReadTrace(trace);
  auto has = [&](const std::vector<std::string>& fields) {
    for (const auto& line : lines) {
      if (line.size() == 4 && std::equal(fields.begin(), fields.end(), line.begin() + 1))
        return true;
    }
    return false;
  };
  EXPECT_TRUE(has({"switch", "user-id", "10001"}));
  EXPECT_TRUE(has({"document", "dui-config", R"({"lang":"en"})"}));
  EXPECT_TRUE(has({"answer", kHandshake, "reply "}));
  EXPECT_TRUE(has({"recv", kShot, ShotPayload(first)}));
  EXPECT_TRUE(has({"reply_error", kShot, "4242 busy"}));
  EXPECT_TRUE(has({"recv", kWndHide, R"({"exit_screen_tool":true})"}));
  EXPECT_TRUE(has({"exit", "", "0"}));
  bool no_handler = false;
  for (const auto& line : lines) {
    if (line.size() == 4 && line[1] == "answer" && line[2] == "snipping_tool_agent.nope")
      no_handler = line[3].rfind("error 1006 ", 0) == 0;
  }
  EXPECT_TRUE(no_handler) << "the runtime's refusal of an unknown method reaches the trace";
}

TEST(ReferenceToolIpcTest, CrashesWhereToldSoTheShotInvokeFails) {
  TempDir dir;
  const std::string trace = dir.File("tool.trace");
  AgentEnd agent("");
  ASSERT_TRUE(agent.Start());
  base::Process tool = LaunchClassic(
      agent, R"({"trace_file":")" + JsonEscape(trace) + R"(","steps":[{"at":"on_shot","do":"crash"}]})");
  ASSERT_TRUE(agent.WaitForRequests(kHandshake, 1));
  EXPECT_EQ(agent.InvokeAndWait(kShot, ShotPayload(dir.File("x.png"))).rfind("error 1004", 0), 0u);
  EXPECT_NE(WaitForExit(tool), 0);
  // The crash line is on disk although the process died right after it.
  // (Another thread may still have written an answer's line just before the
  // abort, so it need not be the last one.)
  const auto lines = ReadTrace(trace);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                          [](const auto& line) { return line.size() > 1 && line[1] == "crash"; }))
      << "the line before a crash is on disk";
  EXPECT_TRUE(PayloadsOf(agent, kNotify).empty());
  EXPECT_FALSE(PathExists(dir.File("x.png")));
}

TEST(ReferenceToolIpcTest, GrandchildOutlivesTheToolUntilItsTimeIsUp) {
  // The sleeper must not die with the tool by itself: tests of the agent
  // rely on its death to show that the agent tore the tree down.
  TempDir dir;
  const std::string trace = dir.File("tool.trace");
  AgentEnd agent("");
  ASSERT_TRUE(agent.Start());
  const std::string script =
      R"({"trace_file":")" + JsonEscape(trace) +
      R"(","steps":[{"at":"after_handshake","do":"spawn_grandchild","ms":1500},
                    {"at":"after_handshake","do":"handshake"}]})";
  std::vector<std::pair<std::string, std::string>> switches = VizudeDezoSwitches(script);
  switches.insert(switches.begin(), {"channel-port", std::to_string(agent.port())});
  base::Process tool =
      LaunchTool(ToolPath(true), switches, {{"QUILLO_IPC_PEER_SECRET", agent.secret()}});
  // The second handshake is sent after the sleeper was started.
  ASSERT_TRUE(agent.WaitForRequests(kHandshake, 2));
  int pid = -1;
  for (const auto& line : ReadTrace(trace)) {
    if (line.size() == 4 && line[1] == "grandchild")
      pid = std::atoi(line[2].c_str());
  }
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(test_os::ProcessRunning(pid));
  ASSERT_TRUE(tool.Terminate(0, true));
  EXPECT_TRUE(test_os::ProcessRunning(pid)) << "the sleeper died with the tool on its own";
  EXPECT_TRUE(test_os::WaitForProcessEnd(pid)) << "the sleeper outlived its time";
}

TEST(ReferenceToolIpcTest, VizudeDezoWithoutAPortFindsTheAgentByIdentity) {
  // A rendezvous location of this test's own, so that agents of other tests
  // running at the same time are not found instead.
  TempDir dir;
  const Rendezvous rendezvous = RendezvousIn(dir.path(), kVizudeDezoIdentity);
  test_os::ScopedEnv moved(rendezvous.variable, dir.path());
  const std::string trace = dir.File("tool.trace");
  AgentEnd agent(kVizudeDezoIdentity);
  ASSERT_TRUE(agent.Start());
  // The port and the two integers first; a POSIX host adds its pid and
  // start time after them.
  EXPECT_EQ(0u, ReadFile(rendezvous.record).rfind(std::to_string(agent.port()) + " 33333 56704", 0))
      << ReadFile(rendezvous.record);

  base::Process tool = LaunchTool(ToolPath(true),
                                  VizudeDezoSwitches(R"({"trace_file":")" + JsonEscape(trace) + R"("})"),
                                  {{"QUILLO_IPC_PEER_SECRET", agent.secret()},
                                   {rendezvous.variable, dir.path()}});
  ASSERT_TRUE(agent.WaitForRequests(kHandshake, 1));
  agent.InvokeAndWait(kWndHide, R"({"exit_screen_tool":true})");
  EXPECT_EQ(WaitForExit(tool), 0);
  bool by_identity = false;
  for (const auto& line : ReadTrace(trace)) {
    if (line.size() == 4 && line[1] == "connect")
      by_identity = line[2] == "identity" && line[3] == kVizudeDezoIdentity;
  }
  EXPECT_TRUE(by_identity);
  agent.Stop();
  EXPECT_FALSE(PathExists(rendezvous.record)) << "the stopped host left its record behind";
}

}  // namespace
}  // namespace reference_tool_test
