// The rogue tool of this folder, put where the agent looks for its tool.
#ifndef TESTS_FAULTS_FAULT_SUPPORT_H_
#define TESTS_FAULTS_FAULT_SUPPORT_H_

#include <string>
#include <vector>

#include "tests/agent/agent_test_support.h"

namespace snipping_tool {
namespace testing {

// The path of the rogue tool next to the test executable.
std::string RogueToolPath();

// A module directory in which the agent finds the rogue tool under the
// tool's file name, once told to use it (until then, the reference tool).
// Its orders travel in the environment it inherits at launch, so they are
// set only between shots.
class RogueToolInstall {
 public:
  RogueToolInstall();
  ~RogueToolInstall();
  RogueToolInstall(const RogueToolInstall&) = delete;
  RogueToolInstall& operator=(const RogueToolInstall&) = delete;

  // The agent launches the rogue tool, told to burst at |stage| (if any).
  void UseRogueTool(const std::string& stage = "");
  // The agent launches the reference tool from the build's directory.
  void UseReferenceTool();
  // Every line the rogue tools launched so far reported ("<pid> <text>").
  std::vector<std::string> ReportLines() const;

 private:
  TempDir dir_;
  std::string report_;
};

}  // namespace testing
}  // namespace snipping_tool

#endif  // TESTS_FAULTS_FAULT_SUPPORT_H_
