// Round trips and pipelined throughput of the IPC runtime, against a plain
// blocking TCP ping-pong measured in the same run. The far end is the echo
// peer (ipc_core/examples/echo_peer.cc) in a second process, in both cases.
// POSIX only (posix_spawn). Prints a table; figures go to bench/RESULTS.md.
//
//   ipc_core_bench [--rounds=N] [--pipelined=N]
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "asio.hpp"
#include "ipc_core/service_host.h"

namespace {

using Clock = std::chrono::steady_clock;
using ipc_core::ipc_core_refptr;

extern "C" char** environ;

// The child process; killed and reaped when the scope ends.
class Child {
 public:
  explicit Child(std::vector<std::string> args, const std::string& secret = std::string()) {
    args.insert(args.begin(), IPC_CORE_ECHO_PEER);
    std::vector<char*> argv;
    for (auto& a : args)
      argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e)
      env_text.emplace_back(*e);
    if (!secret.empty())
      env_text.push_back(std::string(ipc_core::kPeerSecretEnvironmentVariable) + "=" + secret);
    std::vector<char*> envp;
    for (auto& e : env_text)
      envp.push_back(&e[0]);
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0)
      pid_ = -1;
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool ok() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

struct Stats {
  double median_us = 0;
  double p99_us = 0;
};

Stats Summarize(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  Stats s;
  s.median_us = samples[samples.size() / 2];
  s.p99_us = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
  return s;
}

std::string Payload(size_t size) {
  // A JSON text of exactly |size| bytes, as the agent's payloads are.
  std::string text = "{\"d\":\"";
  text.append(size - text.size() - 2, 'x');
  text += "\"}";
  return text;
}

class Observer : public ipc_core::IServiceHostObserver {
 public:
  void AddRef() override {}
  void Release() override {}
  void OnServiceHostInit(ipc_core::IServiceHost*) override {}
  void OnServiceHostStartSuccess(ipc_core::IServiceHost*, int32_t port) override {
    Set(&port_, port);
  }
  void OnServiceHostStartFailure(ipc_core::IServiceHost*, int32_t) override { Set(&port_, -1); }
  void OnServiceHostStoped(ipc_core::IServiceHost*) override { Set(&stopped_, 1); }
  void OnServiceInvokerConnected(ipc_core::IServiceHost*, int32_t) override {
    Set(&connected_, 1);
  }
  void OnServiceInvokerDisconnected(ipc_core::IServiceHost*, int32_t) override {}

  int Wait(int* field) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return *field != 0; });
    return *field;
  }
  int port_ = 0, connected_ = 0, stopped_ = 0;

 private:
  void Set(int* field, int value) {
    std::lock_guard<std::mutex> lock(mu_);
    *field = value;
    cv_.notify_all();
  }
  std::mutex mu_;
  std::condition_variable cv_;
};

// Wakes the application thread when the answer is in.
class WaitingContext : public ipc_core::RequestContext {
 public:
  void OnResponse(const char* text) override { Done(std::strlen(text)); }
  void OnError(int32_t code, const char* reason) override {
    std::fprintf(stderr, "invoke failed: %d %s\n", code, reason);
    Done(0);
  }
  void OnTimeout() override {
    std::fprintf(stderr, "invoke timed out\n");
    Done(0);
  }
  size_t Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return done_; });
    return answer_size_;
  }

 private:
  // Notified after the unlock: a waiter woken under the lock would wake
  // only to block on it again, two more context switches per round trip
  // that are this program's, not the runtime's. The runtime holds the
  // context until the callback has returned.
  void Done(size_t size) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      answer_size_ = size;
      done_ = true;
    }
    cv_.notify_one();
  }
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  size_t answer_size_ = 0;
};

// Counts answers of the pipelined run; the window bounds what is in flight.
struct Pipeline {
  std::mutex mu;
  std::condition_variable cv;
  long completed = 0;
  long failed = 0;
  long total = 0;
};

class PipelinedContext : public ipc_core::RequestContext {
 public:
  explicit PipelinedContext(Pipeline* p) : p_(p) {}
  void OnResponse(const char*) override { Done(false); }
  void OnError(int32_t, const char*) override { Done(true); }
  void OnTimeout() override { Done(true); }

 private:
  void Done(bool failed) {
    std::lock_guard<std::mutex> lock(p_->mu);
    ++p_->completed;
    if (failed)
      ++p_->failed;
    // The sender refills the window in batches rather than per answer.
    if (p_->completed % 256 == 0 || p_->completed == p_->total)
      p_->cv.notify_one();
  }
  Pipeline* p_;
};

Stats RuntimeRoundTrips(ipc_core::IServiceHost* host, size_t size, int rounds) {
  std::string payload = Payload(size);
  std::vector<double> samples;
  for (int i = -rounds / 10; i < rounds; ++i) {
    ipc_core_refptr<WaitingContext> context(new WaitingContext);
    auto begin = Clock::now();
    host->Invoke("snipping_tool.echo", payload.c_str(), context.get());
    size_t got = context->Wait();
    auto end = Clock::now();
    if (got != size) {
      std::fprintf(stderr, "bad answer of %zu bytes\n", got);
      std::exit(1);
    }
    if (i >= 0)
      samples.push_back(std::chrono::duration<double, std::micro>(end - begin).count());
  }
  return Summarize(samples);
}

Stats RawRoundTrips(asio::ip::tcp::socket& socket, size_t size, int rounds) {
  std::string payload = Payload(size);
  std::string answer(size, '\0');
  std::vector<double> samples;
  uint32_t length = static_cast<uint32_t>(size);
  for (int i = -rounds / 10; i < rounds; ++i) {
    auto begin = Clock::now();
    asio::write(socket, std::array<asio::const_buffer, 2>{asio::buffer(&length, 4),
                                                         asio::buffer(payload)});
    uint32_t back = 0;
    asio::read(socket, asio::buffer(&back, 4));
    asio::read(socket, asio::buffer(&answer[0], back));
    auto end = Clock::now();
    if (i >= 0)
      samples.push_back(std::chrono::duration<double, std::micro>(end - begin).count());
  }
  return Summarize(samples);
}

double PipelinedRate(ipc_core::IServiceHost* host, long count, long window) {
  std::string payload = Payload(300);
  Pipeline p;
  p.total = count;
  auto begin = Clock::now();
  for (long sent = 0; sent < count; ++sent) {
    {
      std::unique_lock<std::mutex> lock(p.mu);
      p.cv.wait(lock, [&] { return sent - p.completed < window; });
    }
    ipc_core_refptr<PipelinedContext> context(new PipelinedContext(&p));
    host->Invoke("snipping_tool.echo", payload.c_str(), context.get());
  }
  std::unique_lock<std::mutex> lock(p.mu);
  p.cv.wait(lock, [&] { return p.completed == count; });
  double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  if (p.failed)
    std::fprintf(stderr, "%ld pipelined requests failed\n", p.failed);
  return count / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5000;
  long pipelined = 300000;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--rounds=", 9) == 0)
      rounds = std::atoi(argv[i] + 9);
    else if (std::strncmp(argv[i], "--pipelined=", 12) == 0)
      pipelined = std::atol(argv[i] + 12);
  }
  const size_t kSizes[] = {64, 300, 4096, 65536};

  // Baseline first: a blocking ping-pong with the same peer program.
  std::vector<Stats> raw;
  {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
    Child child({"--raw-echo-port=" + std::to_string(acceptor.local_endpoint().port())});
    asio::ip::tcp::socket socket = acceptor.accept();
    socket.set_option(asio::ip::tcp::no_delay(true));
    for (size_t size : kSizes)
      raw.push_back(RawRoundTrips(socket, size, rounds));
  }

  ipc_core::InitIPCCoreRuntime(nullptr);
  Observer observer;
  ipc_core::IServiceHost* raw_host = nullptr;
  ipc_core::CreateServiceHost("bench_host", "bench", "", 0, 0, &observer, &raw_host);
  auto host = ipc_core_refptr<ipc_core::IServiceHost>::Adopt(raw_host);
  std::string secret = ipc_core::GeneratePeerSecret();
  host->AddPeerSecret(secret.c_str());
  host->Start();
  int port = observer.Wait(&observer.port_);
  if (port <= 0)
    return 1;
  Child child({"--port=" + std::to_string(port)}, secret);
  if (!observer.Wait(&observer.connected_))
    return 1;

  std::printf("%-10s %14s %14s %14s %14s %9s %9s\n", "payload", "ipc median us", "ipc p99 us",
              "raw median us", "raw p99 us", "median x", "p99 x");
  for (size_t i = 0; i < sizeof(kSizes) / sizeof(kSizes[0]); ++i) {
    Stats ipc = RuntimeRoundTrips(host.get(), kSizes[i], kSizes[i] > 4096 ? rounds / 2 : rounds);
    std::printf("%-10zu %14.1f %14.1f %14.1f %14.1f %9.2f %9.2f\n", kSizes[i], ipc.median_us,
                ipc.p99_us, raw[i].median_us, raw[i].p99_us, ipc.median_us / raw[i].median_us,
                ipc.p99_us / raw[i].p99_us);
  }
  double rate = PipelinedRate(host.get(), pipelined, 4096);
  std::printf("pipelined 300 B requests, one connection, window 4096: %.0f requests/s\n", rate);

  host->Stop();
  observer.Wait(&observer.stopped_);
  return 0;
}
