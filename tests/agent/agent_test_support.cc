#include "tests/agent/agent_test_support.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>

namespace snipping_tool {
namespace testing {

std::string JsonEscape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '"' || c == '\\')
      out += '\\';
    out += c;
  }
  return out;
}

AgentTest::AgentTest() {
  GetQuilloSnipingToolAgent(&agent_);
}

AgentTest::~AgentTest() = default;

void AgentTest::TearDown() {
  agent_->Uninit();
  host_.DiscardTasks();
  // Every tool this test started is gone before the next test begins.
  const int pid = LastToolPid();
  if (pid > 0) {
    EXPECT_TRUE(WaitForProcessGone(pid));
  }
}

void AgentTest::StartAgent(SnippingToolConfig config, bool use_screen_tool) {
  agent_->Init(config, &host_, use_screen_tool);
}

SnippingToolAgentServiceHost* AgentTest::service_host() {
  return static_cast<SnippingToolAgent*>(agent_)->service_host_for_testing();
}

SnippingToolConfig AgentTest::WithScript(const std::string& steps) {
  SnippingToolConfig config;
  config.extras["reference_tool_script"] = "{\"trace_file\":\"" +
                                           JsonEscape(temp_dir_.File("trace.txt")) +
                                           "\",\"steps\":[" + steps + "]}";
  return config;
}

namespace {

std::string UnescapeTraceField(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    const char next = field[++i];
    out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
  }
  return out;
}

}  // namespace

std::vector<TraceEvent> AgentTest::ToolTrace() {
  std::vector<TraceEvent> events;
  std::ifstream file(temp_dir_.File("trace.txt"));
  std::string line;
  while (std::getline(file, line)) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
      const size_t tab = line.find('\t', start);
      fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
      if (tab == std::string::npos)
        break;
      start = tab + 1;
    }
    if (fields.size() == 4)
      events.push_back({fields[1], UnescapeTraceField(fields[2]), UnescapeTraceField(fields[3])});
  }
  return events;
}

std::vector<TraceEvent> AgentTest::ToolTrace(const std::string& kind, const std::string& name) {
  std::vector<TraceEvent> matching;
  for (TraceEvent& event : ToolTrace()) {
    if (event.kind == kind && (name.empty() || event.name == name))
      matching.push_back(std::move(event));
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

bool AgentTest::WaitForOutcome(const std::shared_ptr<ShotOutcome>& shot) {
  return host_.RunUntil([&] { return shot->successes + shot->failures > 0; });
}

void AgentTest::ExpectStopped(const ShotOutcome& shot, const std::string& reason, bool broken) {
  host_.RunUntilIdle();
  EXPECT_EQ(1, shot.failures);
  EXPECT_EQ(0, shot.successes);
  EXPECT_TRUE(host_.HasEvent("pc_snipping_shot_broken_" + reason)) << reason;
  EXPECT_EQ(broken, agent_->IsBroken());
  EXPECT_TRUE(log_.Contains("[SnippingToolAgent] StopSnippingShot_UI reason:" + reason));
  const int pid = LastToolPid();
  if (pid > 0) {
    EXPECT_TRUE(WaitForProcessGone(pid));
  }
}

int AgentTest::LastToolPid() {
  int pid = 0;
  const std::string marker = " pid:";
  for (const std::string& line : log_.lines()) {
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
