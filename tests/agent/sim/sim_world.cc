#include "tests/agent/sim/sim_world.h"

#include <utility>

#include "platform/last_error.h"

namespace sim {
namespace {

constexpr int32_t kFirstPort = 41000;

// The handle of one request delivered to the agent; the first answer counts.
class FakeFeature : public ipc_core::IRequestFeature {
 public:
  FakeFeature(int32_t connection, std::string method, std::function<void(bool)> on_reply)
      : connection_(connection), method_(std::move(method)), on_reply_(std::move(on_reply)) {}
  void AddRef() override { ++refs_; }
  void Release() override {
    if (--refs_ == 0)
      delete this;
  }
  void Reply(const char*) override { Answer(true); }
  void ReplyError(int32_t, const char*) override { Answer(false); }
  const char* GetMethod() const override { return method_.c_str(); }
  int32_t GetConnectionId() const override { return connection_; }

 private:
  void Answer(bool ok) {
    if (answered_)
      return;
    answered_ = true;
    if (on_reply_)
      on_reply_(ok);
  }
  int refs_ = 0;
  bool answered_ = false;
  int32_t connection_;
  std::string method_;
  std::function<void(bool)> on_reply_;
};

// While a callback of the host runs, the observer cannot be destroyed: its
// destructor waits for OnServiceHostStoped, which comes only once every
// callback in flight has returned. One thread cannot wait for itself, so
// the wait is played by a reference held for the callback's duration.
class InFlight {
 public:
  explicit InFlight(ipc_core::IServiceHostObserver* observer) : observer_(observer) {
    observer_->AddRef();
  }
  ~InFlight() { observer_->Release(); }

 private:
  ipc_core::IServiceHostObserver* observer_;
};

}  // namespace

World::~World() {
  Uninstall();
}

void World::Install() {
  ipc_core::testing::SetServiceHostFactory(this);
  base::testing::SetFakeProcessLayer(this);
}

void World::Uninstall() {
  ipc_core::testing::SetServiceHostFactory(nullptr);
  base::testing::SetFakeProcessLayer(nullptr);
}

void World::FireDueTimers() {
  while (!timers.empty() && timers.begin()->first <= now) {
    auto fire = std::move(timers.begin()->second);
    timers.erase(timers.begin());
    fire();
  }
}

void World::KillTool(Tool& tool) {
  tool.running = false;
  CloseLink(tool);
}

void World::CloseLink(Tool& tool) {
  if (tool.connection > 0 && !tool.closed && tool.host)
    tool.host->PeerClosed(tool.connection);
  tool.closed = true;
}

int32_t World::Create(const char*, const char*, const char*, int32_t, int32_t,
                      ipc_core::IServiceHostObserver* observer, ipc_core::IServiceHost** out) {
  auto* host = new FakeHost(this, observer);
  host->AddRef();
  *out = host;
  return ipc_core::kOk;
}

int32_t World::Destroy(ipc_core::IServiceHost* host) {
  host->Stop();
  return ipc_core::kOk;
}

base::Process World::Launch(const base::CommandLine&, const base::LaunchOptions& options) {
  if (Chance(launch_failure_rate)) {
    base::SetLastSystemError(2);
    return base::Process();
  }
  Tool tool;
  tool.pid = static_cast<int>(tools.size()) + 1;
  tool.job = options.job_handle;
  tool.mute = Chance(0.15);
  auto secret = options.environment.find(ipc_core::kPeerSecretEnvironmentVariable);
  if (secret != options.environment.end())
    tool.secret = secret->second;
  // The tool finds the host that was told its secret (the launching one).
  for (FakeHost* host : hosts) {
    if (host && host->Knows(tool.secret))
      tool.host = host;
  }
  if (!tool.host && !hosts.empty())
    tool.host = hosts.back();
  tools.push_back(tool);
  base::SetLastSystemError(0);
  return base::testing::MakeFakeProcess(tool.pid);
}

bool World::Terminate(base::ProcessId pid, bool) {
  Tool* tool = ToolOfPid(pid);
  if (!tool)
    return false;
  if (tool->running)
    KillTool(*tool);
  return true;
}

bool World::HasExited(base::ProcessId pid) {
  Tool* tool = ToolOfPid(pid);
  return tool && !tool->running;
}

void World::Close(base::ProcessId pid) {
  if (Tool* tool = ToolOfPid(pid))
    tool->handle_open = false;
}

bool World::RegisterExitWait(base::ExitWaitHandle* wait, base::ProcessId pid,
                             base::ExitWaitCallback callback, void* context) {
  if (!wait || !callback || !ToolOfPid(pid))
    return false;
  const uint64_t number = next_exit_wait_++;
  exit_waits[number] = ExitWait{static_cast<int>(pid), callback, context};
  *wait = base::testing::MakeFakeExitWait(number);
  return true;
}

bool World::UnregisterExitWait(base::ExitWaitHandle wait, bool wait_for_running_callback) {
  const bool known = exit_waits.erase(base::testing::FakeExitWaitNumber(wait)) > 0;
  if (wait_for_running_callback && on_preemption_point)
    on_preemption_point();
  return known;
}

void World::JobClosing(base::JobHandle job) {
  for (Tool& tool : tools) {
    if (tool.job == job && tool.running)
      KillTool(tool);
  }
}

// ---------------------------------------------------------------------------

FakeHost::FakeHost(World* world, ipc_core::IServiceHostObserver* observer)
    : world_(world), observer_(observer), serial_(world->hosts.size() + 1) {
  world_->hosts.push_back(this);
  ++world_->live_hosts;
  ipc_core::ipc_core_refptr<FakeHost> self(this);
  world_->Push(Lane(0), {"runtime: host init", kRuntimeThread, [self] {
                           if (self->stopped_)
                             return;
                           InFlight in_flight(self->observer_);
                           self->observer_->OnServiceHostInit(self.get());
                         }});
}

FakeHost::~FakeHost() {
  --world_->live_hosts;
  for (FakeHost*& host : world_->hosts) {
    if (host == this)
      host = nullptr;
  }
  for (Tool& tool : world_->tools) {
    if (tool.host == this)
      tool.host = nullptr;
  }
}

bool FakeHost::Knows(const std::string& secret) const {
  return secrets_.count(secret) > 0;
}

bool FakeHost::RegisterService(ipc_core::IService* service) {
  service_ = service;
  return true;
}

bool FakeHost::AddPeerSecret(const char* secret, uint64_t tag) {
  if (!secret || !*secret)
    return false;
  secrets_[secret] = tag;
  return true;
}

bool FakeHost::Start() {
  if (started_ || stopped_)
    return false;
  started_ = true;
  const bool fails = world_->Chance(world_->start_failure_rate);
  ipc_core::ipc_core_refptr<FakeHost> self(this);
  const int32_t port = kFirstPort + static_cast<int32_t>(serial_);
  world_->Push(Lane(0), {fails ? "runtime: port failure" : "runtime: port ready", kRuntimeThread,
                         [self, fails, port] {
                           if (self->stopped_)
                             return;
                           InFlight in_flight(self->observer_);
                           if (fails) {
                             self->observer_->OnServiceHostStartFailure(
                                 self.get(), ipc_core::kErrorListenFailed);
                             return;
                           }
                           self->listening_ = true;
                           self->published_port_ = port;
                           self->observer_->OnServiceHostStartSuccess(self.get(), port);
                         }});
  return true;
}

void FakeHost::Stop() {
  if (stopped_)
    return;
  stopped_ = true;
  listening_ = false;
  auto pending = std::move(invokes);
  invokes.clear();
  for (auto& entry : pending)
    entry.second.context->OnError(ipc_core::kErrorHostStopped, "host stopped");
  observer_->OnServiceHostStoped(this);
}

int32_t FakeHost::NewestLiveConnection() const {
  for (auto it = connections_.rbegin(); it != connections_.rend(); ++it) {
    if (!it->second.lost)
      return it->first;
  }
  return 0;
}

bool FakeHost::Invoke(const char* method, const char* payload, ipc_core::IRequestContext* context) {
  return InvokeOn(-1, method, payload, context);
}

bool FakeHost::InvokeOn(int32_t connection_id, const char* method, const char* payload,
                        ipc_core::IRequestContext* context) {
  if (!context)
    return false;
  const uint64_t id = next_invoke_++;
  int32_t target = connection_id;
  if (connection_id == -1) {
    target = NewestLiveConnection();
  } else {
    auto found = connections_.find(connection_id);
    if (found == connections_.end() || found->second.lost)
      target = -1;
  }
  invokes[id] = PendingInvoke{target, method ? method : "", payload ? payload : "",
                              ipc_core::ipc_core_refptr<ipc_core::IRequestContext>(context),
                              target == 0, world_->step};
  if (stopped_ || target == -1) {
    const int32_t code = stopped_ ? ipc_core::kErrorHostStopped : ipc_core::kErrorConnectionLost;
    Outcome(id, [code](ipc_core::IRequestContext* c) { c->OnError(code, "refused"); });
    return false;
  }
  if (target > 0)
    context->SetSentAt(ipc_core::NowTicks());
  const int32_t timeout = context->GetTimeoutMs();
  ipc_core::ipc_core_refptr<FakeHost> self(this);
  auto expire = [self, id] {
    if (self->invokes.count(id))
      self->Outcome(id, [](ipc_core::IRequestContext* c) { c->OnTimeout(); });
  };
  if (timeout <= 0)
    expire();
  else
    world_->timers.emplace(world_->now + timeout, expire);
  return true;
}

uint64_t FakeHost::GetConnectionTag(int32_t connection_id) {
  auto found = connections_.find(connection_id);
  return found == connections_.end() || found->second.gone ? 0 : found->second.tag;
}

void FakeHost::Outcome(uint64_t id, std::function<void(ipc_core::IRequestContext*)> deliver) {
  auto found = invokes.find(id);
  if (found == invokes.end())
    return;
  auto context = found->second.context;
  invokes.erase(found);
  world_->Push(world_->NewLane(), {"runtime: invoke outcome", kRuntimeThread,
                                   [context, deliver] { deliver(context.get()); }});
}

int32_t FakeHost::Connect(const std::string& secret) {
  if (!listening())
    return 0;
  const int32_t id = next_connection_++;
  auto found = secrets_.find(secret);
  if (secret.empty() || found == secrets_.end())
    return 0;  // Refused; the id is used up all the same.
  connections_[id].tag = found->second;
  secrets_.erase(found);
  ipc_core::ipc_core_refptr<FakeHost> self(this);
  world_->Push(Lane(id), {"runtime: connected", kRuntimeThread, [self, id] {
                            if (self->stopped_)
                              return;
                            InFlight in_flight(self->observer_);
                            self->observer_->OnServiceInvokerConnected(self.get(), id);
                          }});
  for (auto& entry : invokes) {
    if (entry.second.connection != 0)
      continue;
    entry.second.connection = id;
    entry.second.context->SetSentAt(ipc_core::NowTicks());
    if (entry.second.waited)
      waited_and_delivered.push_back(entry.second.method);
  }
  return id;
}

void FakeHost::Request(int32_t connection, const std::string& method, const std::string& payload,
                       std::function<void(bool)> on_reply) {
  ipc_core::ipc_core_refptr<FakeHost> self(this);
  world_->Push(Lane(connection),
               {"runtime: request " + method.substr(method.rfind('.') + 1), kRuntimeThread,
                [self, connection, method, payload, on_reply] {
                  if (self->stopped_ || !self->service_)
                    return;
                  InFlight in_flight(self->observer_);
                  ipc_core::ipc_core_refptr<ipc_core::IRequestFeature> feature(
                      new FakeFeature(connection, method, on_reply));
                  if (!self->service_->HandleRequest(method.c_str(), payload.c_str(),
                                                     feature.get())) {
                    feature->ReplyError(ipc_core::kErrorNoHandler, "no handler");
                  }
                }});
}

void FakeHost::PeerClosed(int32_t connection) {
  ipc_core::ipc_core_refptr<FakeHost> self(this);
  world_->Push(world_->NewLane(), {"runtime: notices the end of a link", kRuntimeThread,
                                   [self, connection] {
                                     if (self->stopped_)
                                       return;
                                     self->connections_[connection].lost = true;
                                     std::vector<uint64_t> lost;
                                     for (auto& entry : self->invokes) {
                                       if (entry.second.connection == connection)
                                         lost.push_back(entry.first);
                                     }
                                     for (uint64_t id : lost) {
                                       self->Outcome(id, [](ipc_core::IRequestContext* c) {
                                         c->OnError(ipc_core::kErrorConnectionLost, "lost");
                                       });
                                     }
                                     self->world_->Push(
                                         self->Lane(connection),
                                         {"runtime: disconnected", kRuntimeThread,
                                          [self, connection] {
                                            if (self->stopped_)
                                              return;
                                            InFlight in_flight(self->observer_);
                                            self->observer_->OnServiceInvokerDisconnected(
                                                self.get(), connection);
                                            self->connections_[connection].gone = true;
                                          }});
                                   }});
}

void FakeHost::Answer(uint64_t id, bool ok) {
  Outcome(id, [ok](ipc_core::IRequestContext* c) {
    if (ok)
      c->OnResponse("");
    else
      c->OnError(ipc_core::kErrorRemote, "tool refused");
  });
}

}  // namespace sim
