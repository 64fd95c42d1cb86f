// The parts of the reference tool's behaviour that exist on POSIX only: the
// rendezvous directory under XDG_RUNTIME_DIR and its mode, and a capture
// with no X display.
#include <stdlib.h>
#include <sys/stat.h>

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_os.h"
#include "tests/tools/tool_harness.h"

namespace reference_tool_test {
namespace {

constexpr char kHandshake[] = "snipping_tool_agent.snipping.handshake";
constexpr char kNotify[] = "snipping_tool_agent.snipping.notify";
constexpr char kShot[] = "snipping_tool.snipping.shot";
constexpr char kWndHide[] = "snipping_tool.snipping.on_select_user_wnd_hide";
constexpr char kVizudeDezoIdentity[] = "{5B1C7E24-0D3A-4F68-9C27-3E8B1A6D4F90}";

// Sets |name| in this process for the life of the object, then puts back
// what was there.
class ScopedVariable {
 public:
  ScopedVariable(const std::string& name, const std::string& value) : name_(name) {
    if (const char* previous = getenv(name.c_str()))
      previous_ = previous;
    test_os::SetEnv(name, value);
  }
  ~ScopedVariable() {
    if (previous_)
      test_os::SetEnv(name_, *previous_);
    else
      test_os::UnsetEnv(name_);
  }

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

TEST(ReferenceToolIpcPosixTest, VizudeDezoWithoutAPortFindsTheAgentByIdentity) {
  // A rendezvous directory of this test's own, so that agents of other
  // tests running at the same time are not found instead. The runtime uses
  // XDG_RUNTIME_DIR only when it is closed to everyone but the user.
  ScratchDirectory runtime_dir("identity");
  ASSERT_EQ(chmod(runtime_dir.path().c_str(), 0700), 0);
  ScopedVariable scoped("XDG_RUNTIME_DIR", runtime_dir.path());
  const std::string record =
      test_os::JoinPath(runtime_dir.File("quillo-ipc"), kVizudeDezoIdentity);
  const std::string trace = runtime_dir.File("tool.trace");
  AgentEnd agent(kVizudeDezoIdentity);
  ASSERT_TRUE(agent.Start());
  EXPECT_EQ(ReadFile(record), std::to_string(agent.port()) + " 33333 56704\n");
  struct stat record_stat;
  ASSERT_EQ(stat(record.c_str(), &record_stat), 0);
  EXPECT_EQ(record_stat.st_mode & 0777, 0600u);

  base::Process tool = LaunchTool(ToolPath(true),
                                  VizudeDezoSwitches(R"({"trace_file":")" + JsonEscape(trace) + R"("})"),
                                  {{"QUILLO_IPC_PEER_SECRET", agent.secret()},
                                   {"XDG_RUNTIME_DIR", runtime_dir.path()}});
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
  EXPECT_FALSE(PathExists(record)) << "the stopped host left its record behind";
}

TEST(ReferenceToolIpcPosixTest, ReportsACaptureWithoutADisplayAsFailed) {
  ScratchDirectory dir("no_display");
  const std::string trace = dir.File("tool.trace");
  AgentEnd agent("");
  ASSERT_TRUE(agent.Start());
  std::map<std::string, std::string> extras = {
      {"reference_tool_script", R"({"trace_file":")" + JsonEscape(trace) + R"("})"}};
  // An empty DISPLAY: the capture must fail whatever display the test has.
  base::Process tool = LaunchTool(ToolPath(false),
                                  {{"channel-port", std::to_string(agent.port())},
                                   {"user-id", "10001"},
                                   {"version", "1.0"},
                                   {"snipping-extras", ExtrasSwitchValue(extras)}},
                                  {{"QUILLO_IPC_PEER_SECRET", agent.secret()}, {"DISPLAY", ""}});
  ASSERT_TRUE(agent.WaitForRequests(kHandshake, 1));
  // The path is one the tool could write to: only the capture fails.
  const std::string path = dir.File("shot.png");
  EXPECT_EQ(agent.InvokeAndWait(kShot, R"({"image_save_path":")" + JsonEscape(path) + R"("})"),
            "reply {}");
  ASSERT_TRUE(agent.WaitForRequests(kNotify, 1));
  std::vector<std::string> results;
  for (const ToolRequest& request : agent.requests()) {
    if (request.method == kNotify)
      results.push_back(request.payload);
  }
  EXPECT_EQ(results, std::vector<std::string>{
                         R"({"image_file_path":"","snipping_event":2,"ai_skill_data":"","pos_x":0,"pos_y":0})"});
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
