// A fixture for driving the agent through its facade with the real
// reference tool.
#ifndef TESTS_AGENT_AGENT_TEST_SUPPORT_H_
#define TESTS_AGENT_AGENT_TEST_SUPPORT_H_

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/snipping_tool_agent.h"
#include "ipc/ipc_server/snipping_tool_agent_service_host.h"
#include "tests/agent/test_host.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_os.h"
#include "tests/support/test_text.h"

namespace snipping_tool {
namespace testing {

// The reference tool's event code for a captured and written screenshot.
constexpr int kToolEventCaptured = 1;

// What happened to one SnippingShot request.
struct ShotOutcome {
  std::string path;
  int successes = 0;
  int failures = 0;
  NotifySnippingShot result;
};

using test_os::TempDir;
using test_os::WaitForProcessGone;
// Waits until |pid| has ended: gone, or a zombie waiting for a parent that
// is not ours to reap it (a grandchild handed to the system's reaper).
inline bool WaitForProcessDead(int pid) {
  return test_os::WaitForProcessEnd(pid);
}

using test_support::JsonEscape;

// One line of the reference tool's trace.
struct TraceEvent {
  std::string kind;
  std::string name;
  std::string text;
};

class AgentTest : public ::testing::Test {
 protected:
  AgentTest() { GetQuilloSnipingToolAgent(&agent_); }
  void TearDown() override;

  // Initialises the agent with |config| (a reference-tool script, if any,
  // goes into config.extras).
  void StartAgent(SnippingToolConfig config = SnippingToolConfig(), bool use_screen_tool = false) {
    agent_->Init(config, &host_, use_screen_tool);
  }
  // A configuration whose extras carry a reference-tool script with these
  // steps (a JSON array's elements) and a trace file in the temp dir.
  SnippingToolConfig WithScript(const std::string& steps);
  // What the tool wrote to its trace so far.
  std::vector<TraceEvent> ToolTrace();
  // The events of |kind| (and |name|, when not empty).
  std::vector<TraceEvent> ToolTrace(const std::string& kind, const std::string& name = "");
  // Asks for a shot into a fresh path under the test's temp dir.
  std::shared_ptr<ShotOutcome> Shot(int screen_shot_type = 4);
  // Runs the UI thread until the shot has succeeded or failed.
  bool WaitForOutcome(const std::shared_ptr<ShotOutcome>& shot) {
    return host_.RunUntil([&] { return shot->successes + shot->failures > 0; });
  }
  // The shot failed once with |reason|, the event named it, the broken state
  // is as expected and the tool process is gone.
  void ExpectStopped(const ShotOutcome& shot, const std::string& reason, bool broken);
  // The pid of the last tool started, from the launch log line; 0 if none.
  int LastToolPid();

  ISnippingToolAgent* agent() { return agent_; }
  SnippingToolAgentServiceHost* service_host() {
    return static_cast<SnippingToolAgent*>(agent_)->service_host_for_testing();
  }
  TestHost& host() { return host_; }
  test_support::LogCapture& log() { return log_; }
  const TempDir& temp_dir() { return temp_dir_; }

 private:
  test_support::LogCapture log_;
  TestHost host_;
  TempDir temp_dir_;
  ISnippingToolAgent* agent_ = nullptr;
  int shot_count_ = 0;
};

}  // namespace testing
}  // namespace snipping_tool

#endif  // TESTS_AGENT_AGENT_TEST_SUPPORT_H_
