#include "tests/faults/fault_support.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/path_service.h"

namespace snipping_tool {
namespace testing {

bool WaitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline)
      return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

bool RunUiUntil(TestHost& host, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
  for (;;) {
    host.RunUntilIdle();
    if (done())
      return true;
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::string JsonEscape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '"' || c == '\\')
      out += '\\';
    out += c;
  }
  return out;
}

size_t ResidentSetBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0)
      return static_cast<size_t>(std::strtoull(line.c_str() + 6, nullptr, 10)) * 1024;
  }
  return 0;
}

std::string ExecutableDir() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0)
    return ".";
  const std::string exe(path, static_cast<size_t>(length));
  return exe.substr(0, exe.rfind('/'));
}

namespace {

bool IsDead(int pid) {
  std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat_file, line))
    return true;
  // "pid (comm) state ...": the command may hold blanks and parentheses.
  const size_t close = line.rfind(')');
  return close != std::string::npos && line.size() > close + 2 && line[close + 2] == 'Z';
}

}  // namespace

bool WaitForDeadWithin(int pid, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!IsDead(pid)) {
    if (std::chrono::steady_clock::now() > deadline)
      return IsDead(pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void KillSurvivors(const std::vector<int>& pids) {
  for (const int pid : pids) {
    if (pid > 0 && !IsDead(pid))
      kill(pid, SIGKILL);
  }
}

RogueToolInstall::RogueToolInstall() {
  const std::string rogue = ExecutableDir() + "/fault_rogue_tool";
  const std::string link = dir_.path().Append("QuilloSnippingTool.exe").value();
  if (symlink(rogue.c_str(), link.c_str()) != 0)
    perror("symlink");
}

RogueToolInstall::~RogueToolInstall() {
  base::PathService::OverrideForTesting(base::DIR_MODULE, base::FilePath());
  unsetenv("ROGUE_TOOL_FAULT");
  unsetenv("ROGUE_TOOL_STAGE");
  unsetenv("ROGUE_TOOL_REPORT");
}

void RogueToolInstall::SetReportFile(const std::string& path) {
  report_ = path;
  setenv("ROGUE_TOOL_REPORT", path.c_str(), 1);
}

void RogueToolInstall::Use(const std::string& fault, const std::string& stage) {
  setenv("ROGUE_TOOL_FAULT", fault.c_str(), 1);
  setenv("ROGUE_TOOL_STAGE", stage.c_str(), 1);
  base::PathService::OverrideForTesting(base::DIR_MODULE, dir_.path());
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
