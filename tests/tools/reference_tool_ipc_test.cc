// The reference tool, started with the switches the agent writes, against a
// real service host offering the agent's service.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/ipc_server/launch_switches.h"
#include "payloads/json_payloads.h"
#include "platform/command_line.h"
#include "platform/file_path.h"
#include "platform/launch.h"
#include "platform/process.h"
#include "tests/ipc_core/ipc_test_support.h"
#include "tests/support/test_os.h"
#include "tests/support/test_text.h"
#include "tests/tools/tool_test_os.h"

namespace reference_tool_test {
namespace {

using test_os::TempDir;
using test_support::JsonEscape;
using test_support::ReadTrace;

constexpr char kHandshake[] = "snipping_tool_agent.snipping.handshake";
constexpr char kNotify[] = "snipping_tool_agent.snipping.notify";
constexpr char kBilog[] = "snipping_tool_agent.snipping.bilog";
constexpr char kShot[] = "snipping_tool.snipping.shot";
constexpr char kWndHide[] = "snipping_tool.snipping.on_select_user_wnd_hide";
constexpr char kExitTool[] = R"({"exit_screen_tool":true})";
// The identity the VizudeDezo tool looks the agent up by.
constexpr char kVizudeDezoIdentity[] = "{5B1C7E24-0D3A-4F68-9C27-3E8B1A6D4F90}";

// The agent's end: a started host offering the methods these tests have the
// tool call, recording each request and answering it with an empty text.
// Without an identity it publishes no rendezvous other tests could find.
class AgentEnd {
 public:
  explicit AgentEnd(const std::string& identity = "") : end_(ipc_test::TestHost::Start(identity)) {
    service_ = new ipc_test::LambdaService("snipping_tool_agent");
    for (const std::string method : {kHandshake, kNotify, kBilog}) {
      service_->On(method, [this, method](const std::string& payload,
                                          ipc_core::IRequestFeature* feature) {
        std::lock_guard<std::mutex> lock(lock_);
        requests_.emplace_back(method, payload);
        feature->Reply("");
      });
    }
    end_.host->RegisterService(service_.get());
  }
  ~AgentEnd() { Stop(); }

  void Stop() {
    if (!stopped_)
      end_.StopAndWait();
    stopped_ = true;
  }
  int port() const { return end_.port; }
  const std::string& secret() const { return end_.secret; }
  int connections() { return end_.observer->count("connected:1"); }

  // The requests of the tool so far, {method, payload}, in order.
  std::vector<std::pair<std::string, std::string>> requests() {
    std::lock_guard<std::mutex> lock(lock_);
    return requests_;
  }
  std::vector<std::string> PayloadsOf(const std::string& method) {
    std::vector<std::string> payloads;
    for (const auto& [name, payload] : requests()) {
      if (name == method)
        payloads.push_back(payload);
    }
    return payloads;
  }
  bool WaitForRequests(const std::string& method, size_t count) {
    return test_os::WaitUntil([&] { return PayloadsOf(method).size() >= count; });
  }
  // The outcome of invoking |method| on the tool, as ipc_test::Call gives it.
  std::string InvokeAndWait(const char* method, const std::string& payload) {
    return ipc_test::Call(end_.host.get(), method, payload, 5000);
  }

 private:
  ipc_test::TestHost end_;
  ipc_core::ipc_core_refptr<ipc_test::LambdaService> service_;
  bool stopped_ = false;
  std::mutex lock_;
  std::vector<std::pair<std::string, std::string>> requests_;
};

// The runtime started for each test, its records captured.
class ReferenceToolIpcTest : public ipc_test::RuntimeTest {};

// The agent's record, |script| in its extras when given.
snipping_tool::SnippingToolConfig ConfigWith(const std::string& script) {
  snipping_tool::SnippingToolConfig config;
  config.user_id = 10001;
  config.version = "1.0";
  config.dui_config = R"({"lang":"en"})";
  config.log_file = "/tmp/x/logs/a.log";
  if (!script.empty())
    config.extras["reference_tool_script"] = script;
  return config;
}

// The tool, found next to the test executable, started with the switches
// the agent writes for |config|, and the agent's secret unless
// |environment| gives another.
base::Process LaunchTool(bool vizudedezo,
                         const AgentEnd& agent,
                         const snipping_tool::SnippingToolConfig& config,
                         std::map<std::string, std::string> environment = {}) {
  base::CommandLine line(base::FilePath::FromUTF8Unsafe(test_os::JoinPath(
      test_os::ExecutableDir(), vizudedezo ? "VizudeDezo.exe" : "QuilloSnippingTool.exe")));
  if (vizudedezo)
    snipping_tool::AppendVizudeDezoSwitches(config, agent.port(), &line);
  else
    snipping_tool::AppendClassicSwitches(config, agent.port(), &line);
  environment.emplace(ipc_core::kPeerSecretEnvironmentVariable, agent.secret());
  base::LaunchOptions options;
  options.environment = environment;
  return base::LaunchProcess(line, options);
}

// The tool's exit status, or -1 when it did not end within test_os::kWaitBound.
int WaitForExit(const base::Process& process) {
  int exit_code = -1;
  return process.WaitForExitWithTimeout(test_os::kWaitBound, &exit_code) ? exit_code : -1;
}

// A script that traces to |trace| and runs |steps| (a JSON array's members).
std::string Traced(const std::string& trace, const std::string& steps = "") {
  return R"({"trace_file":")" + JsonEscape(trace) + R"(","steps":[)" + steps + "]}";
}

// The last line of |kind| in the trace |path|: {time, kind, name, text}.
std::vector<std::string> LastTraceLine(const std::string& path, const std::string& kind) {
  std::vector<std::string> last;
  for (const auto& line : ReadTrace(path)) {
    if (line.size() == 4 && line[1] == kind)
      last = line;
  }
  return last;
}

// The result the tool sends for a shot that produced no file.
std::string NoFileResult(int event) {
  return snipping_tool::JsonClassToStr(snipping_tool::NotifySnippingShot{"", event, "", 0, 0});
}

// The shot request as the agent writes it.
std::string ShotPayload(const std::string& path) {
  snipping_tool::RequestSnippingShot shot;
  shot.image_save_path = path;
  return snipping_tool::JsonClassToStr(shot);
}

TEST_F(ReferenceToolIpcTest, ReportsFailuresHonestlyAndExitsOnlyWhenTold) {
  AgentEnd agent;
  base::Process tool = LaunchTool(false, agent, ConfigWith(""));
  ASSERT_TRUE(agent.WaitForRequests(kHandshake, 1));
  EXPECT_EQ(agent.PayloadsOf(kHandshake), std::vector<std::string>{"{}"});

  // A request without a path is answered, then reported as unreadable.
  EXPECT_EQ(agent.InvokeAndWait(kShot, "[]"), "{}");
  ASSERT_TRUE(agent.WaitForRequests(kNotify, 1));
  EXPECT_EQ(agent.PayloadsOf(kNotify), std::vector<std::string>{NoFileResult(4)});

  // Only exit_screen_tool true ends the tool (the other tests' ends); it
  // ends by itself when the agent goes away.
  EXPECT_EQ(agent.InvokeAndWait(kWndHide, R"({"exit_screen_tool":false})"), "{}");
  EXPECT_EQ(agent.InvokeAndWait(kWndHide, "not json"), "{}");
  EXPECT_FALSE(tool.HasExited());
  agent.Stop();
  EXPECT_EQ(WaitForExit(tool), 3);
}

// A tool that cannot go on ends without a connection: with a bad script
// (2), with a secret the agent refuses (4).
TEST_F(ReferenceToolIpcTest, EndsWithoutAConnectionWhenItCannotGoOn) {
  AgentEnd agent;
  const std::string bad_script = R"({"steps":[{"at":"on_shot","do":"explode"}]})";
  base::Process tool = LaunchTool(false, agent, ConfigWith(bad_script));
  EXPECT_EQ(WaitForExit(tool), 2);
  tool = LaunchTool(false, agent, ConfigWith(""),
                    {{ipc_core::kPeerSecretEnvironmentVariable, "not-the-secret"}});
  EXPECT_EQ(WaitForExit(tool), 4);
  EXPECT_EQ(agent.connections(), 0);
}

TEST_F(ReferenceToolIpcTest, FollowsItsScriptAndTracesWhatItSawAndGot) {
  TempDir dir;
  const std::string trace = dir.File("tool.trace");
  AgentEnd agent;
  base::Process tool = LaunchTool(false, agent, ConfigWith(Traced(trace, R"(
      {"at":"after_connect","do":"send_result"},
      {"at":"after_handshake","do":"bilog","payload":"{\"key\":"},
      {"at":"after_handshake","do":"invoke","method":"snipping_tool_agent.nope"},
      {"at":"on_shot","do":"reply_error","code":4242,"reason":"busy","shot":1},
      {"at":"after_result","do":"send_result"})")));
  ASSERT_TRUE(agent.WaitForRequests(kBilog, 1));
  // The result sent before the handshake arrives before it.
  const std::vector<std::pair<std::string, std::string>> early = agent.requests();
  ASSERT_GE(early.size(), 2u);
  EXPECT_EQ(early[0], std::make_pair(std::string(kNotify), NoFileResult(5)));
  EXPECT_EQ(early[1].first, kHandshake);
  EXPECT_EQ(agent.PayloadsOf(kBilog), std::vector<std::string>{"{\"key\":"})
      << "a raw payload goes out byte for byte";

  // The first shot only is refused; the second fails (no screen, or no
  // directory to save into), no file is claimed, and its result is sent
  // twice.
  const std::string first = dir.File("1.png");
  EXPECT_EQ(agent.InvokeAndWait(kShot, ShotPayload(first)), "error 4242: busy");
  EXPECT_EQ(agent.InvokeAndWait(kShot, ShotPayload(UnsavableFile(dir, "2.png"))), "{}");
  ASSERT_TRUE(agent.WaitForRequests(kNotify, 3));
  const std::vector<std::string> results = agent.PayloadsOf(kNotify);
  EXPECT_EQ(results[1], results[2]);
  EXPECT_EQ(results[1], NoFileResult(UnsavableShotEvent()));
  EXPECT_FALSE(PathExists(UnsavableFile(dir, "2.png")));

  agent.InvokeAndWait(kWndHide, kExitTool);
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
  EXPECT_TRUE(has({"answer", kHandshake, "reply "}));
  EXPECT_TRUE(has({"recv", kShot, ShotPayload(first)}));
  EXPECT_TRUE(has({"reply_error", kShot, "4242 busy"}));
  EXPECT_TRUE(has({"recv", kWndHide, kExitTool}));
  EXPECT_TRUE(has({"exit", "", "0"}));
  const bool no_handler = std::any_of(lines.begin(), lines.end(), [](const auto& line) {
    return line.size() == 4 && line[1] == "answer" && line[2] == "snipping_tool_agent.nope" &&
           line[3].rfind("error 1006 ", 0) == 0;
  });
  EXPECT_TRUE(no_handler) << "the runtime's refusal of an unknown method reaches the trace";
}

TEST_F(ReferenceToolIpcTest, GrandchildOutlivesTheToolUntilItsTimeIsUp) {
  // The sleeper must not die with the tool by itself: tests of the agent
  // rely on its death to show that the agent tore the tree down.
  TempDir dir;
  const std::string trace = dir.File("tool.trace");
  AgentEnd agent;
  snipping_tool::SnippingToolConfig config = ConfigWith(Traced(trace, R"(
      {"at":"after_handshake","do":"spawn_grandchild","ms":1500},
      {"at":"after_handshake","do":"handshake"})"));
  config.pass_channel_port = true;
  base::Process tool = LaunchTool(true, agent, config);
  // The second handshake is sent after the sleeper was started.
  ASSERT_TRUE(agent.WaitForRequests(kHandshake, 2));
  const std::vector<std::string> grandchild = LastTraceLine(trace, "grandchild");
  const int pid = grandchild.empty() ? 0 : std::atoi(grandchild[2].c_str());
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(tool.Terminate(0, true));
  EXPECT_TRUE(test_os::ProcessRunning(pid)) << "the sleeper died with the tool on its own";
  EXPECT_TRUE(test_os::WaitForProcessEnd(pid)) << "the sleeper outlived its time";
}

TEST_F(ReferenceToolIpcTest, VizudeDezoWithoutAPortFindsTheAgentByIdentity) {
  // A rendezvous location of this test's own, so that agents of other tests
  // running at the same time are not found instead.
  TempDir dir;
  const std::string variable = RendezvousVariable();
  test_os::ScopedEnv moved(variable, dir.path());
  const std::string trace = dir.File("tool.trace");
  AgentEnd agent(kVizudeDezoIdentity);
  base::Process tool = LaunchTool(true, agent, ConfigWith(Traced(trace)), {{variable, dir.path()}});
  ASSERT_TRUE(agent.WaitForRequests(kHandshake, 1));
  agent.InvokeAndWait(kWndHide, kExitTool);
  EXPECT_EQ(WaitForExit(tool), 0);
  const std::vector<std::string> connect = LastTraceLine(trace, "connect");
  ASSERT_EQ(connect.size(), 4u);
  EXPECT_EQ(connect[2], "identity");
  EXPECT_EQ(connect[3], kVizudeDezoIdentity);
}

}  // namespace
}  // namespace reference_tool_test
