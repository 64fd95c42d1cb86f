// Only the tool the agent launched may talk to it: other local clients are
// refused in the opening exchange, whatever secret they present, and the
// running shot does not notice.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "ipc_core/service_client.h"
#include "tests/agent/agent_test_support.h"

namespace snipping_tool {
namespace {

using testing::AgentTest;

// The one-time secret the agent put into a running tool's environment.
std::string ToolSecret(int pid) {
  return test_os::EnvironmentVariableOf(pid, ipc_core::kPeerSecretEnvironmentVariable);
}

// A local client that is not the launched tool. Counted: the runtime keeps
// its observer until it is done with the connection.
class ForeignClient : public ipc_core::IServiceClientObserver {
 public:
  void AddRef() override { ++refs_; }
  void Release() override {
    if (--refs_ == 0)
      delete this;
  }
  void OnConnected(ipc_core::IServiceClient*) override { Settle(kConnected); }
  void OnConnectFailed(ipc_core::IServiceClient*, int32_t) override { Settle(kRefused); }
  void OnDisconnected(ipc_core::IServiceClient*) override {}

  // Connects with |secret| and tells whether the host let it in.
  bool TryConnect(int port, const std::string& secret) {
    ipc_core::IServiceClient* client = nullptr;
    ipc_core::CreateServiceClient("intruder", this, &client);
    EXPECT_NE(nullptr, client);
    if (!client)
      return false;
    client->ConnectToPort(port, secret.empty() ? "not-a-secret" : secret.c_str());
    std::unique_lock<std::mutex> lock(lock_);
    EXPECT_TRUE(changed_.wait_for(lock, test_os::kWaitBound, [this] { return state_ != 0; }));
    const bool connected = state_ == kConnected;
    state_ = 0;
    lock.unlock();
    client->Close();
    client->Release();
    return connected;
  }

 private:
  static constexpr int kConnected = 1;
  static constexpr int kRefused = 2;
  void Settle(int state) {
    std::lock_guard<std::mutex> lock(lock_);
    state_ = state;
    changed_.notify_all();
  }
  std::atomic<int> refs_{0};
  std::mutex lock_;
  std::condition_variable changed_;
  int state_ = 0;
};

TEST_F(AgentTest, ForeignClientsAreRefusedAndTheRunningShotGoesOn) {
  // The tool holds its shot answer back while the intruders try their luck.
  StartAgent(WithScript(R"({"at":"on_shot","do":"delay","ms":400,"shot":2})"));
  auto first = Shot();
  ASSERT_TRUE(WaitForOutcome(first));
  const std::string replayed = ToolSecret(LastToolPid());
  ASSERT_FALSE(replayed.empty());

  // A second tool, with a secret of its own; the first one's is spent.
  agent()->TerminateSnippingTool();
  auto shot = Shot();
  ASSERT_TRUE(host().RunUntil([&] {
    return !ToolTrace("recv", "snipping_tool.snipping.shot").empty() &&
           ToolTrace("recv", "snipping_tool.snipping.shot").size() == 2;
  }));
  const std::string current = ToolSecret(LastToolPid());
  ASSERT_FALSE(current.empty());
  EXPECT_NE(replayed, current);

  const int port = static_cast<int>(service_host()->port_number());
  ipc_core::ipc_core_refptr<ForeignClient> intruder(new ForeignClient());
  EXPECT_FALSE(intruder->TryConnect(port, ""));                    // no secret
  EXPECT_FALSE(intruder->TryConnect(port, std::string(32, 'a')));  // a wrong one
  EXPECT_FALSE(intruder->TryConnect(port, replayed));              // an earlier launch's
  EXPECT_FALSE(intruder->TryConnect(port, current));               // the connected tool's

  ASSERT_TRUE(WaitForOutcome(shot));
  EXPECT_EQ(1, shot->successes);
  EXPECT_EQ(0, shot->failures);
  EXPECT_FALSE(agent()->IsBroken());
  // Refused connections never reached the agent: no connection event beyond
  // the two tools', and no stop.
  int connected = 0;
  for (const std::string& line : log().Lines()) {
    connected += line.rfind("[SnippingToolAgent] OnServiceInvokerConnected", 0) == 0;
    EXPECT_EQ(std::string::npos, line.find("StopSnippingShot")) << line;
  }
  EXPECT_EQ(2, connected);
}

}  // namespace
}  // namespace snipping_tool
