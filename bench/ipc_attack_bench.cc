// What a hostile local program costs a service host: for each attack, the
// host's resident memory, CPU time and log lines, and whether (and how fast)
// a tool holding the secret still gets in. The host is this process, with
// the runtime's production limits; the attacker is the rogue tool of the
// fault tests (tests/faults/rogue_tool.cc, --attack=...) in a second
// process. POSIX only. Prints a table; figures go to bench/RESULTS.md.
//
//   ipc_attack_bench [--seconds=N] [--attacker=PATH] [--only=KIND]
//
// KIND is silent, bigframes, flood or exhaust; run one per process for
// memory figures that do not carry over from the attack before.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipc_core/service_client.h"
#include "ipc_core/service_host.h"

namespace {

using Clock = std::chrono::steady_clock;
using ipc_core::ipc_core_refptr;

extern "C" char** environ;

std::atomic<long> g_lines{0};
std::atomic<long> g_warnings{0};

void CountLine(int severity, const char*, int, int64_t, const char*) {
  g_lines.fetch_add(1);
  if (severity >= 1)
    g_warnings.fetch_add(1);
}

size_t ResidentBytes() {
  std::ifstream in("/proc/self/statm");
  size_t pages = 0, resident = 0;
  in >> pages >> resident;
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

double CpuSeconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class Attacker {
 public:
  Attacker(const std::string& path, const std::vector<std::string>& args) {
    std::vector<std::string> all = {path};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
      argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Attacker() { Stop(); }
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  bool ok() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

class HostObserver : public ipc_core::IServiceHostObserver {
 public:
  void AddRef() override {}
  void Release() override {}
  void OnServiceHostInit(ipc_core::IServiceHost*) override {}
  void OnServiceHostStartSuccess(ipc_core::IServiceHost*, int32_t listening) override {
    std::lock_guard<std::mutex> lock(mu);
    port = listening;
    cv.notify_all();
  }
  void OnServiceHostStartFailure(ipc_core::IServiceHost*, int32_t) override {}
  void OnServiceInvokerConnected(ipc_core::IServiceHost*, int32_t) override {}
  void OnServiceInvokerDisconnected(ipc_core::IServiceHost*, int32_t) override {}
  void OnServiceHostStoped(ipc_core::IServiceHost*) override {
    std::lock_guard<std::mutex> lock(mu);
    stopped = true;
    cv.notify_all();
  }
  std::mutex mu;
  std::condition_variable cv;
  int32_t port = 0;
  bool stopped = false;
};

class ClientObserver : public ipc_core::IServiceClientObserver {
 public:
  void AddRef() override { refs.fetch_add(1); }
  void Release() override { refs.fetch_sub(1); }
  void OnConnected(ipc_core::IServiceClient*) override { Done(0); }
  void OnConnectFailed(ipc_core::IServiceClient*, int32_t code) override { Done(code); }
  void OnDisconnected(ipc_core::IServiceClient*) override {}
  void Done(int32_t code) {
    std::lock_guard<std::mutex> lock(mu);
    result = code;
    finished = true;
    cv.notify_all();
  }
  std::atomic<int> refs{0};
  std::mutex mu;
  std::condition_variable cv;
  bool finished = false;
  int32_t result = -1;
};

// A tool with the secret connects; its time to the welcome in ms, or -code
// when it failed (-1 when it heard nothing).
double AdmitMs(int32_t port, const std::string& secret) {
  ClientObserver observer;
  ipc_core::IServiceClient* raw = nullptr;
  if (ipc_core::CreateServiceClient("bench_tool", &observer, &raw) != ipc_core::kOk)
    return -1;
  auto client = ipc_core_refptr<ipc_core::IServiceClient>::Adopt(raw);
  auto start = Clock::now();
  if (!client->ConnectToPort(port, secret.c_str()))
    return -1;
  std::unique_lock<std::mutex> lock(observer.mu);
  bool done = observer.cv.wait_for(lock, std::chrono::seconds(10), [&] { return observer.finished; });
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  lock.unlock();
  client->Close();
  client = nullptr;
  while (observer.refs.load() > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!done)
    return -1;
  return observer.result != 0 ? -observer.result : ms;
}

std::string Describe(std::vector<double> results) {
  std::vector<double> ok;
  std::vector<int> failures;
  for (double r : results) {
    if (r >= 0)
      ok.push_back(r);
    else
      failures.push_back(static_cast<int>(-r));
  }
  std::sort(ok.begin(), ok.end());
  char text[160];
  if (ok.empty()) {
    std::snprintf(text, sizeof(text), "0/%zu admitted (failed %d)", results.size(),
                  failures.empty() ? 0 : failures.front());
  } else {
    std::snprintf(text, sizeof(text), "%zu/%zu admitted, median %.1f ms, max %.1f ms%s",
                  ok.size(), results.size(), ok[ok.size() / 2], ok.back(),
                  failures.empty() ? "" : ("; others failed " + std::to_string(failures.front())).c_str());
  }
  return text;
}

struct Row {
  std::string attack;
  double rss_before_mb = 0, rss_peak_mb = 0, rss_after_mb = 0;
  double cpu_percent = 0;
  long lines = 0, warnings = 0;
  std::string admitted;
  std::string recovered;
};

// Descriptors taken from the process until it has none left, and given
// back at the end.
class Exhaustion {
 public:
  Exhaustion() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    struct rlimit low = saved_;
    int highest = 0;
    for (int fd = 0; fd < 4096; ++fd) {
      if (fcntl(fd, F_GETFD) != -1)
        highest = fd;
    }
    low.rlim_cur = static_cast<rlim_t>(highest + 40);
    setrlimit(RLIMIT_NOFILE, &low);
  }
  void TakeTheRest() {
    for (;;) {
      int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0)
        break;
      fds_.push_back(fd);
    }
  }
  ~Exhaustion() { GiveBack(); }
  void GiveBack() {
    for (int fd : fds_)
      close(fd);
    fds_.clear();
    setrlimit(RLIMIT_NOFILE, &saved_);
  }

 private:
  struct rlimit saved_;
  std::vector<int> fds_;
};

Row RunAttack(const std::string& attacker_path, const std::string& name,
              const std::vector<std::string>& attack_args, bool exhaust, int seconds) {
  Row row;
  row.attack = name;
  HostObserver observer;
  ipc_core::IServiceHost* raw = nullptr;
  ipc_core::CreateServiceHost("bench_host", "bench", "", 1, 2, &observer, &raw);
  auto host = ipc_core_refptr<ipc_core::IServiceHost>::Adopt(raw);
  std::vector<std::string> secrets;
  for (int i = 0; i < 64; ++i) {
    secrets.push_back(ipc_core::GeneratePeerSecret());
    host->AddPeerSecret(secrets.back().c_str());
  }
  size_t next_secret = 0;
  host->Start();
  int32_t port = 0;
  {
    std::unique_lock<std::mutex> lock(observer.mu);
    observer.cv.wait(lock, [&] { return observer.port != 0; });
    port = observer.port;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  row.rss_before_mb = ResidentBytes() / 1e6;
  long lines_before = g_lines.load();
  long warnings_before = g_warnings.load();

  std::vector<std::string> args = attack_args;
  args.push_back("--port=" + std::to_string(port));
  args.push_back("--seconds=" + std::to_string(seconds));
  std::unique_ptr<Exhaustion> exhaustion;
  if (exhaust)
    exhaustion = std::make_unique<Exhaustion>();
  double cpu_start = CpuSeconds();
  auto start = Clock::now();
  Attacker attacker(attacker_path, args);
  if (exhaust) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    exhaustion->TakeTheRest();
  }
  size_t peak = ResidentBytes();
  // A tool every 250 ms from the attack's first half second on.
  std::vector<double> during;
  auto next_tool = start + std::chrono::milliseconds(500);
  while (Clock::now() - start < std::chrono::seconds(seconds)) {
    peak = std::max(peak, ResidentBytes());
    if (!exhaust && Clock::now() >= next_tool && next_secret + 1 < secrets.size()) {
      during.push_back(AdmitMs(port, secrets[next_secret++]));
      next_tool = Clock::now() + std::chrono::milliseconds(250);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  row.admitted = Describe(during);
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  row.cpu_percent = 100.0 * (CpuSeconds() - cpu_start) / elapsed;
  attacker.Stop();
  if (exhaustion)
    exhaustion->GiveBack();
  // /proc cannot be read while the descriptors are gone; the kernel's own
  // high-water mark covers that time (run one attack per process).
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  row.rss_peak_mb = std::max<double>(peak, usage.ru_maxrss * 1024.0) / 1e6;
  // The tool that comes once the attack is over.
  row.recovered = Describe({AdmitMs(port, secrets[next_secret++])});
  std::this_thread::sleep_for(std::chrono::seconds(1));
  row.rss_after_mb = ResidentBytes() / 1e6;
  row.lines = g_lines.load() - lines_before;
  row.warnings = g_warnings.load() - warnings_before;
  if (exhaust)
    row.admitted = "(no descriptor for a tool)";
  host->Stop();
  {
    std::unique_lock<std::mutex> lock(observer.mu);
    observer.cv.wait_for(lock, std::chrono::seconds(10), [&] { return observer.stopped; });
  }
  host = nullptr;
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 5;
  std::string attacker = FAULT_ROGUE_TOOL;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--seconds=", 0) == 0)
      seconds = std::max(2, atoi(arg.c_str() + 10));
    else if (arg.rfind("--attacker=", 0) == 0)
      attacker = arg.substr(11);
    else if (arg.rfind("--only=", 0) == 0)
      only = arg.substr(7);
  }
  auto wanted = [&](const char* kind) { return only.empty() || only == kind; };
  ipc_core::InitIPCCoreRuntime(&CountLine);
  std::vector<Row> rows;
  if (wanted("silent"))
    rows.push_back(RunAttack(attacker, "200 silent connections, reopened",
                             {"--attack=silent", "--count=200"}, false, seconds));
  if (wanted("bigframes"))
    rows.push_back(RunAttack(attacker, "63 connections pouring 4 MiB pre-hello frames",
                             {"--attack=bigframes", "--count=63"}, false, seconds));
  if (wanted("flood"))
    rows.push_back(RunAttack(attacker, "flood of 2000 connects",
                             {"--attack=flood", "--count=2000"}, false, seconds));
  if (wanted("exhaust"))
    rows.push_back(RunAttack(attacker, "descriptors exhausted, 100 silent connections",
                             {"--attack=silent", "--count=100"}, true, seconds));
  std::printf("attack window %d s\n", seconds);
  std::printf("| attack | RSS before MB | RSS peak MB | RSS 1 s after MB | host CPU %% | log lines "
              "(warnings) | tool during attack | tool after attack |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (const Row& row : rows) {
    std::printf("| %s | %.1f | %.1f | %.1f | %.0f | %ld (%ld) | %s | %s |\n", row.attack.c_str(),
                row.rss_before_mb, row.rss_peak_mb, row.rss_after_mb, row.cpu_percent, row.lines,
                row.warnings, row.admitted.c_str(), row.recovered.c_str());
  }
  return 0;
}
