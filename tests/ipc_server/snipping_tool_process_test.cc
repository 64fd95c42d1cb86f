#include "ipc/ipc_server/snipping_tool_process.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/ipc_server/launch_switches.h"
#include "ipc_core/service_client.h"
#include "platform/command_line.h"
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

  void InstallTool(bool use_screen_tool, const std::string& actions) {
    const std::string path = ToolPath(use_screen_tool);
    std::remove(path.c_str());
    ASSERT_TRUE(test_os::InstallProgramAs(test_support::ChildProgram(), path));
    SetActions(use_screen_tool, actions);
  }

  void SetActions(bool use_screen_tool, const std::string& actions) {
    ASSERT_TRUE(test_support::WriteFile(ToolPath(use_screen_tool) + ".actions", actions));
  }

  // The pid the running tool wrote into |file|.
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
  // With no tool, a reset only logs.
  log_.Clear();
  process.ResetStatus();
  process.CancelExitWait();
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{Line("ResetStatus")}));
  EXPECT_FALSE(process.IsValid());
}

TEST_F(SnippingToolProcessTest, EachFlagStartsItsOwnExecutableWithItsSwitchesByteForByte) {
  SnippingToolConfig config;
  config.env = "env with \"quotes\" and  blanks";
  config.version = "1.2 \\\"x\\\"";
  config.user_id = 42;
  config.log_file = "/home/u/My Data/logs/a \"b\".log";
  config.dui_config = R"({"lang":"zh CN \"s\""})";
  config.pass_channel_port = true;
  config.enable_ai_recognize = true;
  config.features = {{7, true}};
  config.extras = {{"k y", "v \"w\""}};
  for (bool use_screen_tool : {false, true}) {
    SCOPED_TRACE(use_screen_tool ? "screen tool" : "classic tool");
    InstallTool(use_screen_tool, "report " + dir_.File("report") + "\nwrite-pid " + dir_.File("pid") +
                                     "\nwait-forever");
    // Only the executable chosen by the flag exists.
    std::remove(ToolPath(!use_screen_tool).c_str());
    SnippingToolProcess process;
    log_.Clear();
    ASSERT_TRUE(process.StartProcessIfNeed(config, kPort, use_screen_tool));
    const int pid = ToolPid("pid");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(log_.LinesContaining("StartProcess result"),
              std::vector<std::string>{Line("StartProcess result is_valid:1 pid:" + std::to_string(pid) +
                                            " snipping_tool_path:" + ToolPath(use_screen_tool) +
                                            " last_error:0")});
    const test_support::ChildReport report = test_support::WaitForReport(dir_.File("report"));
    ASSERT_TRUE(report.parsed);
    base::CommandLine expected(base::FilePath::FromUTF8Unsafe(ToolPath(use_screen_tool)));
    if (use_screen_tool)
      AppendVizudeDezoSwitches(config, kPort, &expected);
    else
      AppendClassicSwitches(config, kPort, &expected);
    std::vector<std::string> expected_utf8;
    for (const base::CommandLine::StringType& argument : expected.argv())
      expected_utf8.push_back(base::FilePath(argument).AsUTF8Unsafe());
    EXPECT_EQ(report.argv, expected_utf8);
    process.ResetStatus();
    process.CancelExitWait();
    std::remove(dir_.File("pid").c_str());
    std::remove(dir_.File("report").c_str());
  }
}

TEST_F(SnippingToolProcessTest, PeerSecretReachesTheToolOnlyWhenItIsLaunched) {
  InstallTool(false, "report " + dir_.File("report") + "\nwait-forever");
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
  // A start that finds the tool of the launch its caller keeps launches
  // nothing and makes no secret.
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

TEST_F(SnippingToolProcessTest, SecondStartWhileRunningStartsNothing) {
  InstallTool(false, "write-pid " + dir_.File("pid") + "\nwait-forever");
  SnippingToolProcess process;
  ASSERT_TRUE(process.StartProcessIfNeed(SnippingToolConfig(), kPort, false));
  const int first = ToolPid("pid");
  ASSERT_GT(first, 0);

  log_.Clear();
  SnippingToolConfig changed;
  changed.env = "changed";
  EXPECT_TRUE(process.StartProcessIfNeed(changed, kPort + 1, false));
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{Line(
                              "StartProcessIfNeed is_valid:1 port_number:" +
                              std::to_string(kPort + 1))}));
  // Still the one tool, and no second one launched.
  EXPECT_TRUE(
      WaitUntil([&] { return test_os::LaunchedProcesses() == std::vector<int>{first}; }));
  process.ResetStatus();
  process.CancelExitWait();
}

TEST_F(SnippingToolProcessTest, ToolEndingByItselfIsNoticedAndTheNextEndsWithTheObject) {
  InstallTool(false, "exit 3");
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
  SetActions(false, "write-pid " + dir_.File("pid") + "\nwait-forever");
  log_.Clear();
  EXPECT_TRUE(process->StartProcessIfNeed(SnippingToolConfig(), kPort, false));
  EXPECT_TRUE(process->IsValid());
  const int tool = ToolPid("pid");
  EXPECT_GT(tool, 0);
  EXPECT_EQ(log_.LinesContaining("StartProcess result is_valid:1").size(), 1u);
  process.reset();
  EXPECT_TRUE(test_os::WaitForProcessEnd(tool));
}

TEST_F(SnippingToolProcessTest, ResetStatusEndsTheToolAndWhatItStarted) {
  InstallTool(false, "write-pid " + dir_.File("pid") + "\ngrandchild " + dir_.File("grandchild") +
                         "\nwait-forever");
  SnippingToolProcess process;
  ASSERT_TRUE(process.StartProcessIfNeed(SnippingToolConfig(), kPort, false));
  const int tool = ToolPid("pid");
  const int grandchild = ToolPid("grandchild");
  ASSERT_GT(tool, 0);
  ASSERT_GT(grandchild, 0);
  ASSERT_TRUE(test_os::ProcessRunning(grandchild));

  log_.Clear();
  process.ResetStatus();
  EXPECT_FALSE(process.IsValid());
  EXPECT_TRUE(test_os::WaitForProcessEnd(tool));
  EXPECT_TRUE(test_os::WaitForProcessEnd(grandchild));
  EXPECT_EQ(log_.Lines().front(), Line("ResetStatus"));
  process.CancelExitWait();
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
    bool secret_made = false;
    EXPECT_FALSE(process.StartProcessIfNeed(SnippingToolConfig(), kPort, false, [&](uint64_t) {
      secret_made = true;
      return std::string("x");
    }));
    EXPECT_TRUE(secret_made);
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
  InstallTool(false, "wait-forever");
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
}

TEST_F(SnippingToolProcessTest, StartsAndResetsFromManyThreadsHoldAtMostOneTool) {
  InstallTool(false, "sleep 5\nexit 0");
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
  InstallTool(false, "wait-forever");
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
