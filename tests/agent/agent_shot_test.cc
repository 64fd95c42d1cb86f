// The whole shot flow through the facade, with the real reference tool as a
// child process and real loopback sockets.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "agent/snipping_tool_agent.h"
#include "ipc/ipc_server/snipping_tool_agent_service_host.h"
#include "ipc_core/testing.h"
#include "platform/file_path.h"
#include "platform/path_service.h"
#include "tests/agent/agent_test_support.h"

namespace snipping_tool {
namespace {

using testing::AgentTest;
using test_os::TempDir;

TEST_F(AgentTest, ColdShotSucceedsAndWarmShotSkipsTheStartUp) {
  StartAgent();
  auto cold = Shot();
  ASSERT_TRUE(WaitForOutcome(cold));
  EXPECT_EQ(1, cold->successes);
  EXPECT_EQ(0, cold->failures);
  EXPECT_FALSE(agent()->IsBroken());
  // Event 1: captured; with a display the file is there.
  if (cold->result.snipping_event == 1) {
    EXPECT_EQ(cold->path, cold->result.image_file_path);
    EXPECT_TRUE(test_os::FileHasContent(cold->path));
  } else {
    EXPECT_TRUE(cold->result.image_file_path.empty());
  }
  EXPECT_EQ(1, host().result_arrived_count());

  log().Clear();
  const size_t delayed_before = host().delayed_task_count();
  auto warm = Shot();
  ASSERT_TRUE(WaitForOutcome(warm));
  EXPECT_EQ(1, warm->successes);
  for (const char* stage : {"PrepareHost", "PrepareSnippingTool", "OnHandleshake"})
    EXPECT_FALSE(log().Contains(std::string("[SnippingToolAgent] ") + stage)) << stage;
  // While the tool stays connected a new shot arms no time-out.
  EXPECT_EQ(delayed_before, host().delayed_task_count());
}

TEST_F(AgentTest, ExecutableMissingStopsWithStartProcess) {
  TempDir empty;
  base::PathService::OverrideForTesting(base::DIR_MODULE, base::FilePath::FromUTF8Unsafe(empty.path()));
  StartAgent();
  auto shot = Shot();
  ASSERT_TRUE(WaitForOutcome(shot));
  base::PathService::OverrideForTesting(base::DIR_MODULE, base::FilePath());
  ExpectStopped(*shot, "start_process", /*broken=*/true);
}

TEST_F(AgentTest, ServiceHostThatCannotStartStopsWithPortFailure) {
  ipc_core::testing::FailNextStart(ipc_core::kErrorListenFailed);
  StartAgent();
  auto shot = Shot();
  ASSERT_TRUE(WaitForOutcome(shot));
  ExpectStopped(*shot, "port_failure", /*broken=*/true);
  EXPECT_TRUE(log().Contains("[SnippingToolAgent] OnServiceHostStartFailure error_code:" +
                            std::to_string(ipc_core::kErrorListenFailed)));
}

TEST_F(AgentTest, ServiceHostThatCannotBeCreatedStopsWithPortFailure) {
  ipc_core::testing::FailNextCreate(ipc_core::kErrorNotStarted);
  StartAgent();
  auto shot = Shot();
  ASSERT_TRUE(WaitForOutcome(shot));
  ExpectStopped(*shot, "port_failure", /*broken=*/true);
  EXPECT_TRUE(log().Contains("[SnippingToolAgent] PrepareHost CreateServiceHost failed"));
  // No port time-out was armed for a host that does not exist.
  EXPECT_EQ(0u, host().delayed_task_count());
}

TEST_F(AgentTest, PortThatComesTooLateStopsWithPortTimeout) {
  ipc_core::testing::SetStartSuccessDelayMs(300);
  StartAgent();
  auto shot = Shot();
  host().AdvanceTime(service_host()->ipc_prepare_port_timeout());
  ASSERT_TRUE(WaitForOutcome(shot));
  ipc_core::testing::SetStartSuccessDelayMs(0);
  ExpectStopped(*shot, "port_timeout", /*broken=*/true);

  // A shot after SetBroken(false) finds the service host without a port: it
  // arms the port time-out again instead of hanging. The late port arrives
  // meanwhile, so this time the tool starts.
  agent()->SetBroken(false);
  ASSERT_TRUE(host().RunUntil([&] { return service_host()->port_number() != 0; }));
  auto next = Shot();
  ASSERT_TRUE(WaitForOutcome(next));
  EXPECT_EQ(1, next->successes);
}

TEST_F(AgentTest, InitUninitCyclesLeaveNoHandleThreadOrChildBehind) {
  int destroyed = 0;
  auto cycle = [&] {
    StartAgent();
    auto shot = Shot();
    ASSERT_TRUE(WaitForOutcome(shot));
    EXPECT_EQ(1, shot->successes);
    agent()->Uninit();
    host().DiscardTasks();
    ++destroyed;
    // The service host goes once its pending invoke is done; its
    // destruction stops the IPC service host.
    ASSERT_TRUE(host().RunUntil([&] {
      int ends = 0;
      for (const std::string& line : log().Lines())
        ends += line == "[SnippingToolAgent] WaitForStop end";
      return ends == destroyed;
    }));
  };
  cycle();
  ASSERT_TRUE(host().RunUntil([] { return test_os::ChildProcesses().empty(); }));
  const int threads = test_os::CountThreads();
  const int handles = test_os::CountOpenHandles();
  // A leak of one handle or thread per cycle shows as a count that grew.
  constexpr int kCycles = 20;
  for (int i = 0; i < kCycles && !HasFatalFailure(); ++i)
    cycle();
  EXPECT_TRUE(host().RunUntil([] { return test_os::ChildProcesses().empty(); }));
  // Windows waits for the tool's end on the system's thread pool, whose
  // idle threads leave some seconds after their last wait; the agent's own
  // threads are gone at once.
  EXPECT_TRUE(host().RunUntil([&] { return test_os::CountThreads() <= threads; }))
      << test_os::CountThreads() << " threads, " << threads << " before";
  EXPECT_EQ(threads, test_os::CountThreads());
  EXPECT_EQ(handles, test_os::CountOpenHandles());
}

}  // namespace
}  // namespace snipping_tool
