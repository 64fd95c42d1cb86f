// The agent soak: a host loads the shipped library with dlopen, takes one
// shot, then many warm shots and many cold shots (TerminateSnippingTool
// before each, so each starts a new tool), terminates the tool, calls Uninit
// and drains its UI task queue, which lets the service host be destroyed.
// Descriptors, threads, child processes and resident memory at the end are
// compared with those after the first shot.
//
//   soak_agent [--warm N] [--cold N] [--agent-log PATH] [--keep-log] [--no-cold-batches]
//
// --no-cold-batches runs the cold shots back to back, to show what the
// batches avoid (see kHandshakeTimeoutMs).
//
// Exit status 0 when every shot succeeded and every limit held, 1 when not,
// 2 for a bad start (no agent, no log file).
//
// Limits, end against after-the-first-shot:
//   descriptors <= (the service host's listening socket and the tool's
//                   connection and process handle are gone at the end);
//   threads     <= (the runtime's and the exit watcher's threads stay for
//                   the life of the process; nothing may be added);
//   children     = 0 (every tool ended and was reaped);
//   VmRSS       <= + kRssSlackKib: freed memory that the allocator keeps in
//                   its arenas for the next allocation is not a leak, and a
//                   leak of even 1 KiB per shot over 1,100 shots exceeds it.
// The agent's log must show the service host's destruction ("WaitForStop
// end").
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/agent_bench_host.h"

namespace {

using agent_bench::BenchHost;
using agent_bench::NowNs;
using agent_bench::ProcessSample;
using agent_bench::SampleProcess;

constexpr int64_t kRssSlackKib = 1024;
constexpr std::chrono::milliseconds kSettle{500};
constexpr std::chrono::seconds kShotWait{20};
// How long the end waits for the tools to be reaped and the connections to
// close before it samples.
constexpr std::chrono::seconds kEndWait{5};
// The agent's default handshake time-out. Each cold shot posts one that is
// never cancelled; when it runs it stops any shot that is between launch and
// handshake at that moment. Cold shots therefore go in batches that end
// kColdBatchMarginMs before the first time-out of the batch falls due; the
// last tool of a batch stays connected while the batch's time-outs run out.
constexpr int64_t kHandshakeTimeoutMs = 3000;
constexpr int64_t kColdBatchMarginMs = 700;

struct Row {
  std::string stage;
  ProcessSample sample;
  double shot_median_us = 0;
};

int ParseInt(int argc, char** argv, const char* name, int fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0)
      return std::atoi(argv[i + 1]);
  }
  return fallback;
}

bool HasFlag(int argc, char** argv, const char* name) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0)
      return true;
  }
  return false;
}

// Line by line: the agent's log of a long soak runs to megabytes.
bool FileContains(const std::string& path, const std::string& text) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.find(text) != std::string::npos)
      return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const int warm_count = ParseInt(argc, argv, "--warm", 1000);
  const int cold_count = ParseInt(argc, argv, "--cold", 100);
  const bool keep_log = HasFlag(argc, argv, "--keep-log");
  const bool cold_batches = !HasFlag(argc, argv, "--no-cold-batches");
  std::string agent_log;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--agent-log") == 0)
      agent_log = argv[i + 1];
  }
  if (agent_log.empty()) {
    char name[] = "/tmp/soak-agent-XXXXXX.log";
    const int fd = mkstemps(name, 4);
    if (fd < 0) {
      std::perror("agent log");
      return 2;
    }
    close(fd);
    agent_log = name;
  }
  if (!agent_bench::RedirectStderr(agent_log)) {
    std::perror("agent log");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  std::string error;
  snipping_tool::ISnippingToolAgent* agent = agent_bench::LoadAgentLibrary(&error);
  if (!agent) {
    std::printf("cannot load the agent: %s\n", error.c_str());
    return 2;
  }
  BenchHost host;
  snipping_tool::SnippingToolConfig config;
  config.extras["reference_tool_script"] =
      agent_bench::SkipCaptureScript(agent_bench::BenchResultPayload());
  agent->Init(config, &host, false);
  agent_bench::ApplyTypicalSettings(agent);

  const auto ai = agent_bench::TypicalAIRequest();
  int shots = 0;
  int failures = 0;
  std::vector<int64_t> durations;
  auto shot = [&] {
    const auto result = agent_bench::TakeShot(
        &host, agent, "/tmp/soak-agent-shot-" + std::to_string(++shots) + ".png", ai, kShotWait);
    if (result.ok) {
      durations.push_back(result.ns);
    } else {
      ++failures;
      std::string events;
      for (const auto& event : host.TakeEvents())
        events += " " + event;
      std::printf("shot %d %s:%s\n", shots, result.finished ? "failed" : "had no outcome",
                  events.c_str());
    }
  };
  std::vector<Row> rows;
  auto record = [&](const std::string& stage) {
    const double median =
        durations.empty() ? 0 : agent_bench::Summarise(durations).median_us;
    durations.clear();
    rows.push_back({stage, SampleProcess(), median});
  };

  const int64_t start = NowNs();
  shot();
  agent_bench::Settle(&host, kSettle);
  record("after the first shot");

  for (int i = 1; i <= warm_count; ++i) {
    shot();
    if (i % 250 == 0 || i == warm_count) {
      agent_bench::Settle(&host, kSettle);
      record("after " + std::to_string(i) + " warm shots");
    }
  }

  // The first shot's handshake time-out may still be queued; it would stop
  // whichever cold shot is starting when it runs.
  host.RunUntil([&host] { return host.queued() == 0; }, std::chrono::seconds(15));
  int cold_done = 0;
  int batches = 0;
  while (cold_done < cold_count) {
    ++batches;
    const int64_t batch_start = NowNs();
    while (cold_done < cold_count &&
           (!cold_batches ||
            NowNs() - batch_start < (kHandshakeTimeoutMs - kColdBatchMarginMs) * 1000000)) {
      agent->TerminateSnippingTool();
      shot();
      ++cold_done;
      // Sampled at once, without settling: a pause here would let the
      // batch's first time-out fall due.
      if (cold_done % 25 == 0 && cold_done != cold_count)
        record("after " + std::to_string(cold_done) + " cold shots (tool connected, unsettled)");
    }
    // Every time-out of the batch must have run, not only fallen due.
    host.RunUntil([&host] { return host.queued() == 0; }, std::chrono::seconds(15));
  }
  agent_bench::Settle(&host, kSettle);
  record("after " + std::to_string(cold_done) + " cold shots");

  agent->TerminateSnippingTool();
  agent->Uninit();
  host.Drain();
  const ProcessSample first = rows.front().sample;
  // The tools' ends are reaped and the runtime closes the connections on its
  // own threads: wait for that, within bounds, before the last sample.
  const auto end_deadline = agent_bench::Clock::now() + kEndWait;
  while (agent_bench::Clock::now() < end_deadline) {
    const ProcessSample now = SampleProcess();
    if (now.children == 0 && now.fds <= first.fds && now.threads <= first.threads)
      break;
    agent_bench::Settle(&host, std::chrono::milliseconds(50));
  }
  record("end: tool terminated, Uninit, UI queue drained");
  const double seconds = static_cast<double>(NowNs() - start) / 1e9;

  const ProcessSample end = rows.back().sample;
  const bool destroyed = FileContains(agent_log, "[SnippingToolAgent] WaitForStop end");
  struct Check {
    const char* what;
    long long first;
    long long end;
    long long limit;
  };
  const Check checks[] = {
      {"descriptors", first.fds, end.fds, first.fds},
      {"threads", first.threads, end.threads, first.threads},
      {"child processes", first.children, end.children, 0},
      {"VmRSS KiB", first.rss_kib, end.rss_kib, first.rss_kib + kRssSlackKib},
  };

  std::printf("# soak_agent\n\nMachine: %s\n%s at the end\n\n", agent_bench::MachineLine().c_str(),
              agent_bench::LoadLine().c_str());
  std::printf("%d shots (%d warm, %d cold in %d batches), %d failed, %.1f s. Agent log: %s\n\n",
              shots, warm_count, cold_count, batches, failures, seconds, agent_log.c_str());
  std::printf("| Stage | fds | threads | children | VmRSS KiB | heap in use KiB | median shot µs |\n"
              "|---|---:|---:|---:|---:|---:|---:|\n");
  for (const Row& row : rows) {
    std::printf("| %s | %d | %d | %d | %lld | %lld | %.0f |\n", row.stage.c_str(), row.sample.fds,
                row.sample.threads, row.sample.children,
                static_cast<long long>(row.sample.rss_kib),
                static_cast<long long>(row.sample.heap_in_use_kib), row.shot_median_us);
  }
  std::printf("\n| Check (end vs after the first shot) | first | end | limit | |\n"
              "|---|---:|---:|---:|---|\n");
  bool pass = failures == 0;
  for (const Check& check : checks) {
    const bool ok = check.end <= check.limit;
    pass = pass && ok;
    std::printf("| %s | %lld | %lld | <= %lld | %s |\n", check.what, check.first, check.end,
                check.limit, ok ? "ok" : "EXCEEDED");
  }
  std::printf("| service host destroyed (log: WaitForStop end) | | %s | yes | %s |\n",
              destroyed ? "yes" : "no", destroyed ? "ok" : "EXCEEDED");
  std::printf("| failed shots | | %d | 0 | %s |\n", failures, failures == 0 ? "ok" : "EXCEEDED");
  pass = pass && destroyed;
  std::printf("\nPeak VmHWM %lld KiB. Result: %s\n", static_cast<long long>(end.hwm_kib),
              pass ? "PASS" : "FAIL");
  if (pass && !keep_log)
    unlink(agent_log.c_str());
  return pass ? 0 : 1;
}
