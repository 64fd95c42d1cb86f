// The rogue tool of this folder, put where the agent looks for its tool.
#ifndef TESTS_FAULTS_FAULT_SUPPORT_H_
#define TESTS_FAULTS_FAULT_SUPPORT_H_

#include <fstream>
#include <string>
#include <vector>

#include "platform/path_service.h"
#include "tests/agent/agent_test_support.h"
#include "tests/support/test_text.h"

namespace snipping_tool {
namespace testing {

// The path of the rogue tool next to the test executable.
inline std::string RogueToolPath() {
  return test_os::JoinPath(test_os::ExecutableDir(),
                           "fault_rogue_tool" + test_os::ExecutableSuffix());
}

// A module directory in which the agent finds the rogue tool under the
// tool's file name, once told to use it (until then, the reference tool).
// Its orders are in a file, not in the environment, which a runtime thread
// may be reading to start a process at any moment.
class RogueToolInstall {
 public:
  RogueToolInstall() : report_(dir_.File("rogue_report.txt")), orders_(dir_.File("burst_at")) {
    test_os::InstallProgramAs(RogueToolPath(), dir_.File("QuilloSnippingTool.exe"));
    test_os::SetEnv("ROGUE_TOOL_REPORT", report_);
    test_os::SetEnv("ROGUE_TOOL_BURST_AT", orders_);
  }
  ~RogueToolInstall() {
    UseReferenceTool();
    test_os::UnsetEnv("ROGUE_TOOL_BURST_AT");
    test_os::UnsetEnv("ROGUE_TOOL_REPORT");
  }
  RogueToolInstall(const RogueToolInstall&) = delete;
  RogueToolInstall& operator=(const RogueToolInstall&) = delete;

  // The agent launches the rogue tool, told to burst at |stage| (if any).
  void UseRogueTool(const std::string& stage = "") {
    test_support::WriteFile(orders_, stage);
    base::PathService::OverrideForTesting(base::DIR_MODULE,
                                          base::FilePath::FromUTF8Unsafe(dir_.path()));
  }
  // The agent launches the reference tool from the build's directory.
  void UseReferenceTool() {
    base::PathService::OverrideForTesting(base::DIR_MODULE, base::FilePath());
  }
  // Every line the rogue tools launched so far reported ("<pid> <text>").
  std::vector<std::string> ReportLines() const {
    std::vector<std::string> lines;
    std::ifstream file(report_);
    for (std::string line; std::getline(file, line);)
      lines.push_back(line);
    return lines;
  }

 private:
  test_os::TempDir dir_;
  const std::string report_, orders_;
};

}  // namespace testing
}  // namespace snipping_tool

#endif  // TESTS_FAULTS_FAULT_SUPPORT_H_
