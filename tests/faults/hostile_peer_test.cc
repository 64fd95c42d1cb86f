// The agent's service host against another local program that found its
// port and knows no secret: the rogue tool of this folder started with
// --attack. While it attacks, a freshly launched tool must still get in and
// the shot complete; the runtime's own counters must show the bounds it
// promises (connections without a hello, bytes each of them holds); its log
// must not grow with the attack. The last case takes the host's descriptors
// away: the listener must pause instead of spinning and recover by itself.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ipc_core/service_client.h"
#include "ipc_core/service_host.h"
#include "ipc_core/testing.h"
#include "tests/agent/agent_test_support.h"
#include "tests/faults/fault_support.h"

namespace snipping_tool {
namespace {

using testing::AgentTest;

std::string RoguePath() {
  return test_os::JoinPath(test_os::ExecutableDir(), "fault_rogue_tool" + test_os::ExecutableSuffix());
}

struct AttackCase {
  const char* name;
  const char* kind;
  int count;
  // True once the attack has reached the host.
  bool (*reached)();
};

const AttackCase kAttacks[] = {
    {"SilentConnectionsHeldAndReopened", "silent", 200,
     [] {
       return ipc_core::testing::UnauthenticatedConnectionCount() ==
              ipc_core::testing::kMaxUnauthenticatedConnections;
     }},
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
  // A first shot brings the service host up; its port stays for the
  // agent's life, which is what the attacker finds.
  auto first = Shot();
  ASSERT_TRUE(WaitForOutcome(first));
  ASSERT_EQ(1, first->successes);
  int port = 0;
  for (const std::string& line : log().Lines()) {
    const std::string marker = "OnServiceHostStartSuccess port:";
    const size_t at = line.find(marker);
    if (at != std::string::npos)
      port = std::atoi(line.c_str() + at + marker.size());
  }
  ASSERT_GT(port, 0);
  const int records_before = static_cast<int>(log().Records().size());

  ipc_core::testing::ResetConnectionPeaks();
  test_os::ProgramRun attacker;
  ASSERT_TRUE(attacker.Start({RoguePath(), std::string("--attack=") + attack.kind,
                              "--port=" + std::to_string(port),
                              "--count=" + std::to_string(attack.count)},
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

  EXPECT_LE(ipc_core::testing::MaxUnauthenticatedConnectionCount(),
            ipc_core::testing::kMaxUnauthenticatedConnections);
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

std::string AttackName(const ::testing::TestParamInfo<AttackCase>& param) {
  return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(Attacks, HostilePeerTest, ::testing::ValuesIn(kAttacks), AttackName);

// A host and a tool end of the runtime itself, without the agent: the case
// below takes this process's descriptors away, which the agent's own tool
// launch would trip over first.
class Observer : public ipc_core::IServiceHostObserver, public ipc_core::IServiceClientObserver {
 public:
  void AddRef() override {}
  void Release() override {}
  void OnServiceHostInit(ipc_core::IServiceHost*) override {}
  void OnServiceHostStartSuccess(ipc_core::IServiceHost*, int32_t listening) override {
    Set(&port, listening);
  }
  void OnServiceHostStartFailure(ipc_core::IServiceHost*, int32_t) override {}
  void OnServiceInvokerConnected(ipc_core::IServiceHost*, int32_t) override {}
  void OnServiceInvokerDisconnected(ipc_core::IServiceHost*, int32_t) override {}
  void OnServiceHostStoped(ipc_core::IServiceHost*) override { Set(&stopped, 1); }
  void OnConnected(ipc_core::IServiceClient*) override { Set(&connected, 1); }
  void OnConnectFailed(ipc_core::IServiceClient*, int32_t code) override { Set(&failed, code); }
  void OnDisconnected(ipc_core::IServiceClient*) override { Set(&disconnected, 1); }

  bool Wait(const int* value) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, test_os::kWaitBound, [&] { return *value != 0; });
  }
  int port = 0, stopped = 0, connected = 0, failed = 0, disconnected = 0;

 private:
  void Set(int* field, int value) {
    std::lock_guard<std::mutex> lock(mu_);
    *field = value;
    cv_.notify_all();
  }
  std::mutex mu_;
  std::condition_variable cv_;
};

std::vector<int> g_severities;
std::mutex g_severities_mu;
void RecordSeverity(int severity, const char*, int, int64_t, const char*) {
  std::lock_guard<std::mutex> lock(g_severities_mu);
  g_severities.push_back(severity);
}
int WarningsSince(size_t from) {
  std::lock_guard<std::mutex> lock(g_severities_mu);
  return static_cast<int>(
      std::count(g_severities.begin() + std::min(from, g_severities.size()), g_severities.end(), 1));
}
size_t RecordCount() {
  std::lock_guard<std::mutex> lock(g_severities_mu);
  return g_severities.size();
}

TEST(HostilePeerExhaustionTest, OutOfDescriptorsTheListenerPausesAndRecoversByItself) {
  test_os::DescriptorExhaustion exhaustion;
  ipc_core::InitIPCCoreRuntime(&RecordSeverity);
  // The silent connections the host holds keep their descriptors for the
  // whole case instead of giving them back after a second.
  ipc_core::testing::SetHelloTimeoutMs(60000);
  Observer observer;
  ipc_core::IServiceHost* raw_host = nullptr;
  ASSERT_EQ(ipc_core::kOk,
            ipc_core::CreateServiceHost("hostile", "test", "", 1, 2, &observer, &raw_host));
  auto host = ipc_core::ipc_core_refptr<ipc_core::IServiceHost>::Adopt(raw_host);
  const std::string secret = ipc_core::GeneratePeerSecret();
  ASSERT_TRUE(host->AddPeerSecret(secret.c_str()));
  ASSERT_TRUE(host->Start());
  ASSERT_TRUE(observer.Wait(&observer.port));

  // The first attacker fills the table of connections without a hello and
  // stops there: no connection is evicted, none gives its descriptor back.
  test_os::TempDir dir;
  test_os::ProgramRun holder;
  ASSERT_TRUE(holder.Start({RoguePath(), "--attack=silent", "--port=" + std::to_string(observer.port),
                            "--count=" + std::to_string(ipc_core::testing::kMaxUnauthenticatedConnections)},
                           dir.File("holder.txt")));
  ASSERT_TRUE(test_os::WaitUntil([] {
    return ipc_core::testing::UnauthenticatedConnectionCount() ==
           ipc_core::testing::kMaxUnauthenticatedConnections;
  }));
  // The second waits in the wings until this process has no descriptor
  // left: the signal is a rename, which needs none.
  const std::string ready = dir.File("go.ready");
  const std::string go = dir.File("go");
  { std::ofstream(ready) << "go"; }
  test_os::ProgramRun attacker;
  ASSERT_TRUE(attacker.Start({RoguePath(), "--attack=silent", "--port=" + std::to_string(observer.port),
                              "--count=50", "--start-when=" + go},
                             dir.File("attacker.txt")));
  const long failures_before = ipc_core::testing::AcceptFailureCount();
  const size_t records_before = RecordCount();
  if (!exhaustion.Take()) {
    attacker.KillHard();
    holder.KillHard();
    host->Stop();
    GTEST_SKIP() << "no per-process descriptor limit to exhaust here";
  }
  const auto attack_start = std::chrono::steady_clock::now();
  ASSERT_EQ(0, std::rename(ready.c_str(), go.c_str()));
  // The attacker's connections wait in the listen queue and every accept
  // fails. A listener that retried at once would fail thousands of times a
  // second; this one pauses 20, 40, 80 ms... between tries, so the fifth
  // failure cannot come sooner than 300 ms after the first (and so after the
  // attack began).
  ASSERT_TRUE(test_os::WaitUntil(
      [&] { return ipc_core::testing::AcceptFailureCount() >= failures_before + 5; }));
  EXPECT_GE(std::chrono::steady_clock::now() - attack_start, std::chrono::milliseconds(300));
  // The warnings are rate-limited: ten, then a count at the interval's end.
  EXPECT_LE(WarningsSince(records_before), 11);

  exhaustion.GiveBack();
  attacker.KillHard();
  holder.KillHard();
  ipc_core::testing::SetHelloTimeoutMs(0);
  // The listener resumes by itself: a tool with the secret gets in.
  ipc_core::IServiceClient* raw_client = nullptr;
  ASSERT_EQ(ipc_core::kOk, ipc_core::CreateServiceClient("tool", &observer, &raw_client));
  auto client = ipc_core::ipc_core_refptr<ipc_core::IServiceClient>::Adopt(raw_client);
  ASSERT_TRUE(client->ConnectToPort(observer.port, secret.c_str()));
  EXPECT_TRUE(observer.Wait(&observer.connected)) << "connect failed: " << observer.failed;
  client->Close();
  // The disconnect event comes on a runtime thread after Close returns; the
  // observer must outlive it.
  EXPECT_TRUE(observer.Wait(&observer.disconnected));
  host->Stop();
  EXPECT_TRUE(observer.Wait(&observer.stopped));
}

}  // namespace
}  // namespace snipping_tool
