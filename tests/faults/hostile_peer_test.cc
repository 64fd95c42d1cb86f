// The agent's service host against another local program that found its
// port and knows no secret (the rogue tool of this folder with --attack):
// a freshly launched tool still gets in and the shot completes, the runtime
// keeps the bounds it promises and its log does not grow with the attack.

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "ipc_core/testing.h"
#include "tests/faults/fault_support.h"
#include "tests/ipc_core/ipc_test_support.h"

namespace snipping_tool {
namespace {

using testing::AgentTest;
constexpr int kMaxOpening = ipc_core::testing::kMaxUnauthenticatedConnections;

struct AttackCase {
  const char* name;
  const char* kind;
  int count;
  bool (*reached)();
};

const AttackCase kAttacks[] = {
    {"SilentConnectionsHeldAndReopened", "silent", 200,
     [] { return ipc_core::testing::UnauthenticatedConnectionCount() == kMaxOpening; }},
    // At least a frame header read.
    {"LargeFramesBeforeAnyHello", "bigframes", 63,
     [] { return ipc_core::testing::MaxBufferedPreHelloBytes() >= 8; }},
    {"FloodOfConnects", "flood", 2000,
     [] { return ipc_core::testing::MaxUnauthenticatedConnectionCount() > 0; }},
};

class HostilePeerTest : public AgentTest, public ::testing::WithParamInterface<AttackCase> {};

TEST_P(HostilePeerTest, ALaunchedToolGetsInAndTheHostStaysWithinItsBounds) {
  const AttackCase& attack = GetParam();
  StartAgent();
  // A first shot brings up the service host, whose port the attacker finds.
  auto first = Shot();
  ASSERT_TRUE(WaitForOutcome(first));
  ASSERT_EQ(1, first->successes);
  const int port = static_cast<int>(service_host()->port_number());
  ASSERT_GT(port, 0);
  const int records_before = static_cast<int>(log().Records().size());

  ipc_core::testing::ResetConnectionPeaks();
  test_os::ProgramRun attacker;
  ASSERT_TRUE(
      attacker.Start({testing::RogueToolPath(), std::string("--attack=") + attack.kind,
                      "--port=" + std::to_string(port), "--count=" + std::to_string(attack.count)},
                     temp_dir().File("attacker.txt")));
  ASSERT_TRUE(test_os::WaitUntil(attack.reached));

  // A cold shot: the tool is launched anew and must get through the
  // opening exchange while the attack goes on.
  agent()->TerminateSnippingTool();
  auto shot = Shot();
  ASSERT_TRUE(WaitForOutcome(shot));
  EXPECT_EQ(1, shot->successes);
  EXPECT_EQ(0, shot->failures);
  EXPECT_FALSE(agent()->IsBroken());
  attacker.KillHard();

  EXPECT_LE(ipc_core::testing::MaxUnauthenticatedConnectionCount(), kMaxOpening);
  EXPECT_LE(ipc_core::testing::MaxBufferedPreHelloBytes(),
            ipc_core::testing::kMaxPreHelloBufferedBytes);
  // Thousands of refused or evicted connections leave a few lines per
  // interval, not one or two each.
  int runtime_lines = 0;
  const auto records = log().Records();
  for (size_t i = records_before; i < records.size(); ++i)
    runtime_lines += records[i].file.find("ipc_core") != std::string::npos;
  EXPECT_LT(runtime_lines, 100);
}

INSTANTIATE_TEST_SUITE_P(Attacks,
                         HostilePeerTest,
                         ::testing::ValuesIn(kAttacks),
                         [](const auto& param) { return std::string(param.param.name); });

// A host and a tool end of the runtime itself, without the agent, whose own
// tool launch would trip over the missing descriptors first.
class HostilePeerExhaustionTest : public ipc_test::RuntimeTest {};

TEST_F(HostilePeerExhaustionTest, OutOfDescriptorsTheListenerPausesAndRecoversByItself) {
  test_os::DescriptorExhaustion exhaustion;
  // The silent connections keep their descriptors for the whole case.
  ipc_core::testing::SetHelloTimeoutMs(60000);
  ipc_test::TestHost host = ipc_test::TestHost::Start();
  ASSERT_GT(host.port, 0);

  // The first attacker fills the table of connections without a hello and
  // stops there: none is evicted, none gives its descriptor back.
  test_os::TempDir dir;
  test_os::ProgramRun holder;
  ASSERT_TRUE(holder.Start(
      {testing::RogueToolPath(), "--attack=silent", "--port=" + std::to_string(host.port),
       "--count=" + std::to_string(kMaxOpening)},
      dir.File("holder.txt")));
  ASSERT_TRUE(test_os::WaitUntil(
      [] { return ipc_core::testing::UnauthenticatedConnectionCount() == kMaxOpening; }));
  // The second waits until this process has no descriptor left: the signal
  // is a rename, which needs none.
  const std::string ready = dir.File("go.ready");
  const std::string go = dir.File("go");
  { std::ofstream(ready) << "go"; }
  test_os::ProgramRun attacker;
  ASSERT_TRUE(
      attacker.Start({testing::RogueToolPath(), "--attack=silent",
                      "--port=" + std::to_string(host.port), "--count=50", "--start-when=" + go},
                     dir.File("attacker.txt")));
  const long failures_before = ipc_core::testing::AcceptFailureCount();
  const int warnings_before = CountLogs(1, "");
  if (!exhaustion.Take()) {
    host.StopAndWait();
    GTEST_SKIP() << "no per-process descriptor limit to exhaust here";
  }
  const auto attack_start = std::chrono::steady_clock::now();
  ASSERT_EQ(0, std::rename(ready.c_str(), go.c_str()));
  // Every accept fails. The listener pauses 20, 40, 80 ms... between tries,
  // so the fifth failure cannot come sooner than 300 ms after the first.
  ASSERT_TRUE(test_os::WaitUntil(
      [&] { return ipc_core::testing::AcceptFailureCount() >= failures_before + 5; }));
  EXPECT_GE(std::chrono::steady_clock::now() - attack_start, std::chrono::milliseconds(300));
  // The warnings are rate-limited: ten, then a count at the interval's end.
  EXPECT_LE(CountLogs(1, "") - warnings_before, 11);

  exhaustion.GiveBack();
  attacker.KillHard();
  holder.KillHard();
  ipc_core::testing::SetHelloTimeoutMs(0);
  // The listener resumes by itself: a tool with the secret gets in.
  ipc_test::TestClient client = ipc_test::TestClient::Create();
  EXPECT_TRUE(client.Connect(host.port, host.secret));
  client.client->Close();
  // The disconnect event comes on a runtime thread after Close returns; the
  // observer must outlive it.
  EXPECT_TRUE(client.observer->WaitFor("disconnected"));
  host.StopAndWait();
}

}  // namespace
}  // namespace snipping_tool
