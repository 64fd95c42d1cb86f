#include "tests/faults/fault_support.h"

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/path_service.h"

namespace snipping_tool {
namespace testing {

bool WaitFor(const std::function<bool()>& done) {
  return test_os::WaitUntil(done, test_os::kWaitBound);
}

bool RunUiUntil(TestHost& host, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + test_os::kWaitBound;
  for (;;) {
    host.RunUntilIdle();
    if (done())
      return true;
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

RogueToolInstall::RogueToolInstall() {
  const std::string rogue =
      test_os::JoinPath(test_os::ExecutableDir(), "fault_rogue_tool" + test_os::ExecutableSuffix());
  test_os::InstallProgramAs(rogue, dir_.File("QuilloSnippingTool.exe"));
}

RogueToolInstall::~RogueToolInstall() {
  base::PathService::OverrideForTesting(base::DIR_MODULE, base::FilePath());
  test_os::UnsetEnv("ROGUE_TOOL_FAULT");
  test_os::UnsetEnv("ROGUE_TOOL_STAGE");
  test_os::UnsetEnv("ROGUE_TOOL_REPORT");
}

void RogueToolInstall::SetReportFile(const std::string& path) {
  report_ = path;
  test_os::SetEnv("ROGUE_TOOL_REPORT", path);
}

void RogueToolInstall::Use(const std::string& fault, const std::string& stage) {
  test_os::SetEnv("ROGUE_TOOL_FAULT", fault);
  test_os::SetEnv("ROGUE_TOOL_STAGE", stage);
  base::PathService::OverrideForTesting(base::DIR_MODULE, base::FilePath::FromUTF8Unsafe(dir_.path()));
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

std::string RogueToolInstall::ReportLine(const std::string& prefix) const {
  for (const std::string& line : ReportLines()) {
    const size_t space = line.find(' ');
    if (space == std::string::npos)
      continue;
    const std::string text = line.substr(space + 1);
    if (text.rfind(prefix, 0) == 0)
      return text;
  }
  return "";
}

}  // namespace testing
}  // namespace snipping_tool
