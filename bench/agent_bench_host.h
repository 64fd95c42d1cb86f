// What the agent benchmarks and the soak share: a host whose UI thread is
// the caller's own thread driving a task queue on the real clock (unlike the
// tests' virtual one, delayed tasks run when they fall due), and readings of this process's
// resources from /proc.
#ifndef BENCH_AGENT_BENCH_HOST_H_
#define BENCH_AGENT_BENCH_HOST_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "snipping_tool/snipping_tool_agent.h"
#include "tools/task_queue/task_queue.h"

namespace agent_bench {

using Clock = std::chrono::steady_clock;

inline int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// The host's delegate. Posted tasks run only inside RunUntil and Drain, on
// the thread that calls them, which is where the agent's operations are
// called too.
class BenchHost : public snipping_tool::ISnippingToolAgentDelegate {
 public:
  // Called on runtime threads for every runtime log record.
  using LogObserver = std::function<void(int severity, const std::string& message)>;

  BenchHost() = default;
  BenchHost(const BenchHost&) = delete;
  BenchHost& operator=(const BenchHost&) = delete;
  // Virtual for the warning only: the agent never deletes its delegate.
  virtual ~BenchHost() = default;

  // Set before Init; read without a lock afterwards.
  void set_log_observer(LogObserver observer) { log_observer_ = std::move(observer); }

  void Log(int severity, const std::string& file, int line, int64_t value,
           const std::string& message) override;
  void ReportBIEvent(const std::string& key) override;
  void ApplySnippingToolConfig(const std::string&) override {}
  void ShowVipWindow() override {}
  void ShowSelectUserWindow(const snipping_tool::SelectUserWndSnippingShot&) override {}
  void OnSnippingShotResultArrived() override {}
  void PostTask(const std::function<void()>& task, uint32_t delay_ms) override;
  void RequestAI(const snipping_tool::RequestAISnippingShot&,
                 const std::function<void(const snipping_tool::ResponseAISnippingShot&)>&) override {}

  // Runs tasks as they fall due until |done| holds (true) or |timeout|
  // passes (false).
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return ui_.RunUntil(done, timeout);
  }
  // Runs every queued task now, due or not, tasks they post included, until
  // none is left: how the soak lets go of every reference the tasks hold.
  void Drain() { ui_.Drain(); }
  // Tasks waiting, due or not.
  size_t queued() { return ui_.size(); }

  // Analytics keys, for reporting why a shot failed.
  std::vector<std::string> TakeEvents();
  uint64_t runtime_log_count() const { return runtime_log_count_; }

 private:
  std::mutex lock_;
  std::vector<std::string> events_;
  uint64_t runtime_log_count_ = 0;
  LogObserver log_observer_;
  // Last: destroyed first, so that a dropped task holding the agent's
  // service host still finds the host whole when that logs.
  task_queue::TaskQueue ui_{task_queue::TaskQueue::Clock::kReal};
};

// Resources of this process, read from /proc.
struct ProcessSample {
  int threads = 0;        // entries of /proc/self/task
  int fds = 0;            // entries of /proc/self/fd
  int children = 0;       // processes whose parent is this one, zombies included
  int64_t rss_kib = 0;    // VmRSS
  int64_t hwm_kib = 0;    // VmHWM, the peak of VmRSS
  int64_t heap_in_use_kib = 0;  // malloc's main arena: bytes handed out, not freed
};
ProcessSample SampleProcess();

// "Intel(R) Xeon(R) ..., 2 CPUs, Linux 6.1.0-..." for the tables' headers.
std::string MachineLine();
// "load average 0.52 0.40 0.31" (1, 5, 15 minutes), from /proc/loadavg.
std::string LoadLine();

// Median, p99 and the rest of a set of durations in nanoseconds.
struct Summary {
  size_t count = 0;
  double min_us = 0;
  double median_us = 0;
  double p90_us = 0;
  double p99_us = 0;
  double max_us = 0;
  double mean_us = 0;
};
Summary Summarise(std::vector<int64_t> durations_ns);

// A reference-tool script (the extras entry's value) that answers every shot
// request and sends |result_payload| as the result without capturing: the
// capture is the tool's work, not the agent's, and needs a display.
std::string SkipCaptureScript(const std::string& result_payload);
// A result payload of the size a real one has.
std::string BenchResultPayload();
// Sets the switches and settings that make the shot request as large as a
// client's typical one (about 300 bytes with a path of 40).
void ApplyTypicalSettings(snipping_tool::ISnippingToolAgent* agent);
snipping_tool::AIScreenShotRequest TypicalAIRequest();

// Loads the shipped library next to this executable and gets the agent
// through its one export, as a client does. Null with |error| set on failure.
snipping_tool::ISnippingToolAgent* LoadAgentLibrary(std::string* error);
// Sends this process's standard error (the agent's log lines, and the
// tool's, which inherits it) to |path|.
bool RedirectStderr(const std::string& path);

struct ShotResult {
  bool finished = false;  // an outcome arrived in time
  bool ok = false;        // it was the success callable
  int64_t ns = 0;         // SnippingShot -> outcome
};
// One shot, running the UI thread until its outcome or |wait|.
ShotResult TakeShot(BenchHost* host, snipping_tool::ISnippingToolAgent* agent,
                    const std::string& path, const snipping_tool::AIScreenShotRequest& ai,
                    std::chrono::milliseconds wait);
// Runs the UI thread for |duration| (time-outs due meanwhile run too).
void Settle(BenchHost* host, std::chrono::milliseconds duration);

}  // namespace agent_bench

#endif  // BENCH_AGENT_BENCH_HOST_H_
