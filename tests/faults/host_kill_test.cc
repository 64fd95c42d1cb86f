// The host process is killed outright (SIGKILL, TerminateProcess) while a
// shot is in flight: it runs no code on the way out, so the end of the tool
// and of what the tool started must be arranged before the kill.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/faults/fault_support.h"

namespace snipping_tool {
namespace {

TEST(HostKillTest, HostKilledDuringAShotLeavesNoToolNorDescendantBehind) {
  test_os::TempDir dir;
  const std::string trace = dir.File("trace.txt");
  const std::string output = dir.File("demo_output.txt");
  const std::string script =
      "{\"trace_file\":\"" + test_support::JsonEscape(trace) +
      "\",\"steps\":["
      "{\"at\":\"after_handshake\",\"do\":\"spawn_grandchild\",\"ms\":60000},"
      "{\"at\":\"after_handshake\",\"do\":\"spawn_setsid_grandchild\",\"ms\":60000},"
      "{\"at\":\"after_handshake\",\"do\":\"spawn_daemon\",\"ms\":60000},"
      "{\"at\":\"on_shot\",\"do\":\"delay\",\"ms\":60000}]}";
  const std::string demo = test_os::JoinPath(test_os::ExecutableDir(),
                                             "snipping_demo_host" + test_os::ExecutableSuffix());
  // The longest time-outs the agent takes: on a loaded machine the default
  // ones could end the shot before the test sees it in flight.
  const std::string timeouts =
      R"({"IPCInvokeTimeout":9999,"ProcessHandshakeTimeout":9999,"IPCPreparePortTimeout":9999})";
  test_os::ProgramRun host;
  ASSERT_TRUE(host.Start({demo, "--script", script, "--save-path", dir.File("shot.png"),
                          "--wait-ms", "60000", "--timeout-config", timeouts},
                         output));

  // The shot is in flight once the tool sits in its on_shot delay and has
  // started its three descendants.
  int tool = 0;
  std::vector<int> descendants;
  const bool in_flight = test_os::WaitUntil([&] {
    descendants.clear();
    bool delaying = false;
    for (const std::vector<std::string>& fields : test_support::ReadTrace(trace)) {
      if (fields.size() < 4)
        continue;
      if (fields[1] == "start")
        tool = atoi(fields[3].c_str());
      if (fields[1] == "grandchild" || fields[1] == "setsid_grandchild" || fields[1] == "daemon")
        descendants.push_back(atoi(fields[2].c_str()));
      delaying |= fields[1] == "step" && fields[2] == "on_shot" && fields[3] == "delay";
    }
    return tool > 0 && descendants.size() == 3 && delaying;
  });
  EXPECT_TRUE(in_flight) << test_support::ReadFile(output);
  EXPECT_TRUE(host.KillHard());
  ASSERT_TRUE(in_flight);

  // What the system does when the host dies (on POSIX the job keeper's
  // control socket closes; on Windows the job's last handle) ends them all,
  // also the descendants that left the tool's session or were double-forked.
  EXPECT_TRUE(test_os::WaitForProcessEnd(tool)) << "tool " << tool << " outlived its host";
  for (const int descendant : descendants) {
    EXPECT_TRUE(test_os::WaitForProcessEnd(descendant))
        << "descendant " << descendant << " outlived the host that killed its tool";
  }
  descendants.push_back(tool);
  test_os::KillSurvivors(descendants);
}

}  // namespace
}  // namespace snipping_tool
