#include "tests/process/test_support.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/process/child_protocol.h"

namespace test_support {
namespace {

constexpr std::chrono::milliseconds kPollInterval{2};

std::string ReadWholeFile(const std::string& path, bool* exists) {
  std::ifstream in(path, std::ios::binary);
  *exists = static_cast<bool>(in);
  std::stringstream text;
  if (in)
    text << in.rdbuf();
  return text.str();
}

void RemoveTree(const std::string& path) {
  if (DIR* dir = opendir(path.c_str())) {
    while (struct dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..")
        continue;
      const std::string child = path + "/" + name;
      if (entry->d_type == DT_DIR)
        RemoveTree(child);
      else
        unlink(child.c_str());
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}

// Fields of /proc/<pid>/stat after the command name, which may hold blanks
// and parentheses: the state, then the parent's pid.
bool ReadStat(pid_t pid, char* state, pid_t* parent) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(in, text);
  const size_t end_of_name = text.rfind(')');
  if (end_of_name == std::string::npos)
    return false;
  std::istringstream rest(text.substr(end_of_name + 1));
  return static_cast<bool>(rest >> *state >> *parent);
}

std::vector<pid_t> Children(bool zombies_only) {
  std::vector<pid_t> result;
  DIR* proc = opendir("/proc");
  if (!proc)
    return result;
  const pid_t self = getpid();
  while (struct dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    char state = 0;
    pid_t parent = 0;
    if (pid > 0 && ReadStat(pid, &state, &parent) && parent == self &&
        (!zombies_only || state == 'Z')) {
      result.push_back(pid);
    }
  }
  closedir(proc);
  return result;
}

// Every test process ends with no child left, running or zombie: what the
// tests start is ended by them, and everything that ended was reaped.
class NoChildrenLeft : public ::testing::Environment {
 public:
  void TearDown() override {
    EXPECT_TRUE(WaitUntil([] { return ZombieChildPids().empty(); }))
        << "zombie children: " << ZombieChildPids().size();
    EXPECT_TRUE(WaitUntil([] { return ChildPids().empty(); }))
        << "children still running: " << ChildPids().size();
  }
};

[[maybe_unused]] ::testing::Environment* const g_no_children_left =
    ::testing::AddGlobalTestEnvironment(new NoChildrenLeft);

}  // namespace

std::string ChildProgram() {
  return TEST_CHILD_PROGRAM;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return condition();
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/snipping_test_XXXXXX";
  if (mkdtemp(pattern.data()))
    path_ = pattern;
  EXPECT_FALSE(path_.empty()) << "mkdtemp failed, errno " << errno;
}

TempDir::~TempDir() {
  if (!path_.empty())
    RemoveTree(path_);
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

pid_t WaitForPidFile(const std::string& path) {
  return static_cast<pid_t>(std::atoi(WaitForFile(path).c_str()));
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

int OpenPidfd(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

bool WaitForPidfdExit(int pidfd, std::chrono::milliseconds limit) {
  struct pollfd entry = {pidfd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&entry, 1, static_cast<int>(limit.count()));
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

bool IsAlive(pid_t pid) {
  char state = 0;
  pid_t parent = 0;
  return ReadStat(pid, &state, &parent) && state != 'Z' && state != 'X';
}

std::vector<pid_t> ChildPids() {
  return Children(false);
}

std::vector<pid_t> ZombieChildPids() {
  return Children(true);
}

std::vector<pid_t> LaunchedChildPids() {
  auto image = [](const std::string& link) {
    char target[4096];
    const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
  };
  const std::string self = image("/proc/self/exe");
  std::vector<pid_t> launched;
  for (pid_t pid : ChildPids()) {
    if (image("/proc/" + std::to_string(pid) + "/exe") != self)
      launched.push_back(pid);
  }
  return launched;
}

}  // namespace test_support
