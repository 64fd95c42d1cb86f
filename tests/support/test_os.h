// What the end-to-end tests ask of the operating system about files,
// processes and this process itself, the same on every platform. Paths are
// UTF-8; process ids are the system's.
#ifndef TESTS_SUPPORT_TEST_OS_H_
#define TESTS_SUPPORT_TEST_OS_H_

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace test_os {

// The one bound of every test's wait on a process, a socket, a thread or an
// event; it only matters when a test is failing, so it is generous enough for
// sanitizers and Wine on a loaded machine.
inline constexpr std::chrono::milliseconds kWaitBound{20000};
// How long a test watches for something that must not happen.
inline constexpr std::chrono::milliseconds kQuietPeriod{100};

// Polls |condition| until it holds or |bound| has passed; its last result.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds bound = kWaitBound);

// A fresh directory, open to this user only, under the system's temporary
// directory; removed with everything in it at destruction.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::string& path() const { return path_; }
  // |name| inside the directory.
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

// |dir| and |name| joined with the platform's separator.
std::string JoinPath(const std::string& dir, const std::string& name);
// True when |path| is a file holding at least one byte.
bool FileHasContent(const std::string& path);
// Makes the program |from| runnable as |to| (a link, or a copy where links
// are not at hand).
bool InstallProgramAs(const std::string& from, const std::string& to);

// The directory holding this test executable (and the programs built with
// it), and the file name programs carry on this platform (".exe" or "").
std::string ExecutableDir();
std::string ExecutableSuffix();

// This process's environment, as the C runtime and the programs it starts
// see it.
std::optional<std::string> GetEnv(const std::string& name);
void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);

// Sets |name| for the life of the object, then puts back what was there.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value)
      : name_(name), previous_(GetEnv(name)) {
    SetEnv(name, value);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    if (previous_)
      SetEnv(name_, *previous_);
    else
      UnsetEnv(name_);
  }

 private:
  const std::string name_;
  const std::optional<std::string> previous_;
};
// The environment of the running process |pid| as "NAME=value" entries
// (empty when it cannot be read), and the value of |name| in it, or "".
std::vector<std::string> EnvironmentOf(int pid);
std::string EnvironmentVariableOf(int pid, const std::string& name);

int CurrentPid();
// True while |pid| runs: it exists and has not ended.
bool ProcessRunning(int pid);
// Polls until |pid| has ended (gone, or ended and waiting to be reaped by a
// parent that is not this process) or |bound| has passed; true if it ended.
bool WaitForProcessEnd(int pid, std::chrono::milliseconds bound = kWaitBound);
// Polls until no process |pid| exists any more: it ended and, if it was our
// child, was reaped.
bool WaitForProcessGone(int pid, std::chrono::milliseconds bound = kWaitBound);
// Kills |pid| at once, if it still runs.
void KillProcess(int pid);
// Kills those of |pids| that still run: what a failed test left behind.
void KillSurvivors(const std::vector<int>& pids);

// A program this process started, its standard output and error going to
// a file. Killed at destruction if it still runs.
class ProgramRun {
 public:
  ProgramRun() = default;
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;
  ~ProgramRun();

  // Starts argv[0] with the arguments after it and no input.
  bool Start(const std::vector<std::string>& argv, const std::string& output_file);
  // Waits for its end for at most |bound|; its exit status, or -1 when it
  // did not exit by itself (killed by a signal, or still running at the
  // bound, when it is killed).
  int WaitForExit(std::chrono::milliseconds bound = kWaitBound);
  // Ends it the way that leaves it no code to run on the way out (SIGKILL,
  // TerminateProcess) and waits for its end; true when that kill ended it.
  bool KillHard();

 private:
  int pid_ = 0;
  void* handle_ = nullptr;  // The process handle on Windows.
};

// Child processes of this process that still exist (on POSIX, those ended
// but not yet reaped count too).
std::vector<int> ChildProcesses();
// Processes this one launched: children that run another program and, on
// POSIX, the processes of kill-on-close jobs, which are children of the
// jobs' keepers (the keepers themselves are left out).
std::vector<int> LaunchedProcesses();

// Files at a program's path that the system refuses to start, each with the
// error the launch reports (errno or GetLastError()); the first is missing.
struct UnlaunchableProgram {
  std::string what;
  bool exists;
  std::string content;
  bool executable;  // Marked as a program, where the system marks them.
  int error;
};
std::vector<UnlaunchableProgram> UnlaunchablePrograms();
// Writes |program| to |path| (nothing for the missing one).
bool WriteUnlaunchableProgram(const UnlaunchableProgram& program, const std::string& path);

// The function |symbol| of the shared library |path|, loaded for the rest
// of the process's life; null when either cannot be found.
void* LibrarySymbol(const std::string& path, const std::string& symbol);

// Threads of this process.
int CountThreads();
// Open kernel objects of this process: descriptors on POSIX, handles on
// Windows. Compare two counts of the same process, never across platforms.
int CountOpenHandles();
// True when this process runs under an emulation of its OS (Wine), where
// processes start an order of magnitude slower: long loops run fewer rounds.
bool UnderEmulation();

// Leaves this process without a free descriptor: lowers its limit close to
// what is open and takes the rest. Give back restores both. Windows has no
// per-process descriptor limit: there Take returns false and does nothing.
class DescriptorExhaustion {
 public:
  DescriptorExhaustion() = default;
  DescriptorExhaustion(const DescriptorExhaustion&) = delete;
  DescriptorExhaustion& operator=(const DescriptorExhaustion&) = delete;
  ~DescriptorExhaustion() { GiveBack(); }
  bool Take();
  void GiveBack();

 private:
  std::vector<int> taken_;
  bool limited_ = false;
  unsigned long long saved_limit_ = 0;
};

}  // namespace test_os

#endif  // TESTS_SUPPORT_TEST_OS_H_
