// The host process is killed outright (SIGKILL, TerminateProcess) while a
// shot is in flight: it runs no code of its own on the way out, so whatever
// ends the tool, and what the tool started, must be arranged before the
// kill.
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/faults/fault_support.h"

namespace snipping_tool {
namespace {

using testing::TempDir;

// Generous for a loaded machine; the descendants live 60 s on their own.
constexpr std::chrono::milliseconds kSignalBound{10000};

// The pid of the last "StartProcess result ... pid:N" in the demo's output.
int ToolPidFrom(const std::string& output) {
  int pid = 0;
  size_t at = 0;
  while ((at = output.find("StartProcess result", at)) != std::string::npos) {
    const size_t marker = output.find(" pid:", at);
    const size_t line_end = output.find('\n', at);
    if (marker != std::string::npos && marker < line_end)
      pid = atoi(output.c_str() + marker + 5);
    at = line_end == std::string::npos ? output.size() : line_end;
  }
  return pid;
}

// The pids the tool's trace gives for its descendants (0 before it has
// them), and whether the tool sits in its on_shot delay.
struct TraceState {
  int grandchild = 0;
  int setsid_grandchild = 0;
  int daemon = 0;
  bool delaying_shot = false;
};

TraceState ReadTraceState(const std::string& trace) {
  TraceState state;
  for (const std::vector<std::string>& fields : test_support::ReadTrace(trace)) {
    if (fields.size() < 4)
      continue;
    if (fields[1] == "grandchild")
      state.grandchild = atoi(fields[2].c_str());
    if (fields[1] == "setsid_grandchild")
      state.setsid_grandchild = atoi(fields[2].c_str());
    if (fields[1] == "daemon")
      state.daemon = atoi(fields[2].c_str());
    state.delaying_shot |= fields[1] == "step" && fields[2] == "on_shot" && fields[3] == "delay";
  }
  return state;
}

TEST(HostKillTest, HostKilledDuringAShotLeavesNoToolNorDescendantBehind) {
  TempDir dir;
  const std::string trace = dir.File("trace.txt");
  const std::string output = dir.File("demo_output.txt");
  const std::string script =
      "{\"trace_file\":\"" + testing::JsonEscape(trace) +
      "\",\"steps\":["
      "{\"at\":\"after_handshake\",\"do\":\"spawn_grandchild\",\"ms\":60000},"
      "{\"at\":\"after_handshake\",\"do\":\"spawn_setsid_grandchild\",\"ms\":60000},"
      "{\"at\":\"after_handshake\",\"do\":\"spawn_daemon\",\"ms\":60000},"
      "{\"at\":\"on_shot\",\"do\":\"delay\",\"ms\":60000}]}";
  const std::string demo =
      test_os::JoinPath(test_os::ExecutableDir(), "snipping_demo_host" + test_os::ExecutableSuffix());
  const std::string save_path = dir.File("shot.png");
  // The longest time-outs the agent takes: on a loaded machine (a sanitizer
  // build beside other tests) the default 3 s for the handshake, or for the
  // shot request the tool holds in its delay, can run out before the test
  // sees the shot in flight, and the shot would end before the kill.
  const std::string timeouts =
      R"({"IPCInvokeTimeout":9999,"ProcessHandshakeTimeout":9999,"IPCPreparePortTimeout":9999})";
  std::vector<std::string> args = {demo,      "--script",  script,    "--save-path",
                                   save_path, "--wait-ms", "60000",   "--timeout-config",
                                   timeouts};
  test_os::ProgramRun host;
  ASSERT_TRUE(host.Start(args, output));

  // The shot is in flight once the tool sits in its on_shot delay.
  int tool = 0;
  TraceState traced;
  const bool in_flight = testing::WaitFor([&] {
    traced = ReadTraceState(trace);
    tool = ToolPidFrom(test_support::ReadFile(output));
    return tool > 0 && traced.grandchild > 0 && traced.setsid_grandchild > 0 && traced.daemon > 0 &&
           traced.delaying_shot;
  });
  EXPECT_TRUE(in_flight) << test_support::ReadFile(output);

  EXPECT_TRUE(host.KillHard());
  ASSERT_TRUE(in_flight);

  // Both ends come from what the system does when the host dies (on POSIX
  // the job keeper's control socket closes and it kills every process it
  // holds; on Windows the job's last handle closes): a few seconds are plenty, and the
  // grandchild lives far longer than that on its own.
  EXPECT_TRUE(testing::WaitForDeadWithin(tool, kSignalBound))
      << "tool " << tool << " outlived its host";
  // What the tool started goes with it, also when it left the tool's
  // session or was double-forked away from it.
  for (const int descendant : {traced.grandchild, traced.setsid_grandchild, traced.daemon}) {
    EXPECT_TRUE(testing::WaitForDeadWithin(descendant, kSignalBound))
        << "descendant " << descendant << " outlived the host that killed its tool";
  }
  testing::KillSurvivors({tool, traced.grandchild, traced.setsid_grandchild, traced.daemon});
}

}  // namespace
}  // namespace snipping_tool
