// The Windows counterparts of the POSIX-only parts of the reference tool's
// behaviour: the rendezvous a tool started without a port finds the agent
// by lives under %LOCALAPPDATA%.
#include <windows.h>

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_os.h"
#include "tests/tools/tool_harness.h"

namespace reference_tool_test {
namespace {

constexpr char kHandshake[] = "snipping_tool_agent.snipping.handshake";
constexpr char kWndHide[] = "snipping_tool.snipping.on_select_user_wnd_hide";
constexpr char kVizudeDezoIdentity[] = "{5B1C7E24-0D3A-4F68-9C27-3E8B1A6D4F90}";

// Sets |name| in this process for the life of the object, then puts back
// what was there.
class ScopedVariable {
 public:
  ScopedVariable(const std::string& name, const std::string& value) : name_(name) {
    const std::wstring wide_name(name.begin(), name.end());
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(wide_name.c_str(), buffer, 32768);
    if (length > 0 && length < 32768)
      previous_wide_ = std::wstring(buffer, length);
    test_os::SetEnv(name, value);
  }
  ~ScopedVariable() {
    const std::wstring wide_name(name_.begin(), name_.end());
    SetEnvironmentVariableW(wide_name.c_str(), previous_wide_ ? previous_wide_->c_str() : nullptr);
  }

 private:
  std::string name_;
  std::optional<std::wstring> previous_wide_;
};

TEST(ReferenceToolIpcWinTest, VizudeDezoWithoutAPortFindsTheAgentInLocalAppData) {
  // A local application data directory of this test's own, so that agents
  // of other tests running at the same time are not found instead.
  ScratchDirectory local_app_data("identity");
  ScopedVariable scoped("LOCALAPPDATA", local_app_data.path());
  const std::string record = test_os::JoinPath(
      test_os::JoinPath(local_app_data.File("Quillo"), "ipc"), kVizudeDezoIdentity);
  const std::string trace = local_app_data.File("tool.trace");
  AgentEnd agent(kVizudeDezoIdentity);
  ASSERT_TRUE(agent.Start());
  EXPECT_EQ(ReadFile(record), std::to_string(agent.port()) + " 33333 56704\n");

  base::Process tool = LaunchTool(ToolPath(true),
                                  VizudeDezoSwitches(R"({"trace_file":")" + JsonEscape(trace) + R"("})"),
                                  {{"QUILLO_IPC_PEER_SECRET", agent.secret()},
                                   {"LOCALAPPDATA", local_app_data.path()}});
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

}  // namespace
}  // namespace reference_tool_test
