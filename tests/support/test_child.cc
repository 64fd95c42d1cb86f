#include "tests/support/test_child.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/support/test_os.h"

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
  size_t at = 0;
  while (at < text.size()) {
    const char kind = text[at++];
    const size_t blank = text.find(' ', at);
    if (blank == std::string::npos)
      return report;
    const size_t length = std::strtoul(text.substr(at, blank - at).c_str(), nullptr, 10);
    if (blank + 1 + length + 1 > text.size() || text[blank + 1 + length] != '\n')
      return report;
    std::string record = text.substr(blank + 1, length);
    at = blank + 1 + length + 1;
    if (kind == kArgRecord)
      report.argv.push_back(std::move(record));
    else if (kind == kEnvRecord)
      report.environment.push_back(std::move(record));
    else if (kind == kFdRecord)
      report.open_fds.push_back(std::atoi(record.c_str()));
    else
      return report;
  }
  report.parsed = true;
  return report;
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

std::string WaitForFile(const std::string& path) {
  std::string content;
  test_os::WaitUntil([&] {
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    if (!in)
      return false;
    std::stringstream text;
    text << in.rdbuf();
    content = text.str();
    return true;
  });
  return content;
}

int WaitForPidFile(const std::string& path) {
  return std::atoi(WaitForFile(path).c_str());
}

ChildReport WaitForReport(const std::string& path) {
  return ParseReport(WaitForFile(path));
}

}  // namespace test_support
