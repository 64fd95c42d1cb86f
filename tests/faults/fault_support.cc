#include "tests/faults/fault_support.h"

#include <fstream>

#include "platform/path_service.h"

namespace snipping_tool {
namespace testing {

std::string RogueToolPath() {
  return test_os::JoinPath(test_os::ExecutableDir(),
                           "fault_rogue_tool" + test_os::ExecutableSuffix());
}

RogueToolInstall::RogueToolInstall() : report_(dir_.File("rogue_report.txt")) {
  test_os::InstallProgramAs(RogueToolPath(), dir_.File("QuilloSnippingTool.exe"));
  test_os::SetEnv("ROGUE_TOOL_REPORT", report_);
}

RogueToolInstall::~RogueToolInstall() {
  UseReferenceTool();
  test_os::UnsetEnv("ROGUE_TOOL_BURST_AT");
  test_os::UnsetEnv("ROGUE_TOOL_REPORT");
}

void RogueToolInstall::UseRogueTool(const std::string& stage) {
  test_os::SetEnv("ROGUE_TOOL_BURST_AT", stage);
  base::PathService::OverrideForTesting(base::DIR_MODULE,
                                        base::FilePath::FromUTF8Unsafe(dir_.path()));
}

void RogueToolInstall::UseReferenceTool() {
  base::PathService::OverrideForTesting(base::DIR_MODULE, base::FilePath());
}

std::vector<std::string> RogueToolInstall::ReportLines() const {
  std::vector<std::string> lines;
  std::ifstream file(report_);
  std::string line;
  while (std::getline(file, line))
    lines.push_back(line);
  return lines;
}

}  // namespace testing
}  // namespace snipping_tool
