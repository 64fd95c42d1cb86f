// A single-threaded world on a virtual clock in which the agent's real
// service host and SnippingToolProcess run against a simulated IPC runtime
// (FakeHost, installed behind CreateServiceHost) and simulated processes
// (installed behind the platform's launch and exit wait). Nothing happens by
// itself: pending deliveries wait in lanes until the scheduler runs them.
#ifndef TESTS_AGENT_SIM_SIM_WORLD_H_
#define TESTS_AGENT_SIM_SIM_WORLD_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ipc_core/service_host.h"
#include "ipc_core/testing.h"
#include "platform/process_testing.h"

namespace sim {

// Which thread of the real system an event stands for.
enum Thread { kUiThread, kRuntimeThread, kExitThread };

struct Delivery {
  std::string label;
  Thread thread;
  std::function<void()> run;
};

class FakeHost;

// A simulated tool process and, once it connects, its end of the IPC link.
struct Tool {
  int pid = 0;
  bool running = true;
  bool handle_open = true;
  base::JobHandle job = base::JobHandle();
  std::string secret;
  FakeHost* host = nullptr;  // the host whose port it was started with
  int32_t connection = 0;    // 0 before it connects, -1 when refused
  bool closed = false;       // its end of the link is closed
  bool mute = false;  // connects, then never says anything (a hung tool)
  bool sent_handshake = false;
  bool got_shot = false;  // a shot request reached it
  int results_sent = 0;
  int64_t acked_shot_step = -1;  // when the newest shot request it acknowledged was sent
};

class World : public ipc_core::testing::ServiceHostFactory, public base::testing::FakeProcessLayer {
 public:
  explicit World(uint64_t seed) : rng(seed) {}
  ~World() override;

  // Installs the world behind the runtime and the platform (and removes it).
  void Install();
  void Uninstall();

  std::mt19937_64 rng;
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }
  int64_t now = 0;
  int64_t step = 0;  // the scheduler's step, for the record
  Thread thread = kUiThread;  // the thread of the event being run

  // Pending deliveries: only the head of each lane may run, so the events of
  // one connection keep their order; other lanes interleave freely.
  std::map<uint64_t, std::deque<Delivery>> lanes;
  uint64_t NewLane() { return next_free_lane_++; }
  void Push(uint64_t lane, Delivery delivery) { lanes[lane].push_back(std::move(delivery)); }
  // Timers of the runtime (invoke time-outs), fired when the clock reaches them.
  std::multimap<int64_t, std::function<void()>> timers;
  void FireDueTimers();

  std::vector<Tool> tools;
  Tool* ToolOfPid(int pid) { return pid > 0 && pid <= static_cast<int>(tools.size()) ? &tools[pid - 1] : nullptr; }
  void KillTool(Tool& tool);   // the process ends; its link closes
  void CloseLink(Tool& tool);  // the tool closes its end of the link
  struct ExitWait {
    int pid;
    base::ExitWaitCallback callback;
    void* context;
    bool fired = false;
  };
  std::map<uint64_t, ExitWait> exit_waits;
  double launch_failure_rate = 0.1;
  double start_failure_rate = 0.05;
  // Called at a point where another thread may run (an exit wait cancelled
  // with a wait for its callback: no lock of the process object is held).
  std::function<void()> on_preemption_point;

  std::vector<FakeHost*> hosts;  // every host made, alive or not
  int live_hosts = 0;
  std::vector<std::string> violations;  // broken runtime promises seen by the fakes

  // ServiceHostFactory.
  int32_t Create(const char* host_name, const char* app_name, const char* identity,
                 int32_t app_id, int32_t protocol_tag, ipc_core::IServiceHostObserver* observer,
                 ipc_core::IServiceHost** out) override;
  int32_t Destroy(ipc_core::IServiceHost* host) override;

  // FakeProcessLayer.
  base::Process Launch(const base::CommandLine& command_line,
                       const base::LaunchOptions& options) override;
  bool Terminate(base::ProcessId pid, bool wait) override;
  bool HasExited(base::ProcessId pid) override;
  void Close(base::ProcessId pid) override;
  bool RegisterExitWait(base::ExitWaitHandle* wait, base::ProcessId pid,
                        base::ExitWaitCallback callback, void* context) override;
  bool UnregisterExitWait(base::ExitWaitHandle wait, bool wait_for_running_callback) override;
  void JobClosing(base::JobHandle job) override;

 private:
  uint64_t next_free_lane_ = uint64_t(1) << 62;
  uint64_t next_exit_wait_ = 1;
};

// The simulated runtime's service host. Keeps the promises of
// docs/ipc-protocol.md: one connection's events in order and its disconnect
// after its requests; exactly one outcome per invoke; Invoke to the newest
// live connection or waiting for the next within its time-out; InvokeOn
// failing at once for a connection that is gone; Stop then one
// OnServiceHostStoped and nothing else.
class FakeHost : public ipc_core::IServiceHost {
 public:
  FakeHost(World* world, ipc_core::IServiceHostObserver* observer);
  ~FakeHost() override;

  void AddRef() override { ++refs_; }
  void Release() override {
    if (--refs_ == 0)
      delete this;
  }
  const char* GetHostName() override { return "quillo_service_host"; }
  bool RegisterService(ipc_core::IService* service) override;
  bool AddPeerSecret(const char* secret, uint64_t tag) override;
  int32_t GetPort() override { return published_port_; }
  bool Start() override;
  void Stop() override;
  bool Invoke(const char* method, const char* payload, ipc_core::IRequestContext* context) override;
  uint64_t GetConnectionTag(int32_t connection_id) override;
  bool InvokeOn(int32_t connection_id, const char* method, const char* payload,
                ipc_core::IRequestContext* context) override;

  // The tool side.
  bool listening() const { return listening_ && !stopped_; }
  bool stopped() const { return stopped_; }
  bool Knows(const std::string& secret) const;
  // Completes the opening exchange with |secret|: the new connection's id,
  // or 0 when refused.
  int32_t Connect(const std::string& secret);
  // The peer sends a request on |connection|; |on_reply| gets the answer.
  void Request(int32_t connection, const std::string& method, const std::string& payload,
               std::function<void(bool ok)> on_reply = {});
  // The peer's end of |connection| closed; the runtime notices it later.
  void PeerClosed(int32_t connection);
  struct PendingInvoke {
    int32_t connection;  // 0 while waiting for a connection
    std::string method, payload;
    ipc_core::ipc_core_refptr<ipc_core::IRequestContext> context;
    bool waited;  // issued while no tool was connected
    int64_t issued_step = 0;
    bool tool_done = false;  // the tool answered it, or never will
  };
  std::map<uint64_t, PendingInvoke> invokes;
  // The peer answers invoke |id| (ok, or an error of its own).
  void Answer(uint64_t id, bool ok);
  int32_t NewestLiveConnection() const;
  // Invokes issued while no tool was connected that reached a later tool,
  // by method.
  std::vector<std::string> waited_and_delivered;

 private:
  struct Connection {
    uint64_t tag = 0;
    bool lost = false;
    bool gone = false;  // its disconnect has been delivered
  };
  void Outcome(uint64_t id, std::function<void(ipc_core::IRequestContext*)> deliver);
  uint64_t Lane(int32_t connection) const { return serial_ * 1000000 + connection; }

  World* world_;
  ipc_core::IServiceHostObserver* observer_;
  ipc_core::IService* service_ = nullptr;
  int refs_ = 0;
  uint64_t serial_;
  std::map<std::string, uint64_t> secrets_;
  std::map<int32_t, Connection> connections_;
  int32_t next_connection_ = 1;
  int32_t published_port_ = 0;
  bool started_ = false, listening_ = false, stopped_ = false;
  uint64_t next_invoke_ = 1;
};

}  // namespace sim

#endif  // TESTS_AGENT_SIM_SIM_WORLD_H_
