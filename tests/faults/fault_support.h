// Helpers of the fault tests: the rogue tool put where the agent looks for
// its tool, and small waits and probes of this process.
#ifndef TESTS_FAULTS_FAULT_SUPPORT_H_
#define TESTS_FAULTS_FAULT_SUPPORT_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "tests/agent/agent_test_support.h"

namespace snipping_tool {
namespace testing {

// Polls |done| without running any task of the test's UI thread, until it
// holds or test_os::kWaitBound has passed.
bool WaitFor(const std::function<bool()>& done);

// Runs the UI thread's due tasks until |done| holds or test_os::kWaitBound has
// passed. Unlike TestHost::RunUntil, |done| never runs under the host's lock,
// so it may ask the host what it recorded even when the wait times out.
bool RunUiUntil(TestHost& host, const std::function<bool()>& done);

using test_os::ExecutableDir;
using test_os::KillSurvivors;
using test_os::ResidentSetBytes;
// True once |pid| has ended (gone, or a zombie its parent has yet to reap),
// polling for at most |bound|. For ends that a signal brings about at once,
// where the general test_os::kWaitBound would only make a failure slow.
inline bool WaitForDeadWithin(int pid, std::chrono::milliseconds bound) {
  return test_os::WaitForProcessEnd(pid, bound);
}

// A module directory in which the agent finds the rogue tool under the
// tool's file name. The rogue's orders travel in its environment, which it
// inherits from this process at launch; they are set only between shots,
// while no launch reads the environment.
class RogueToolInstall {
 public:
  RogueToolInstall();
  ~RogueToolInstall();
  RogueToolInstall(const RogueToolInstall&) = delete;
  RogueToolInstall& operator=(const RogueToolInstall&) = delete;

  // Where the rogue tools launched from now on write their reports.
  void SetReportFile(const std::string& path);
  // The agent launches the rogue tool, told to do |fault| at |stage|.
  void Use(const std::string& fault, const std::string& stage);
  // The agent launches the reference tool from the build's directory.
  void UseReferenceTool();
  // The text of the first report line that begins with |prefix| (after the
  // pid that opens every line), or "" when there is none yet.
  std::string ReportLine(const std::string& prefix) const;
  // Every report line, pids included.
  std::vector<std::string> ReportLines() const;

 private:
  TempDir dir_;
  std::string report_;
};

}  // namespace testing
}  // namespace snipping_tool

#endif  // TESTS_FAULTS_FAULT_SUPPORT_H_
