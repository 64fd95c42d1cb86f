#include "bench/agent_bench_host.h"

#include <dlfcn.h>
#include <malloc.h>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <sstream>
#include <thread>

#include "tests/support/test_os.h"
#include "tests/support/test_text.h"

namespace agent_bench {

void BenchHost::Log(int severity, const std::string&, int, int64_t, const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    ++runtime_log_count_;
  }
  if (log_observer_)
    log_observer_(severity, message);
}

void BenchHost::ReportBIEvent(const std::string& key) {
  std::lock_guard<std::mutex> lock(lock_);
  events_.push_back(key);
}

void BenchHost::PostTask(const std::function<void()>& task, uint32_t delay_ms) {
  ui_.PostTask(task, delay_ms);
}

std::vector<std::string> BenchHost::TakeEvents() {
  std::lock_guard<std::mutex> lock(lock_);
  std::vector<std::string> events;
  events.swap(events_);
  return events;
}

namespace {

int64_t StatusField(const std::string& status, const char* name) {
  const size_t at = status.find(name);
  if (at == std::string::npos)
    return -1;
  return std::strtoll(status.c_str() + at + std::strlen(name), nullptr, 10);
}

}  // namespace

ProcessSample SampleProcess() {
  ProcessSample sample;
  sample.threads = test_os::CountThreads();
  // One of the descriptors is the one used to list them.
  sample.fds = test_os::CountOpenHandles() - 1;
  sample.children = static_cast<int>(test_os::ChildProcesses().size());
  const std::string status = test_support::ReadFile("/proc/self/status");
  sample.rss_kib = StatusField(status, "VmRSS:");
  sample.hwm_kib = StatusField(status, "VmHWM:");
  // Unlike VmRSS, this does not count freed memory the allocator keeps: it
  // tells a leak from fragmentation. It covers malloc's main arena only, not
  // the arenas of other threads.
  sample.heap_in_use_kib = static_cast<int64_t>(mallinfo2().uordblks / 1024);
  return sample;
}

std::string MachineLine() {
  std::string model = "unknown CPU";
  std::istringstream cpuinfo(test_support::ReadFile("/proc/cpuinfo"));
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("model name", 0) == 0) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos)
        model = line.substr(colon + 2);
      break;
    }
  }
  utsname uts{};
  uname(&uts);
  return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " CPUs, " +
         uts.sysname + " " + uts.release;
}

std::string LoadLine() {
  std::istringstream in(test_support::ReadFile("/proc/loadavg"));
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return "load average " + one + " " + five + " " + fifteen;
}

Summary Summarise(std::vector<int64_t> durations_ns) {
  Summary summary;
  summary.count = durations_ns.size();
  if (durations_ns.empty())
    return summary;
  std::sort(durations_ns.begin(), durations_ns.end());
  // Nearest-rank percentiles: the value below which |p| of the samples lie.
  auto at = [&durations_ns](double p) {
    const size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(durations_ns.size())));
    return static_cast<double>(durations_ns[std::min(durations_ns.size() - 1, rank ? rank - 1 : 0)]) /
           1000.0;
  };
  summary.min_us = static_cast<double>(durations_ns.front()) / 1000.0;
  summary.median_us = at(0.5);
  summary.p90_us = at(0.9);
  summary.p99_us = at(0.99);
  summary.max_us = static_cast<double>(durations_ns.back()) / 1000.0;
  summary.mean_us = static_cast<double>(std::accumulate(durations_ns.begin(), durations_ns.end(),
                                                        int64_t{0})) /
                    1000.0 / static_cast<double>(durations_ns.size());
  return summary;
}

std::string SkipCaptureScript(const std::string& result_payload) {
  // Both steps run at the same stage, in order: the first stops the capture
  // and the real result, the second sends the given one instead.
  return std::string(R"({"steps":[{"at":"after_shot_reply","do":"skip_result"},)") +
         R"({"at":"after_shot_reply","do":"send_result","json":)" + result_payload + "}]}";
}

std::string BenchResultPayload() {
  // Event 5 is the tool's code for a result a script sent; the path has the
  // length of the requests' paths, so the size is that of a real result.
  return R"({"image_file_path":"/tmp/agent-bench/shot-000000-scripted.png",)"
         R"("snipping_event":5,"ai_skill_data":"","pos_x":0,"pos_y":0})";
}

void ApplyTypicalSettings(snipping_tool::ISnippingToolAgent* agent) {
  agent->SetIsDarkTheme(true);
  agent->SetVipStatus(2);
  agent->SetGraySwitch("enable_screen_tool_ocr", true);
  agent->SetGraySwitch("enable_screen_tool_pin", true);
  agent->SetGraySwitch("enable_screen_tool_translate", false);
}

snipping_tool::AIScreenShotRequest TypicalAIRequest() {
  snipping_tool::AIScreenShotRequest request;
  request.skills.push_back({"translate", R"({"dest":"en"})", ""});
  request.agentInfo = {"assistant", "agent-0042", ""};
  return request;
}

snipping_tool::ISnippingToolAgent* LoadAgentLibrary(std::string* error) {
  const std::string path = test_os::ExecutableDir() + "/libsnipping_tool_agent.so";
  // Never closed: the agent singleton and the runtime's threads live until
  // the process ends.
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    *error = dlerror();
    return nullptr;
  }
  auto get = reinterpret_cast<GetQuilloSnipingToolAgentFunction>(
      dlsym(library, "GetQuilloSnipingToolAgent"));
  snipping_tool::ISnippingToolAgent* agent = nullptr;
  if (!get || !get(&agent) || !agent) {
    *error = "GetQuilloSnipingToolAgent failed";
    return nullptr;
  }
  return agent;
}

bool RedirectStderr(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0)
    return false;
  const bool ok = dup2(fd, STDERR_FILENO) >= 0;
  close(fd);
  return ok;
}

ShotResult TakeShot(BenchHost* host, snipping_tool::ISnippingToolAgent* agent,
                    const std::string& path, const snipping_tool::AIScreenShotRequest& ai,
                    std::chrono::milliseconds wait) {
  // Shared with the callables: a shot that times out here may still
  // complete later, when the locals are gone.
  struct State {
    bool done = false;
    bool ok = false;
    int64_t end = 0;
  };
  auto state = std::make_shared<State>();
  const int64_t start = NowNs();
  agent->SnippingShot(
      path,
      [state](const snipping_tool::NotifySnippingShot&) {
        state->end = NowNs();
        state->ok = true;
        state->done = true;
      },
      [state] {
        state->end = NowNs();
        state->done = true;
      },
      4, ai);
  ShotResult result;
  result.finished = host->RunUntil([&state] { return state->done; }, wait);
  result.ok = state->ok;
  result.ns = state->end - start;
  return result;
}

void Settle(BenchHost* host, std::chrono::milliseconds duration) {
  host->RunUntil([] { return false; }, duration);
}

}  // namespace agent_bench
