#include "tests/agent/agent_test_support.h"

#include <stdlib.h>

#include <sstream>

namespace snipping_tool {
namespace testing {

void AgentTest::TearDown() {
  agent_->Uninit();
  host_.DiscardTasks();
  // Every tool this test started is gone before the next test begins.
  EXPECT_TRUE(LastToolPid() <= 0 || test_os::WaitForProcessGone(LastToolPid()));
  test_os::KillSurvivors(descendants_);
}

SnippingToolConfig AgentTest::WithScript(const std::string& steps) {
  SnippingToolConfig config;
  config.extras["reference_tool_script"] = "{\"trace_file\":\"" +
                                           test_support::JsonEscape(temp_dir_.File("trace.txt")) +
                                           "\",\"steps\":[" + steps + "]}";
  return config;
}

std::vector<TraceEvent> AgentTest::ToolTrace(const std::string& kind, const std::string& name) {
  std::vector<TraceEvent> matching;
  for (std::vector<std::string>& fields : test_support::ReadTrace(temp_dir_.File("trace.txt"))) {
    if (fields.size() == 4 && fields[1] == kind && (name.empty() || fields[2] == name))
      matching.push_back({std::move(fields[1]), std::move(fields[2]), std::move(fields[3])});
  }
  return matching;
}

std::shared_ptr<ShotOutcome> AgentTest::Shot(int screen_shot_type) {
  auto shot = std::make_shared<ShotOutcome>();
  shot->path = temp_dir_.File("shot" + std::to_string(++shot_count_) + ".png");
  agent_->SnippingShot(
      shot->path,
      [shot](const NotifySnippingShot& result) {
        ++shot->successes;
        shot->result = result;
      },
      [shot] { ++shot->failures; }, screen_shot_type, AIScreenShotRequest());
  return shot;
}

void AgentTest::ExpectStopped(const ShotOutcome& shot, const std::string& reason, bool broken) {
  host_.RunUntilIdle();
  EXPECT_EQ(1, shot.failures);
  EXPECT_EQ(0, shot.successes);
  EXPECT_TRUE(host_.HasEvent("pc_snipping_shot_broken_" + reason)) << reason;
  EXPECT_EQ(broken, agent_->IsBroken());
  EXPECT_TRUE(log_.Contains("[SnippingToolAgent] StopSnippingShot_UI reason:" + reason));
  EXPECT_TRUE(LastToolPid() <= 0 || test_os::WaitForProcessGone(LastToolPid()));
}

int AgentTest::LastToolPid() {
  int pid = 0;
  const std::string marker = " pid:";
  for (const std::string& line : log_.Lines()) {
    if (line.rfind("[SnippingToolAgent] StartProcess result", 0) != 0)
      continue;
    const size_t at = line.find(marker);
    if (at != std::string::npos)
      pid = atoi(line.c_str() + at + marker.size());
  }
  return pid;
}

}  // namespace testing
}  // namespace snipping_tool
