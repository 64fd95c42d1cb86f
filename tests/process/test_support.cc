#include "tests/process/test_support.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/process/child_protocol.h"

namespace test_support {
namespace {

std::string ReadWholeFile(const std::string& path, bool* exists) {
  std::ifstream in(path, std::ios::binary);
  *exists = static_cast<bool>(in);
  std::stringstream text;
  if (in)
    text << in.rdbuf();
  return text.str();
}

// Every test process ends with no child left, running or zombie: what the
// tests start is ended by them, and everything that ended was reaped.
class NoChildrenLeft : public ::testing::Environment {
 public:
  void TearDown() override {
    EXPECT_TRUE(WaitUntil([] { return ChildProcesses().empty(); }))
        << "children left, running or not reaped: " << ChildProcesses().size();
  }
};

[[maybe_unused]] ::testing::Environment* const g_no_children_left =
    ::testing::AddGlobalTestEnvironment(new NoChildrenLeft);

}  // namespace

std::string ChildProgram() {
  return test_os::JoinPath(test_os::ExecutableDir(), "process_test_child" + test_os::ExecutableSuffix());
}

base::CommandLine ChildCommandLine() {
  return base::CommandLine(base::FilePath::FromUTF8Unsafe(ChildProgram()));
}

base::LaunchOptions ChildActions(const std::string& actions) {
  base::LaunchOptions options;
  options.environment[test_child::kActionsVariable] = actions;
  return options;
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  EXPECT_TRUE(static_cast<bool>(out)) << path;
}

std::string WaitForFile(const std::string& path) {
  std::string content;
  WaitUntil([&] {
    bool exists = false;
    content = ReadWholeFile(path, &exists);
    return exists;
  });
  return content;
}

int WaitForPidFile(const std::string& path) {
  return std::atoi(WaitForFile(path).c_str());
}

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
    if (kind == test_child::kArgRecord)
      report.argv.push_back(std::move(record));
    else if (kind == test_child::kEnvRecord)
      report.environment.push_back(std::move(record));
    else if (kind == test_child::kFdRecord)
      report.open_fds.push_back(std::atoi(record.c_str()));
    else
      return report;
  }
  report.parsed = true;
  return report;
}

ChildReport WaitForReport(const std::string& path) {
  return ParseReport(WaitForFile(path));
}

}  // namespace test_support
