// The agent's idle footprint in a host that loads the shipped library with
// dlopen: threads (/proc/self/task) and resident memory (VmRSS) before the
// library is loaded, after Init, after the first shot, after more shots,
// after the tool is terminated and after Uninit. The host's own threads
// (this one) are counted before the load and subtracted.
//
//   agent_footprint_bench [--agent-log PATH]   (the agent's stderr; default /dev/null)
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/agent_bench_host.h"

namespace {

using agent_bench::BenchHost;
using agent_bench::ProcessSample;
using agent_bench::SampleProcess;

// Long enough for the runtime to finish with a connection that just ended
// and for the exit watcher to reap the tool, short next to a host's idle time.
constexpr std::chrono::milliseconds kSettle{500};
constexpr std::chrono::seconds kShotWait{20};

struct Row {
  std::string stage;
  ProcessSample sample;
};

}  // namespace

int main(int argc, char** argv) {
  std::string agent_log = "/dev/null";
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--agent-log") == 0)
      agent_log = argv[i + 1];
  }
  if (!agent_bench::RedirectStderr(agent_log)) {
    std::perror("agent log");
    return 2;
  }

  std::vector<Row> rows;
  auto record = [&rows](const std::string& stage) {
    rows.push_back({stage, SampleProcess()});
  };
  record("host alone, library not loaded");

  std::string error;
  snipping_tool::ISnippingToolAgent* agent = agent_bench::LoadAgentLibrary(&error);
  if (!agent) {
    std::printf("cannot load the agent: %s\n", error.c_str());
    return 3;
  }
  record("library loaded, agent object got");

  BenchHost host;
  snipping_tool::SnippingToolConfig config;
  config.extras["reference_tool_script"] =
      agent_bench::SkipCaptureScript(agent_bench::BenchResultPayload());
  agent->Init(config, &host, false);
  agent_bench::ApplyTypicalSettings(agent);
  agent_bench::Settle(&host, kSettle);
  record("after Init (idle)");

  const auto ai = agent_bench::TypicalAIRequest();
  int failures = 0;
  auto shot = [&](int n) {
    const auto result = agent_bench::TakeShot(&host, agent, "/tmp/agent-footprint-" +
                                                                std::to_string(n) + ".png",
                                              ai, kShotWait);
    if (!result.ok)
      ++failures;
  };
  shot(0);
  agent_bench::Settle(&host, kSettle);
  record("after the first shot (idle, tool connected)");

  for (int i = 1; i <= 100; ++i)
    shot(i);
  agent_bench::Settle(&host, kSettle);
  record("after 100 more warm shots (idle)");

  agent->TerminateSnippingTool();
  agent_bench::Settle(&host, kSettle);
  record("after TerminateSnippingTool (idle, no tool)");

  // The time-outs still queued hold references to the service host; they
  // run (and do nothing) here, and the last one destroys it.
  agent->Uninit();
  host.Drain();
  agent_bench::Settle(&host, kSettle);
  record("after Uninit, UI queue drained");

  const ProcessSample& base = rows.front().sample;
  std::printf("# agent_footprint_bench\n\nMachine: %s\n%s at the end\n\n",
              agent_bench::MachineLine().c_str(), agent_bench::LoadLine().c_str());
  std::printf("| Stage | threads | agent's threads | VmRSS KiB | RSS over host KiB | fds | "
              "children |\n|---|---:|---:|---:|---:|---:|---:|\n");
  for (const Row& row : rows) {
    std::printf("| %s | %d | %d | %lld | %lld | %d | %d |\n", row.stage.c_str(),
                row.sample.threads, row.sample.threads - base.threads,
                static_cast<long long>(row.sample.rss_kib),
                static_cast<long long>(row.sample.rss_kib - base.rss_kib), row.sample.fds,
                row.sample.children);
  }
  std::printf("\nShots failed: %d. Peak VmHWM: %lld KiB.\n", failures,
              static_cast<long long>(rows.back().sample.hwm_kib));
  return failures == 0 ? 0 : 1;
}
