#include "tests/support/test_child.h"

#include <cstdlib>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/support/test_os.h"
#include "tests/support/test_text.h"

namespace test_support {
namespace {

// Every test program that starts the child ends with no child left, running
// or zombie: what the tests start is ended by them, and everything that
// ended was reaped.
class NoChildrenLeft : public ::testing::Environment {
 public:
  void TearDown() override {
    EXPECT_TRUE(test_os::WaitUntil([] { return test_os::ChildProcesses().empty(); }))
        << "children left, running or not reaped: " << test_os::ChildProcesses().size();
  }
};

[[maybe_unused]] ::testing::Environment* const g_no_children_left =
    ::testing::AddGlobalTestEnvironment(new NoChildrenLeft);

ChildReport ParseReport(const std::string& text) {
  ChildReport report;
  std::istringstream records(text);
  for (std::string record; std::getline(records, record, '\0');) {
    if (record.empty())
      return report;
    const std::string value = record.substr(1);
    if (record[0] == kArgRecord)
      report.argv.push_back(value);
    else if (record[0] == kEnvRecord)
      report.environment.push_back(value);
    else if (record[0] == kFdRecord)
      report.open_fds.push_back(std::atoi(value.c_str()));
    else
      return report;
  }
  report.parsed = !text.empty();
  return report;
}

// The files are written whole, through a rename.
std::string WaitForFile(const std::string& path) {
  test_os::WaitUntil([&] { return test_os::FileHasContent(path); });
  return ReadFile(path);
}

}  // namespace

std::string ChildProgram() {
  return test_os::JoinPath(test_os::ExecutableDir(), "test_child" + test_os::ExecutableSuffix());
}

base::CommandLine ChildCommandLine() {
  return base::CommandLine(base::FilePath::FromUTF8Unsafe(ChildProgram()));
}

base::LaunchOptions ChildActions(const std::string& actions) {
  base::LaunchOptions options;
  options.environment[kActionsVariable] = actions;
  return options;
}

int WaitForPidFile(const std::string& path) {
  return std::atoi(WaitForFile(path).c_str());
}

ChildReport WaitForReport(const std::string& path) {
  return ParseReport(WaitForFile(path));
}

}  // namespace test_support
