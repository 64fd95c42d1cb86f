// Warm and cold shots through the real agent and the real reference tool,
// each beside its baseline measured in the same run:
//
//   warm shot   SnippingShot -> the tool's result at the success callable,
//               beside a plain TCP ping-pong with a child process carrying
//               the same payload sizes (request out, result back);
//   cold shot   the same with TerminateSnippingTool before each shot, so
//               each shot starts a new tool, beside starting the same tool
//               executable without the agent (posix_spawn, fork and exec,
//               and the platform layer's launch the agent uses) against a
//               bare ipc_core service host and exchanging the same messages.
//
// The agent is linked statically so that a log handler can stamp its log
// records: they split each shot into stages. The tool is scripted to skip
// the screen capture and send a result of the real size: the capture is the
// tool's work and would otherwise dominate every figure.
//
//   agent_shot_bench [--warm N] [--cold N] [--block N] [--heap-mb N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <ctime>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "agent/snipping_tool_agent.h"
#include "bench/agent_bench_host.h"
#include "ipc_core/request_context.h"
#include "ipc_core/service.h"
#include "ipc_core/service_client.h"
#include "ipc_core/service_host.h"
#include "payloads/json_payloads.h"
#include "platform/base64.h"
#include "platform/command_line.h"
#include "platform/file_path.h"
#include "platform/job.h"
#include "platform/launch.h"
#include "platform/process.h"
#include "platform/logging.h"
#include "tests/support/test_os.h"

extern char** environ;

namespace {

using agent_bench::BenchHost;
using agent_bench::NowNs;
using agent_bench::Summarise;
using agent_bench::Summary;

constexpr std::chrono::seconds kShotWait{20};
// A cold batch ends this long before the first handshake time-out of the
// batch falls due (see RunColdPhase).
constexpr int64_t kColdBatchMarginMs = 700;
constexpr uint32_t kHandshakeTimeoutMs = 3000;  // the agent's default

// ---------------------------------------------------------------------------
// Stamps of the agent's log records, for the stage split.

enum Stamp {
  kStartShot,     // StartSnippingShot entered
  kEmit,          // the shot request handed to the runtime
  kAck,           // the tool's reply to the shot request arrived
  kNotify,        // the tool's result arrived (runtime thread)
  kLaunchStart,   // the tool launch begins
  kLaunchDone,    // the launch call returned
  kAccepted,      // the runtime accepted the tool's TCP connection
  kConnected,     // the opening exchange completed
  kHandshake,     // the handshake request arrived
  kHandshakeUI,   // the handshake completion ran on the UI thread
  kStampCount
};

std::array<std::atomic<int64_t>, kStampCount> g_stamps;

void ResetStamps() {
  for (auto& stamp : g_stamps)
    stamp.store(0, std::memory_order_relaxed);
}

void StampOnce(Stamp which) {
  int64_t expected = 0;
  g_stamps[which].compare_exchange_strong(expected, NowNs());
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

void OnAgentLog(logging::LogSeverity, const char*, int, std::string_view text) {
  constexpr std::string_view kPrefix = "[SnippingToolAgent] ";
  if (!StartsWith(text, kPrefix))
    return;
  const std::string_view body = text.substr(kPrefix.size());
  if (StartsWith(body, ", process_handshake_successed_:"))
    StampOnce(kStartShot);
  else if (body == "StartSnippingShot emit")
    StampOnce(kEmit);
  else if (body == "StartSnippingShot ack")
    StampOnce(kAck);
  else if (body == "OnNotifySnippintShotResult")
    StampOnce(kNotify);
  else if (StartsWith(body, "StartProcessIfNeed"))
    StampOnce(kLaunchStart);
  else if (StartsWith(body, "StartProcess result"))
    StampOnce(kLaunchDone);
  else if (StartsWith(body, "OnServiceInvokerConnected"))
    StampOnce(kConnected);
  else if (body == "OnHandleshake")
    StampOnce(kHandshake);
  else if (StartsWith(body, "OnHandleshakeSuccess"))
    StampOnce(kHandshakeUI);
}

// ---------------------------------------------------------------------------
// The raw TCP baseline: a child process that answers each request of
// |request_size| bytes with |reply_size| bytes over one loopback connection.

struct RawPeer {
  int fd = -1;
  pid_t pid = -1;
};

bool ReadExactly(int fd, char* data, size_t size) {
  while (size > 0) {
    const ssize_t got = recv(fd, data, size, 0);
    if (got <= 0) {
      if (got < 0 && errno == EINTR)
        continue;
      return false;
    }
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) {
      if (sent < 0 && errno == EINTR)
        continue;
      return false;
    }
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

void SetNoDelay(int fd) {
  // Both ends of the runtime's connections turn Nagle off too; without it
  // the small reply would wait for the delayed ACK.
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

// Must run before any thread exists: the child only uses the socket calls.
RawPeer StartRawPeer(size_t request_size, size_t reply_size) {
  RawPeer peer;
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("raw baseline: listen");
    std::exit(1);
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(listener);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
      _exit(3);
    SetNoDelay(fd);
    std::vector<char> request(request_size);
    const std::vector<char> reply(reply_size, 'r');
    while (ReadExactly(fd, request.data(), request.size()) &&
           WriteAll(fd, reply.data(), reply.size())) {
    }
    _exit(0);
  }
  peer.pid = pid;
  peer.fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  close(listener);
  if (peer.fd < 0) {
    std::perror("raw baseline: accept");
    std::exit(1);
  }
  SetNoDelay(peer.fd);
  return peer;
}

int64_t RawRoundTrip(const RawPeer& peer, const std::string& request, std::vector<char>* reply) {
  const int64_t start = NowNs();
  if (!WriteAll(peer.fd, request.data(), request.size()) ||
      !ReadExactly(peer.fd, reply->data(), reply->size())) {
    std::fprintf(stderr, "raw baseline: the peer went away\n");
    std::exit(1);
  }
  return NowNs() - start;
}

// ---------------------------------------------------------------------------
// The runtime's floor: an ipc_core tool end in a child process answering the
// shot method with a reply of the result's size, straight from the
// runtime's thread. Forked while this process has one thread; the child
// starts its own runtime once it has been told where to connect.

class PeerObserver : public ipc_core::IServiceClientObserver {
 public:
  void AddRef() override {}
  void Release() override {}
  void OnConnected(ipc_core::IServiceClient*) override {}
  void OnConnectFailed(ipc_core::IServiceClient*, int32_t) override { _exit(4); }
  void OnDisconnected(ipc_core::IServiceClient*) override { _exit(0); }
};

struct IpcPeer {
  pid_t pid = -1;
  int control = -1;  // write end: "<port> <secret>\n", then closed to end the child
};

// |raw_fd| is the raw baseline's connection, which the child must not hold
// open: the raw peer ends when this process closes it.
IpcPeer StartIpcPeer(size_t reply_size, int raw_fd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    std::perror("ipc peer: pipe");
    std::exit(1);
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[1]);
    close(raw_fd);
    std::string line;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
      line += c;
    const size_t blank = line.find(' ');
    if (blank == std::string::npos)
      _exit(2);
    const int32_t port = std::atoi(line.substr(0, blank).c_str());
    const std::string secret = line.substr(blank + 1);
    ipc_core::InitIPCCoreRuntime(nullptr);
    static PeerObserver observer;
    auto* service = new ipc_core::SimpleService("snipping_tool");
    service->AddRef();
    const std::string reply(reply_size, 'r');
    service->RegisterRequestHandler(
        "snipping_tool.snipping.shot",
        [reply](const std::string&, ipc_core::ipc_core_refptr<ipc_core::IRequestFeature> feature) {
          feature->Reply(reply.c_str());
        });
    ipc_core::IServiceClient* client = nullptr;
    ipc_core::CreateServiceClient("bench_peer", &observer, &client);
    if (!client)
      _exit(3);
    client->RegisterService(service);
    client->ConnectToPort(port, secret.c_str());
    // Runs until the parent closes the pipe.
    while (read(fds[0], &c, 1) > 0) {
    }
    _exit(0);
  }
  close(fds[0]);
  return {pid, fds[1]};
}

// One thread waking another through a condition variable and being woken
// back: half of it is the cost of each hand-over between threads that the
// shot path makes.
int64_t ThreadPingPong(int rounds) {
  std::mutex lock;
  std::condition_variable changed;
  int turn = 0;  // even: the main thread's turn
  std::thread other([&] {
    std::unique_lock<std::mutex> hold(lock);
    for (int i = 0; i < rounds; ++i) {
      changed.wait(hold, [&] { return turn % 2 == 1; });
      ++turn;
      changed.notify_all();
    }
  });
  std::vector<int64_t> samples;
  {
    std::unique_lock<std::mutex> hold(lock);
    for (int i = 0; i < rounds; ++i) {
      const int64_t start = NowNs();
      ++turn;
      changed.notify_all();
      changed.wait(hold, [&] { return turn % 2 == 0; });
      samples.push_back(NowNs() - start);
    }
  }
  other.join();
  return static_cast<int64_t>(Summarise(samples).median_us * 1000.0);
}

// ---------------------------------------------------------------------------
// The cold baseline: the tool started by hand against a bare service host.

class BareHost : public ipc_core::IServiceHostObserver {
 public:
  explicit BareHost(std::string shot_payload)
      : shot_payload_(std::move(shot_payload)),
        service_(new ipc_core::SimpleService("snipping_tool_agent")) {
    service_->AddRef();
    service_->RegisterRequestHandler(
        "snipping_tool_agent.snipping.handshake",
        [this](const std::string&, ipc_core::ipc_core_refptr<ipc_core::IRequestFeature> feature) {
          Stamp(&handshake_);
          feature->Reply("");
          ipc_core::ipc_core_refptr<ipc_core::RequestHandlerWithString> context(
              new ipc_core::RequestHandlerWithString([this](std::string) { Stamp(&ack_); },
                                                     [](const ipc_core::ErrorResult&) {}));
          host_->Invoke("snipping_tool.snipping.shot", shot_payload_.c_str(), context.get());
        });
    service_->RegisterRequestHandler(
        "snipping_tool_agent.snipping.notify",
        [this](const std::string&, ipc_core::ipc_core_refptr<ipc_core::IRequestFeature> feature) {
          feature->Reply("");
          Stamp(&result_);
        });
  }

  bool Start() {
    ipc_core::CreateServiceHost("bench_host", "bench", "", 1, 1, this, &host_);
    if (!host_)
      return false;
    host_->RegisterService(service_);
    host_->Start();
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, kShotWait, [this] { return port_ != 0; });
  }

  void Stop() {
    host_->Stop();
    ipc_core::DestroyServiceHost(host_);
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait_for(lock, kShotWait, [this] { return stopped_; });
    lock.unlock();
    host_->Release();
    host_ = nullptr;
  }

  int32_t port() const { return port_; }
  std::string NewSecret() {
    const std::string secret = ipc_core::GeneratePeerSecret();
    host_->AddPeerSecret(secret.c_str());
    return secret;
  }
  bool WaitConnected() {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, kShotWait, [this] { return connected_ != 0; });
  }

  // Invokes the shot method on the connected peer and waits for the reply
  // on this thread.
  int64_t RoundTrip() {
    {
      std::lock_guard<std::mutex> lock(lock_);
      reply_ = 0;
    }
    ipc_core::ipc_core_refptr<ipc_core::RequestHandlerWithString> context(
        new ipc_core::RequestHandlerWithString([this](std::string) { Stamp(&reply_); },
                                               [this](const ipc_core::ErrorResult&) {
                                                 Stamp(&reply_);
                                               }));
    const int64_t start = NowNs();
    host_->Invoke("snipping_tool.snipping.shot", shot_payload_.c_str(), context.get());
    std::unique_lock<std::mutex> lock(lock_);
    if (!changed_.wait_for(lock, kShotWait, [this] { return reply_ != 0; })) {
      std::fprintf(stderr, "ipc baseline: no reply\n");
      std::exit(1);
    }
    return reply_ - start;
  }

  struct Times {
    int64_t launched = 0;
    int64_t connected = 0;
    int64_t handshake = 0;
    int64_t ack = 0;
    int64_t result = 0;
  };

  enum class Launch {
    kPosixSpawn,
    kForkExec,
    // The platform layer's launch, as the agent calls it: a kill-on-close
    // job, the secret added to the environment.
    kPlatform,
  };

  // Starts the tool, waits for the shot's result and ends the tool. Times
  // are relative to the start.
  bool Run(Launch how, const std::string& extras_b64, Times* times) {
    const std::string secret = NewSecret();
    const std::string tool = test_os::ExecutableDir() + "/QuilloSnippingTool.exe";
    std::vector<std::string> args = {tool, "--channel-port=" + std::to_string(port_),
                                     "--snipping-extras=" + extras_b64};
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
      if (!StartsWith(*entry, std::string(ipc_core::kPeerSecretEnvironmentVariable) + "="))
        env.emplace_back(*entry);
    }
    env.push_back(std::string(ipc_core::kPeerSecretEnvironmentVariable) + "=" + secret);
    std::vector<char*> argv, envp;
    for (auto& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    for (auto& entry : env)
      envp.push_back(entry.data());
    envp.push_back(nullptr);
    {
      std::lock_guard<std::mutex> lock(lock_);
      connected_ = handshake_ = ack_ = result_ = 0;
    }

    const int64_t start = NowNs();
    pid_t pid = -1;
    base::ScopedJobHandle job;
    base::Process process;
    if (how == Launch::kPlatform) {
      job.Set(base::CreateJobObject());
      base::SetJobObjectLimitFlags(job.Get(), base::kJobObjectLimitKillOnJobClose);
      base::CommandLine command_line(base::FilePath::FromUTF8Unsafe(tool));
      command_line.AppendSwitchASCII("channel-port", std::to_string(port_));
      command_line.AppendSwitchASCII("snipping-extras", extras_b64);
      base::LaunchOptions options;
      options.job_handle = job.Get();
      options.environment[ipc_core::kPeerSecretEnvironmentVariable] = secret;
      process = base::LaunchProcess(command_line, options);
      if (!process.IsValid())
        return false;
    } else if (how == Launch::kForkExec) {
      pid = fork();
      if (pid == 0) {
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
      }
    } else if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) {
      pid = -1;
    }
    if (how != Launch::kPlatform && pid < 0)
      return false;
    times->launched = NowNs() - start;
    bool done;
    {
      std::unique_lock<std::mutex> lock(lock_);
      // The reply to the shot request and the result travel on separate
      // paths through the runtime and may be delivered in either order.
      done = changed_.wait_for(lock, kShotWait, [this] { return result_ != 0 && ack_ != 0; });
      times->connected = connected_ - start;
      times->handshake = handshake_ - start;
      times->ack = ack_ - start;
      times->result = result_ - start;
    }
    if (how == Launch::kPlatform) {
      process.Terminate(0, true);
    } else {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    return done;
  }

  // IServiceHostObserver; the object outlives the host.
  void AddRef() override {}
  void Release() override {}
  void OnServiceHostInit(ipc_core::IServiceHost*) override {}
  void OnServiceHostStartSuccess(ipc_core::IServiceHost*, int32_t port) override {
    std::lock_guard<std::mutex> lock(lock_);
    port_ = port;
    changed_.notify_all();
  }
  void OnServiceHostStartFailure(ipc_core::IServiceHost*, int32_t) override {}
  void OnServiceHostStoped(ipc_core::IServiceHost*) override {
    std::lock_guard<std::mutex> lock(lock_);
    stopped_ = true;
    changed_.notify_all();
  }
  void OnServiceInvokerConnected(ipc_core::IServiceHost*, int32_t) override { Stamp(&connected_); }
  void OnServiceInvokerDisconnected(ipc_core::IServiceHost*, int32_t) override {}

 private:
  void Stamp(int64_t* field) {
    const int64_t now = NowNs();
    std::lock_guard<std::mutex> lock(lock_);
    if (*field == 0)
      *field = now;
    changed_.notify_all();
  }

  const std::string shot_payload_;
  ipc_core::SimpleService* service_;
  ipc_core::IServiceHost* host_ = nullptr;
  std::mutex lock_;
  std::condition_variable changed_;
  int32_t port_ = 0;
  bool stopped_ = false;
  int64_t connected_ = 0;
  int64_t handshake_ = 0;
  int64_t ack_ = 0;
  int64_t result_ = 0;
  int64_t reply_ = 0;
};

// ---------------------------------------------------------------------------
// Shots through the agent.

struct ShotTimes {
  bool ok = false;
  int64_t total = 0;  // SnippingShot -> success callable
  int64_t call_wall = 0;  // the SnippingShot call itself
  int64_t call_cpu = 0;   // the UI thread's CPU time in that call
  std::array<int64_t, kStampCount> at{};  // stamps relative to the call, -1 when missing
};

int64_t ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// CPU time of the whole process (every thread), user and system.
int64_t ProcessCpuNs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto ns = [](const timeval& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + static_cast<int64_t>(t.tv_usec) * 1000;
  };
  return ns(usage.ru_utime) + ns(usage.ru_stime);
}

class AgentDriver {
 public:
  AgentDriver(BenchHost* host, snipping_tool::ISnippingToolAgent* agent, std::string dir)
      : host_(host), agent_(agent), dir_(std::move(dir)) {}

  std::string NextPath() {
    char name[64];
    std::snprintf(name, sizeof(name), "/shot-%06d.png", ++count_);
    return dir_ + name;
  }

  ShotTimes Shot() {
    ShotTimes times;
    bool finished = false;
    int64_t end = 0;
    ResetStamps();
    const std::string path = NextPath();
    const int64_t start = NowNs();
    const int64_t cpu_start = ThreadCpuNs();
    agent_->SnippingShot(
        path,
        [&](const snipping_tool::NotifySnippingShot&) {
          end = NowNs();
          times.ok = true;
          finished = true;
        },
        [&] { finished = true; }, 4, ai_request_);
    times.call_cpu = ThreadCpuNs() - cpu_start;
    times.call_wall = NowNs() - start;
    if (!host_->RunUntil([&] { return finished; }, kShotWait)) {
      std::fprintf(stderr, "a shot had no outcome within %lld s\n",
                   static_cast<long long>(kShotWait.count()));
      std::exit(1);
    }
    for (int i = 0; i < kStampCount; ++i) {
      const int64_t stamp = g_stamps[i].load();
      times.at[i] = stamp ? stamp - start : -1;
    }
    if (!times.ok) {
      std::string events;
      for (const auto& event : host_->TakeEvents())
        events += " " + event;
      std::fprintf(stderr, "shot %d failed:%s\n", count_, events.c_str());
      return times;
    }
    times.total = end - start;
    // The shot request's reply may be delivered after the result: wait for
    // its log record so that the next shot does not start under it.
    if (logging::ShouldCreateLogMessage(logging::LOG_INFO) &&
        !host_->RunUntil([] { return g_stamps[kAck].load() != 0; }, std::chrono::seconds(2)))
      std::fprintf(stderr, "shot %d: the shot request's reply never came\n", count_);
    times.at[kAck] = g_stamps[kAck].load() ? g_stamps[kAck].load() - start : -1;
    return times;
  }

  const snipping_tool::AIScreenShotRequest& ai_request() const { return ai_request_; }

 private:
  BenchHost* host_;
  snipping_tool::ISnippingToolAgent* agent_;
  const std::string dir_;
  int count_ = 0;
  const snipping_tool::AIScreenShotRequest ai_request_ = agent_bench::TypicalAIRequest();
};

// ---------------------------------------------------------------------------
// Output.

void PrintHeader() {
  std::printf("| Measure | n | median µs | p90 µs | p99 µs | min µs | max µs |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
}

Summary PrintRow(const char* name, const std::vector<int64_t>& samples) {
  std::vector<int64_t> valid;
  for (int64_t sample : samples) {
    if (sample >= 0)
      valid.push_back(sample);
  }
  const Summary s = Summarise(valid);
  std::printf("| %s | %zu | %.1f | %.1f | %.1f | %.1f | %.1f |\n", name, s.count, s.median_us,
              s.p90_us, s.p99_us, s.min_us, s.max_us);
  return s;
}

std::vector<int64_t> Column(const std::vector<ShotTimes>& shots, int from, int to) {
  // from/to: stamps; -1 stands for the SnippingShot call, kStampCount for
  // the success callable.
  std::vector<int64_t> values;
  for (const ShotTimes& shot : shots) {
    const int64_t a = from < 0 ? 0 : shot.at[from];
    const int64_t b = to == kStampCount ? shot.total : shot.at[to];
    values.push_back(a >= 0 && b >= 0 ? b - a : -1);
  }
  return values;
}

int ParseCount(int argc, char** argv, const char* name, int fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0)
      return std::atoi(argv[i + 1]);
  }
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const int warm_count = ParseCount(argc, argv, "--warm", 2000);
  const int cold_count = ParseCount(argc, argv, "--cold", 200);
  const int block = std::max(1, ParseCount(argc, argv, "--block", 100));
  // A messaging client is a large process: with --heap-mb the bench holds
  // that much touched memory, which a launch that forks the host would
  // copy page tables of.
  const int heap_mb = std::max(0, ParseCount(argc, argv, "--heap-mb", 0));
  std::vector<char> host_heap(static_cast<size_t>(heap_mb) << 20, 1);

  char dir_template[] = "/tmp/agent-bench-XXXXXX";
  if (!mkdtemp(dir_template)) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = dir_template;

  // The payload the agent will send, for the raw baseline's sizes.
  snipping_tool::RequestSnippingShot request;
  request.image_save_path = dir + "/shot-000001.png";
  request.screen_shot_type = 4;
  request.is_dark_theme = true;
  request.vip_status = 2;
  request.grays = {{"enable_screen_tool_ocr", true},
                   {"enable_screen_tool_pin", true},
                   {"enable_screen_tool_translate", false}};
  request.ai_screen_shot_request = agent_bench::TypicalAIRequest();
  const std::string shot_payload = snipping_tool::JsonClassToStr(request);
  const std::string result_payload = agent_bench::BenchResultPayload();

  // Forked while this process has one thread.
  const RawPeer raw = StartRawPeer(shot_payload.size(), result_payload.size());
  std::vector<char> raw_reply(result_payload.size());
  const IpcPeer ipc_peer = StartIpcPeer(result_payload.size(), raw.fd);

  logging::SetLogHandler(&OnAgentLog);
  BenchHost host;
  host.set_log_observer([](int, const std::string& message) {
    if (message.find("connection accepted") != std::string::npos)
      StampOnce(kAccepted);
  });
  snipping_tool::ISnippingToolAgent* agent = nullptr;
  if (!GetQuilloSnipingToolAgent(&agent) || !agent) {
    std::fprintf(stderr, "no agent\n");
    return 1;
  }
  const std::string script = agent_bench::SkipCaptureScript(result_payload);
  snipping_tool::SnippingToolConfig config;
  config.user_id = 4242;
  config.version = "1.0.0";
  config.extras["reference_tool_script"] = script;
  agent->Init(config, &host, false);
  agent_bench::ApplyTypicalSettings(agent);
  AgentDriver driver(&host, agent, dir);

  std::printf("# agent_shot_bench\n\nMachine: %s\n%s at the start\n\n",
              agent_bench::MachineLine().c_str(), agent_bench::LoadLine().c_str());
  std::printf("Shot request payload %zu B, result payload %zu B.\n\n", shot_payload.size(),
              result_payload.size());

  // The first shot brings up the service host and the tool.
  const ShotTimes first = driver.Shot();
  if (!first.ok)
    return 1;
  std::printf("First shot (service host and tool started): %.1f µs\n\n",
              static_cast<double>(first.total) / 1000.0);

  // The runtime's floor, on a host of its own in this process.
  BareHost ipc_host(shot_payload);
  if (!ipc_host.Start()) {
    std::fprintf(stderr, "ipc baseline host did not start\n");
    return 1;
  }
  const std::string control =
      std::to_string(ipc_host.port()) + " " + ipc_host.NewSecret() + "\n";
  if (write(ipc_peer.control, control.data(), control.size()) !=
          static_cast<ssize_t>(control.size()) ||
      !ipc_host.WaitConnected()) {
    std::fprintf(stderr, "ipc baseline peer did not connect\n");
    return 1;
  }

  // Warm-up of all three, not recorded.
  for (int i = 0; i < 50; ++i) {
    RawRoundTrip(raw, shot_payload, &raw_reply);
    ipc_host.RoundTrip();
    driver.Shot();
  }

  // Warm phase: blocks of each in turn, so that drift of the machine
  // touches both the same way.
  std::vector<int64_t> raw_times, ipc_times;
  std::vector<ShotTimes> warm;
  int warm_failures = 0;
  int64_t warm_cpu_ns = 0;
  while (static_cast<int>(warm.size()) < warm_count) {
    for (int i = 0; i < block; ++i)
      raw_times.push_back(RawRoundTrip(raw, shot_payload, &raw_reply));
    for (int i = 0; i < block; ++i)
      ipc_times.push_back(ipc_host.RoundTrip());
    const int64_t cpu_start = ProcessCpuNs();
    for (int i = 0; i < block && static_cast<int>(warm.size()) < warm_count; ++i) {
      ShotTimes shot = driver.Shot();
      if (shot.ok)
        warm.push_back(shot);
      else if (++warm_failures > 10)
        return 1;
    }
    warm_cpu_ns += ProcessCpuNs() - cpu_start;
  }
  // The same shots with the agent's info records off (not even built): what
  // the log statements on the shot path cost.
  std::vector<int64_t> quiet_times;
  logging::SetMinLogLevel(logging::LOG_WARNING);
  const int64_t quiet_cpu_start = ProcessCpuNs();
  for (int i = 0; i < warm_count / 4; ++i) {
    const ShotTimes shot = driver.Shot();
    if (shot.ok)
      quiet_times.push_back(shot.total);
  }
  const int64_t quiet_cpu_ns = ProcessCpuNs() - quiet_cpu_start;
  logging::SetMinLogLevel(logging::LOG_INFO);

  close(raw.fd);
  waitpid(raw.pid, nullptr, 0);
  close(ipc_peer.control);
  waitpid(ipc_peer.pid, nullptr, 0);
  ipc_host.Stop();
  const int64_t hop_ns = ThreadPingPong(2000) / 2;

  // Cold phase. Each cold shot posts a handshake time-out that is never
  // cancelled and, when it runs, stops whatever shot is between launch and
  // handshake at that moment. So cold shots go in batches that end before
  // the batch's first time-out falls due; between batches the last tool
  // stays connected (handshaken) while the batch's time-outs run out.
  BareHost bare(shot_payload);
  if (!bare.Start()) {
    std::fprintf(stderr, "bare host did not start\n");
    return 1;
  }
  std::string extras_b64;
  kvbase::Base64EncodeWrapper(
      R"({"reference_tool_script":)" + std::string("\"") +
          [&script] {
            std::string escaped;
            for (char c : script) {
              if (c == '"' || c == '\\')
                escaped += '\\';
              escaped += c;
            }
            return escaped;
          }() +
          "\"}",
      &extras_b64);

  // The first shot's handshake time-out may still be queued; it would stop
  // whichever cold shot is starting when it runs.
  host.RunUntil([&host] { return host.queued() == 0; }, std::chrono::seconds(15));
  std::vector<ShotTimes> cold;
  std::vector<BareHost::Times> spawn_times, fork_times, platform_times;
  int cold_failures = 0;
  int batches = 0;
  while (static_cast<int>(cold.size()) < cold_count) {
    ++batches;
    const int64_t batch_start = NowNs();
    while (static_cast<int>(cold.size()) < cold_count &&
           NowNs() - batch_start <
               (static_cast<int64_t>(kHandshakeTimeoutMs) - kColdBatchMarginMs) * 1000000) {
      agent->TerminateSnippingTool();
      ShotTimes shot = driver.Shot();
      if (!shot.ok)
        std::fprintf(stderr,
                     "  (cold shot %zu of batch %d, %.0f ms into the batch; µs after the call: "
                     "launch %lld..%lld, accepted %lld, connected %lld, handshake %lld)\n",
                     cold.size() + 1, batches, static_cast<double>(NowNs() - batch_start) / 1e6,
                     static_cast<long long>(shot.at[kLaunchStart] / 1000),
                     static_cast<long long>(shot.at[kLaunchDone] / 1000),
                     static_cast<long long>(shot.at[kAccepted] / 1000),
                     static_cast<long long>(shot.at[kConnected] / 1000),
                     static_cast<long long>(shot.at[kHandshake] / 1000));
      if (shot.ok)
        cold.push_back(shot);
      else if (++cold_failures > 10)
        return 1;
      BareHost::Times times;
      if (bare.Run(BareHost::Launch::kPosixSpawn, extras_b64, &times))
        spawn_times.push_back(times);
      if (bare.Run(BareHost::Launch::kForkExec, extras_b64, &times))
        fork_times.push_back(times);
      if (bare.Run(BareHost::Launch::kPlatform, extras_b64, &times))
        platform_times.push_back(times);
    }
    // Every time-out of the batch must have run, not only fallen due.
    host.RunUntil([&host] { return host.queued() == 0; }, std::chrono::seconds(15));
  }
  bare.Stop();

  // ---- Report.
  std::printf("## Warm shot (%d shots, %d failed; raw ping-pong in blocks of %d between them)\n\n",
              static_cast<int>(warm.size()), warm_failures, block);
  PrintHeader();
  const Summary raw_summary = PrintRow("raw TCP ping-pong, same payload sizes", raw_times);
  PrintRow("ipc_core invoke -> reply, tool end in a child process", ipc_times);
  const Summary warm_summary =
      PrintRow("warm shot: SnippingShot -> success callable", Column(warm, -1, kStampCount));
  PrintRow("warm shot, agent's info log records off", quiet_times);
  PrintRow("  pure IPC: SnippingShot -> \"StartSnippingShot ack\"", Column(warm, -1, kAck));
  PrintRow("  stage: SnippingShot -> StartSnippingShot entered", Column(warm, -1, kStartShot));
  PrintRow("  stage: StartSnippingShot -> request handed to runtime (emit)",
           Column(warm, kStartShot, kEmit));
  PrintRow("  stage: emit -> result arrives (runtime thread)", Column(warm, kEmit, kNotify));
  PrintRow("  stage: result arrives -> success callable (UI thread)",
           Column(warm, kNotify, kStampCount));
  std::vector<int64_t> call_wall, call_cpu;
  for (const ShotTimes& shot : warm) {
    call_wall.push_back(shot.call_wall);
    call_cpu.push_back(shot.call_cpu);
  }
  PrintRow("  the SnippingShot call (wall)", call_wall);
  PrintRow("  the SnippingShot call (UI thread CPU time)", call_cpu);
  std::printf("\nCPU time of this process (agent, runtime threads, UI thread) per warm shot: "
              "%.1f µs with info records, %.1f µs without\n",
              static_cast<double>(warm_cpu_ns) / 1000.0 / static_cast<double>(warm.size()),
              quiet_times.empty() ? 0.0
                                  : static_cast<double>(quiet_cpu_ns) / 1000.0 /
                                        static_cast<double>(warm_count / 4));
  std::printf("\nOne hand-over between two threads (condition variable, median of 2000 "
              "ping-pongs / 2): %.1f µs\n",
              static_cast<double>(hop_ns) / 1000.0);
  std::printf("\nRatio warm/raw: median %.2f (goal <= 1.5), p99 %.2f (goal <= 2.0)\n\n",
              warm_summary.median_us / raw_summary.median_us,
              warm_summary.p99_us / raw_summary.p99_us);

  std::printf("## Cold shot (%d shots in %d batches, %d failed)\n\n", static_cast<int>(cold.size()),
              batches, cold_failures);
  PrintHeader();
  const Summary cold_total =
      PrintRow("cold shot: SnippingShot -> success callable", Column(cold, -1, kStampCount));
  const Summary cold_ack =
      PrintRow("cold shot: SnippingShot -> \"StartSnippingShot ack\"", Column(cold, -1, kAck));
  const Summary cold_hs =
      PrintRow("cold shot: SnippingShot -> handshake arrives", Column(cold, -1, kHandshake));
  PrintRow("  stage: SnippingShot -> launch begins", Column(cold, -1, kLaunchStart));
  PrintRow("  stage: launch call (job keeper start, its posix_spawn)", Column(cold, kLaunchStart, kLaunchDone));
  PrintRow("  stage: launch returned -> TCP accepted", Column(cold, kLaunchDone, kAccepted));
  PrintRow("  stage: TCP accepted -> opening exchange done", Column(cold, kAccepted, kConnected));
  PrintRow("  stage: opening exchange -> handshake arrives", Column(cold, kConnected, kHandshake));
  PrintRow("  stage: handshake -> completion on UI thread", Column(cold, kHandshake, kHandshakeUI));
  PrintRow("  stage: UI completion -> shot ack", Column(cold, kHandshakeUI, kAck));
  PrintRow("  stage: shot ack -> success callable", Column(cold, kAck, kStampCount));

  auto bare_rows = [](const char* how, const std::vector<BareHost::Times>& runs) {
    std::vector<int64_t> launched, connected, handshake, ack, result;
    for (const auto& t : runs) {
      launched.push_back(t.launched);
      connected.push_back(t.connected);
      handshake.push_back(t.handshake);
      ack.push_back(t.ack);
      result.push_back(t.result);
    }
    std::string prefix = std::string("bare start (") + how + "): ";
    PrintRow((prefix + "launch call returns").c_str(), launched);
    PrintRow((prefix + "opening exchange done").c_str(), connected);
    const Summary hs = PrintRow((prefix + "handshake arrives").c_str(), handshake);
    const Summary ak = PrintRow((prefix + "shot ack").c_str(), ack);
    const Summary rs = PrintRow((prefix + "result arrives").c_str(), result);
    return std::array<Summary, 3>{hs, ak, rs};
  };
  std::printf("\n");
  PrintHeader();
  const auto spawn = bare_rows("posix_spawn", spawn_times);
  const auto forked = bare_rows("fork+exec", fork_times);
  const auto platform = bare_rows("platform launch", platform_times);
  std::printf("\nRatio cold/bare (posix_spawn), medians: handshake %.2f, shot ack %.2f, "
              "result %.2f (goal <= 1.2)\n",
              cold_hs.median_us / spawn[0].median_us, cold_ack.median_us / spawn[1].median_us,
              cold_total.median_us / spawn[2].median_us);
  std::printf("Ratio cold/bare (fork+exec), medians: handshake %.2f, shot ack %.2f, "
              "result %.2f\n",
              cold_hs.median_us / forked[0].median_us, cold_ack.median_us / forked[1].median_us,
              cold_total.median_us / forked[2].median_us);
  std::printf("Ratio cold/bare (platform launch), medians: handshake %.2f, shot ack %.2f, "
              "result %.2f\n",
              cold_hs.median_us / platform[0].median_us,
              cold_ack.median_us / platform[1].median_us,
              cold_total.median_us / platform[2].median_us);

  std::printf("\n%s at the end\n", agent_bench::LoadLine().c_str());
  agent->TerminateSnippingTool();
  agent->Uninit();
  host.Drain();
  logging::SetLogHandler(nullptr);
  std::string command = "rm -rf '" + dir + "'";
  if (std::system(command.c_str()) != 0)
    std::fprintf(stderr, "could not remove %s\n", dir.c_str());
  return 0;
}
