#include "ipc/ipc_server/snipping_tool_process.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ipc_core/service_client.h"
#include "platform/path_service.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_child.h"
#include "tests/support/test_os.h"
#include "tests/support/test_text.h"

namespace snipping_tool {
namespace {

using test_os::kQuietPeriod;
using test_os::WaitUntil;

constexpr uint32_t kPort = 41234;
constexpr char kPrefix[] = "[SnippingToolAgent] ";

// A module directory holding the child program under the tools' names;
// each tool does what its "<name>.actions" file says.
class SnippingToolProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base::PathService::OverrideForTesting(base::DIR_MODULE,
                                          base::FilePath::FromUTF8Unsafe(dir_.path()));
  }

  void TearDown() override {
    base::PathService::OverrideForTesting(base::DIR_MODULE, base::FilePath());
  }

  std::string ToolPath(bool use_screen_tool) const {
    return dir_.File(use_screen_tool ? kVizudeDezoExecutable : kQuilloSnippingToolExecutable);
  }

  // The classic tool, doing what |actions| says.
  void InstallTool(const std::string& actions) {
    ASSERT_TRUE(test_os::InstallProgramAs(test_support::ChildProgram(), ToolPath(false)));
    SetActions(actions);
  }

  void SetActions(const std::string& actions) {
    ASSERT_TRUE(test_support::WriteFile(ToolPath(false) + ".actions", actions));
  }

  int ToolPid(const std::string& file) { return test_support::WaitForPidFile(dir_.File(file)); }

  std::string Line(const std::string& text) const { return kPrefix + text; }

  test_os::TempDir dir_;
  test_support::LogCapture log_;
};

TEST_F(SnippingToolProcessTest, MissingExecutableGivesFalseAndTheErrorLine) {
  SnippingToolProcess process;
  for (bool use_screen_tool : {false, true}) {
    log_.Clear();
    EXPECT_FALSE(process.StartProcessIfNeed(SnippingToolConfig(), kPort, use_screen_tool));
    EXPECT_FALSE(process.IsValid());
    EXPECT_EQ(log_.Lines(),
              (std::vector<std::string>{
                  Line("StartProcessIfNeed is_valid:0 port_number:" + std::to_string(kPort)),
                  Line("child process binary file not exists path:" + ToolPath(use_screen_tool))}));
    EXPECT_EQ(log_.Severities(),
              (std::vector<logging::LogSeverity>{logging::LOG_INFO, logging::LOG_ERROR}));
  }
}

TEST_F(SnippingToolProcessTest, PeerSecretReachesTheToolOnlyWhenItIsLaunched) {
  InstallTool("report " + dir_.File("report") + "\nwait-forever");
  SnippingToolProcess process;
  std::vector<uint64_t> launches;
  auto make_secret = [&launches](uint64_t launch) {
    launches.push_back(launch);
    return std::string("s3cr3t-") + std::to_string(launch);
  };
  ASSERT_TRUE(process.StartProcessIfNeed(SnippingToolConfig(), kPort, false, make_secret));
  const test_support::ChildReport report = test_support::WaitForReport(dir_.File("report"));
  ASSERT_TRUE(report.parsed);
  const std::string expected =
      std::string(ipc_core::kPeerSecretEnvironmentVariable) + "=s3cr3t-1";
  EXPECT_NE(std::find(report.environment.begin(), report.environment.end(), expected),
            report.environment.end());
  // A start that finds a running tool, of any launch or of the one its
  // caller keeps, launches nothing and makes no secret.
  ASSERT_TRUE(process.StartProcessIfNeed(SnippingToolConfig(), kPort + 1, false, make_secret));
  ASSERT_TRUE(process.StartProcessIfNeed(SnippingToolConfig(), kPort, false, make_secret, 1));
  EXPECT_EQ(launches, std::vector<uint64_t>{1});

  // The caller has ended launch 1 and its reset is still on the way: the
  // next start replaces that tool, and the late reset of launch 1 leaves
  // the new tool alone.
  ASSERT_TRUE(process.StartProcessIfNeed(SnippingToolConfig(), kPort, false, make_secret, 0));
  EXPECT_EQ(launches, (std::vector<uint64_t>{1, 2}));
  process.ResetStatus(1);
  process.CancelExitWait(1);
  EXPECT_TRUE(process.IsValid());
  process.ResetStatus(2);
  EXPECT_FALSE(process.IsValid());
  process.CancelExitWait();
}

TEST_F(SnippingToolProcessTest, ToolEndingByItselfIsNoticedAndTheNextEndsWithTheObject) {
  InstallTool("exit 3");
  auto process = std::make_unique<SnippingToolProcess>();
  ASSERT_TRUE(process->StartProcessIfNeed(SnippingToolConfig(), kPort, false));
  ASSERT_TRUE(log_.WaitForLine("ResetStatus"));
  EXPECT_TRUE(WaitUntil([&] { return !process->IsValid(); }));

  std::vector<std::string> lines = log_.Lines();
  const auto watch_line = std::find(lines.begin(), lines.end(),
                                    Line("WaitForProcessExit TimerOrWaitFired:0"));
  ASSERT_NE(watch_line, lines.end());
  EXPECT_EQ(std::vector<std::string>(watch_line, lines.end()),
            (std::vector<std::string>{Line("WaitForProcessExit TimerOrWaitFired:0"),
                                      Line("OnProcessExit"), Line("ResetStatus")}));

  // The next start launches a new tool, which ends with the object.
  SetActions("write-pid " + dir_.File("pid") + "\nwait-forever");
  log_.Clear();
  EXPECT_TRUE(process->StartProcessIfNeed(SnippingToolConfig(), kPort, false));
  EXPECT_TRUE(process->IsValid());
  const int tool = ToolPid("pid");
  EXPECT_GT(tool, 0);
  EXPECT_EQ(log_.LinesContaining("StartProcess result is_valid:1").size(), 1u);
  process.reset();
  EXPECT_TRUE(test_os::WaitForProcessEnd(tool));
}

TEST_F(SnippingToolProcessTest, LaunchFailureReportsTheSystemError) {
  for (const test_os::UnlaunchableProgram& tool : test_os::UnlaunchablePrograms()) {
    if (!tool.exists)
      continue;  // A missing tool is not launched at all (above).
    SCOPED_TRACE(tool.what);
    const std::string path = ToolPath(false);
    std::remove(path.c_str());
    ASSERT_TRUE(test_os::WriteUnlaunchableProgram(tool, path));
    SnippingToolProcess process;
    log_.Clear();
    EXPECT_FALSE(process.StartProcessIfNeed(SnippingToolConfig(), kPort, false));
    EXPECT_FALSE(process.IsValid());
    EXPECT_EQ(log_.LinesContaining("StartProcess result"),
              (std::vector<std::string>{Line("StartProcess result is_valid:0 pid:0 snipping_tool_path:" +
                                             path + " last_error:" + std::to_string(tool.error))}));
    // No exit wait: nothing reports an end.
    EXPECT_FALSE(WaitUntil(
        [&] { return !log_.LinesContaining("WaitForProcessExit").empty(); }, kQuietPeriod))
        << "an exit wait fired after a failed launch";
    process.ResetStatus();
  }
}

// With launches readied ahead, each launch takes the job readied for it (on
// POSIX a second keeper beside the tool's would show as a second child), a
// reset readies the next, and turning it off leaves no process of ours.
TEST_F(SnippingToolProcessTest, ReadiedLaunchesTakeTheirJobAndLeaveNothingWhenTurnedOff) {
  InstallTool("wait-forever");
  SnippingToolProcess process;
  process.SetPrepareLaunches(true);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(process.StartProcessIfNeed(SnippingToolConfig(), kPort, false));
    EXPECT_TRUE(WaitUntil([] { return test_os::LaunchedProcesses().size() == 1; }));
    EXPECT_EQ(test_os::ChildProcesses().size(), 1u);
    process.ResetStatus();
    process.CancelExitWait();
    EXPECT_TRUE(WaitUntil([] { return test_os::LaunchedProcesses().empty(); }));
  }
  process.SetPrepareLaunches(false);
  EXPECT_TRUE(WaitUntil([] { return test_os::ChildProcesses().empty(); }))
      << test_os::ChildProcesses().size() << " children left";
  // Readying a job, its keeper started ahead where there is one, succeeded.
  const std::vector<logging::LogSeverity> severities = log_.Severities();
  EXPECT_EQ(std::count(severities.begin(), severities.end(), logging::LOG_INFO),
            static_cast<long>(severities.size()));
}

TEST_F(SnippingToolProcessTest, StartsAndResetsFromManyThreadsHoldAtMostOneTool) {
  InstallTool("sleep 5\nexit 0");
  SnippingToolProcess process;
  constexpr int kThreads = 4;
  constexpr int kRounds = 15;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&process, t] {
      for (int round = 0; round < kRounds; ++round) {
        process.StartProcessIfNeed(SnippingToolConfig(), kPort, false);
        if ((round + t) % 3 == 0) {
          process.ResetStatus();
          process.CancelExitWait();
        }
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  // Whatever interleaving happened, at most one tool may remain.
  // (Tools ended by a reset may take a moment to be reaped.)
  EXPECT_TRUE(WaitUntil([] { return test_os::ChildProcesses().size() <= 1; }));
  process.ResetStatus();
  process.CancelExitWait();
}

// Faults that were found and fixed.
using SnippingToolProcessRegressionTest = SnippingToolProcessTest;

TEST_F(SnippingToolProcessRegressionTest, LateExitNoticeLeavesARunningToolAlone) {
  // A notice of an earlier tool's end that arrives once a new tool runs
  // (its wait was dropped while the callback was already under way) must
  // not reset the new tool.
  InstallTool("wait-forever");
  SnippingToolProcess process;
  ASSERT_TRUE(process.StartProcessIfNeed(SnippingToolConfig(), kPort, false));
  log_.Clear();
  SnippingToolProcess::WaitForProcessExit(&process, 0);
  EXPECT_TRUE(process.IsValid());
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{Line("WaitForProcessExit TimerOrWaitFired:0"),
                                                    Line("OnProcessExit")}));
  // A notice without an object only logs.
  log_.Clear();
  SnippingToolProcess::WaitForProcessExit(nullptr, 1);
  EXPECT_EQ(log_.Lines(),
            (std::vector<std::string>{Line("WaitForProcessExit TimerOrWaitFired:1")}));
  EXPECT_TRUE(process.IsValid());
  process.ResetStatus();
  process.CancelExitWait();
}

}  // namespace
}  // namespace snipping_tool
