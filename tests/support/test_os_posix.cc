#include "tests/support/test_os.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/keeper_protocol_posix.h"

extern char** environ;

namespace test_os {
namespace {

// The fields of /proc/<pid>/stat after the command name, which may hold
// blanks and parentheses; empty when the process does not exist.
std::string StatFieldsAfterName(const std::string& pid) {
  std::ifstream stat_file("/proc/" + pid + "/stat");
  std::string line;
  if (!std::getline(stat_file, line))
    return "";
  const size_t close = line.rfind(')');
  return close == std::string::npos ? "" : line.substr(close + 1);
}

// Ended: no such process, or a zombie.
bool Ended(int pid) {
  std::istringstream fields(StatFieldsAfterName(std::to_string(pid)));
  std::string state;
  return !(fields >> state) || state == "Z";
}

// The program image of |pid|, "" when it cannot be read (a zombie's).
std::string ImageOf(int pid) {
  char target[4096];
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

int CountEntries(const char* dir_path) {
  int count = 0;
  if (DIR* dir = opendir(dir_path)) {
    while (dirent* entry = readdir(dir))
      count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

}  // namespace

bool InstallProgramAs(const std::string& from, const std::string& to) {
  if (symlink(from.c_str(), to.c_str()) == 0)
    return true;
  perror("symlink");
  return false;
}

std::string ExecutableDir() {
  const std::string exe = ImageOf(getpid());
  return exe.empty() ? "." : exe.substr(0, exe.rfind('/'));
}

std::string ExecutableSuffix() {
  return "";
}

std::optional<std::string> GetEnv(const std::string& name) {
  if (const char* value = getenv(name.c_str()))
    return std::string(value);
  return std::nullopt;
}

void SetEnv(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

void UnsetEnv(const std::string& name) {
  unsetenv(name.c_str());
}

std::vector<std::string> EnvironmentOf(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
  std::vector<std::string> entries;
  for (std::string entry; std::getline(in, entry, '\0');)
    entries.push_back(entry);
  return entries;
}

bool UnderEmulation() {
  return false;
}

int CurrentPid() {
  return static_cast<int>(getpid());
}

bool ProcessRunning(int pid) {
  return pid > 0 && !Ended(pid);
}

bool WaitForProcessEnd(int pid, std::chrono::milliseconds bound) {
  return WaitUntil([pid] { return Ended(pid); }, bound);
}

bool WaitForProcessGone(int pid, std::chrono::milliseconds bound) {
  return WaitUntil([pid] { return kill(pid, 0) != 0 && errno == ESRCH; }, bound);
}

void KillProcess(int pid) {
  if (pid > 0)
    kill(pid, SIGKILL);
}

ProgramRun::~ProgramRun() {
  if (pid_ > 0)
    KillHard();
}

bool ProgramRun::Start(const std::vector<std::string>& argv, const std::string& output_file) {
  std::vector<std::string> args = argv;
  std::vector<char*> pointers;
  for (std::string& arg : args)
    pointers.push_back(&arg[0]);
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output_file.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0)
    return false;
  pid_ = static_cast<int>(pid);
  return true;
}

int ProgramRun::WaitForExit(std::chrono::milliseconds bound) {
  if (pid_ <= 0)
    return -1;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  int status = 0;
  for (;;) {
    const pid_t reaped = waitpid(pid_, &status, WNOHANG);
    if (reaped == pid_)
      break;
    if (reaped < 0 || std::chrono::steady_clock::now() > deadline) {
      KillHard();
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = 0;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ProgramRun::KillHard() {
  if (pid_ <= 0 || kill(pid_, SIGKILL) != 0)
    return false;
  int status = 0;
  const bool reaped = waitpid(pid_, &status, 0) == pid_;
  pid_ = 0;
  return reaped && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

std::vector<int> ChildProcesses() {
  const int self = static_cast<int>(getpid());
  std::vector<int> children;
  DIR* proc = opendir("/proc");
  if (!proc)
    return children;
  while (dirent* entry = readdir(proc)) {
    const int pid = atoi(entry->d_name);
    if (pid <= 0)
      continue;
    std::istringstream fields(StatFieldsAfterName(entry->d_name));
    std::string state;
    int ppid = 0;
    if (fields >> state >> ppid && ppid == self)
      children.push_back(pid);
  }
  closedir(proc);
  return children;
}

std::vector<int> LaunchedProcesses() {
  const std::string keeper = std::string("/") + base::keeper::kKeeperExecutable;
  const std::string self = ImageOf(getpid());
  std::vector<int> launched;
  for (const int pid : ChildProcesses()) {
    const std::string path = ImageOf(pid);
    if (path.size() > keeper.size() &&
        path.compare(path.size() - keeper.size(), keeper.size(), keeper) == 0) {
      // The processes of a kill-on-close job are the keeper's children.
      std::ifstream list("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                         "/children");
      for (int kept = 0; list >> kept;)
        launched.push_back(kept);
    } else if (path != self) {
      launched.push_back(pid);
    }
  }
  return launched;
}

std::vector<UnlaunchableProgram> UnlaunchablePrograms() {
  return {{"a missing file", false, "", false, ENOENT},
          {"a file that may not be executed", true, "plain text", false, EACCES},
          {"an executable of no known format", true, std::string("\x7f\x01\x02garbage", 10), true,
           ENOEXEC}};
}

void* LibrarySymbol(const std::string& path, const std::string& symbol) {
  void* library = dlopen(path.c_str(), RTLD_NOW);
  return library ? dlsym(library, symbol.c_str()) : nullptr;
}

int CountThreads() {
  return CountEntries("/proc/self/task");
}

int CountOpenHandles() {
  // The directory stream's own descriptor is listed too; it is there at
  // every count.
  return CountEntries("/proc/self/fd");
}

bool DescriptorExhaustion::Take() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return false;
  saved_limit_ = limit.rlim_cur;
  // Descriptors above the new limit stay open; only new ones are refused.
  int highest = 0;
  for (int fd = 0; fd < 4096; ++fd) {
    if (fcntl(fd, F_GETFD) != -1)
      highest = fd;
  }
  limit.rlim_cur = static_cast<rlim_t>(highest + 8);
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
    return false;
  limited_ = true;
  for (;;) {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      return errno == EMFILE;
    taken_.push_back(fd);
  }
}

void DescriptorExhaustion::GiveBack() {
  for (int fd : taken_)
    close(fd);
  taken_.clear();
  if (limited_) {
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(saved_limit_);
    setrlimit(RLIMIT_NOFILE, &limit);
    limited_ = false;
  }
}

}  // namespace test_os
