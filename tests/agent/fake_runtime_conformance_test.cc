// The simulated runtime of tests/agent/sim keeps the promises of the real
// one: each scenario runs against both, and both must give what the table
// says.
#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/agent/sim/sim_world.h"
#include "tests/ipc_core/ipc_test_support.h"

namespace {

using ipc_core::ipc_core_refptr;

// What the host end saw: its connection's events in order, and the
// outcomes of its invokes (in any order: they are not ordered by promise).
class Record {
 public:
  void Connection(const std::string& event) {
    std::lock_guard<std::mutex> hold(lock_);
    connection_.push_back(event);
  }
  void Outcome(const std::string& event) {
    std::lock_guard<std::mutex> hold(lock_);
    outcomes_.push_back(event);
  }
  std::vector<std::string> connection() {
    std::lock_guard<std::mutex> hold(lock_);
    return connection_;
  }
  std::vector<std::string> outcomes() {
    std::lock_guard<std::mutex> hold(lock_);
    auto sorted = outcomes_;
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  }
  size_t size() {
    std::lock_guard<std::mutex> hold(lock_);
    return connection_.size() + outcomes_.size();
  }

 private:
  std::mutex lock_;
  std::vector<std::string> connection_, outcomes_;
};

class Observer : public ipc_test::Counted<ipc_core::IServiceHostObserver> {
 public:
  explicit Observer(Record* record) : record_(record) {}
  void OnServiceHostInit(ipc_core::IServiceHost*) override {}
  void OnServiceHostStartSuccess(ipc_core::IServiceHost*, int32_t port) override { port_ = port; }
  void OnServiceHostStartFailure(ipc_core::IServiceHost*, int32_t) override {}
  void OnServiceHostStoped(ipc_core::IServiceHost*) override { stopped_ = true; }
  void OnServiceInvokerConnected(ipc_core::IServiceHost* host, int32_t id) override {
    last_connection_ = id;
    record_->Connection("connected tag:" + std::to_string(host->GetConnectionTag(id)));
  }
  void OnServiceInvokerDisconnected(ipc_core::IServiceHost*, int32_t) override {
    record_->Connection("disconnected");
  }
  std::atomic<int32_t> port_{0}, last_connection_{0};
  std::atomic<bool> stopped_{false};

 private:
  Record* record_;
};

class Context : public ipc_core::RequestContext {
 public:
  Context(Record* record, std::string name, int32_t timeout_ms) : record_(record), name_(name) {
    set_timeout(timeout_ms);
  }
  void OnResponse(const char*) override { record_->Outcome(name_ + ": response"); }
  void OnError(int32_t code, const char*) override {
    record_->Outcome(name_ + ": error " + std::to_string(code));
  }
  void OnTimeout() override { record_->Outcome(name_ + ": timeout"); }

 private:
  Record* record_;
  std::string name_;
};

// One end of the comparison: a started host and the tools that talk to it.
class Runtime {
 public:
  virtual ~Runtime() = default;
  ipc_core::IServiceHost* host() { return host_.get(); }
  Record record;
  // A tool presenting |secret| connects; its index.
  virtual int Connect(const std::string& secret, bool answers) = 0;
  virtual void Close(int tool) = 0;
  // A raw tool connects, writes |methods| as requests and closes at once.
  virtual void SendAllAndClose(const std::string& secret, const std::vector<std::string>& methods) = 0;
  // Lets |events| host-side events happen (all that are due, on the fake).
  virtual void Await(size_t events) = 0;
  // A tool received an invoke (and holds it, when it does not answer).
  virtual void AwaitDelivered(int tool) = 0;
  void Invoke(const std::string& name, int32_t timeout_ms, int32_t connection = 0) {
    ipc_core_refptr<Context> context(new Context(&record, name, timeout_ms));
    if (connection)
      host_->InvokeOn(connection, "snipping_tool.snipping.shot", "{}", context.get());
    else
      host_->Invoke("snipping_tool.snipping.shot", "{}", context.get());
  }
  int32_t last_connection() const { return observer_->last_connection_; }

 protected:
  void MakeService() {
    service_ = ipc_core_refptr<ipc_test::LambdaService>(new ipc_test::LambdaService("snipping_tool_agent"));
    for (const char* method : {"snipping_tool_agent.x1", "snipping_tool_agent.x2", "snipping_tool_agent.x3"}) {
      service_->On(method, [this, method](const std::string&, ipc_core::IRequestFeature* feature) {
        record.Connection(std::string("request ") + method);
        feature->Reply("");
      });
    }
  }
  ipc_core_refptr<Observer> observer_{new Observer(&record)};
  ipc_core_refptr<ipc_test::LambdaService> service_;
  ipc_core_refptr<ipc_core::IServiceHost> host_;
};

class RealRuntime : public Runtime {
 public:
  RealRuntime() {
    ipc_core::InitIPCCoreRuntime(nullptr);
    MakeService();
    ipc_core::IServiceHost* raw = nullptr;
    ipc_core::CreateServiceHost("h", "a", "", 1, 2, observer_.get(), &raw);
    host_ = ipc_core_refptr<ipc_core::IServiceHost>::Adopt(raw);
    host_->RegisterService(service_.get());
    host_->AddPeerSecret("good-secret", 7);
    host_->Start();
    EXPECT_TRUE(ipc_test::WaitUntil([&] { return observer_->port_ != 0; }));
  }
  ~RealRuntime() override {
    for (auto& tool : tools_)
      tool.client.client->Close();
    host_->Stop();
    EXPECT_TRUE(ipc_test::WaitUntil([&] { return observer_->stopped_.load(); }));
  }
  int Connect(const std::string& secret, bool answers) override {
    tools_.emplace_back(ipc_test::TestClient::Create());
    Tool& tool = tools_.back();
    tool.service = ipc_core_refptr<ipc_test::LambdaService>(new ipc_test::LambdaService("snipping_tool"));
    auto* delivered = &tool.delivered;
    auto* held = &tool.held;
    tool.service->On("snipping_tool.snipping.shot",
                     [answers, delivered, held](const std::string&, ipc_core::IRequestFeature* f) {
                       if (answers)
                         f->Reply("");
                       else
                         held->push_back(ipc_core_refptr<ipc_core::IRequestFeature>(f));
                       ++*delivered;
                     });
    tool.client.client->RegisterService(tool.service.get());
    tool.client.Connect(observer_->port_, secret);
    return static_cast<int>(tools_.size()) - 1;
  }
  void SendAllAndClose(const std::string& secret, const std::vector<std::string>& methods) override {
    ipc_test::RawPeer peer(observer_->port_);
    peer.SendHello(secret);
    ipc_core::wire::Frame welcome;
    ASSERT_TRUE(peer.ReadFrame(&welcome));
    std::string bytes;
    uint64_t id = 1;
    for (const std::string& method : methods)
      ipc_core::wire::AppendRequest(&bytes, id++, method, "{}");
    peer.Send(bytes);
    peer.Close();
  }
  void Close(int tool) override { tools_[tool].client.client->Close(); }
  void Await(size_t events) override {
    EXPECT_TRUE(ipc_test::WaitUntil([&] { return record.size() >= events; }));
  }
  void AwaitDelivered(int tool) override {
    EXPECT_TRUE(ipc_test::WaitUntil([&] { return tools_[tool].delivered.load() > 0; }));
  }

 private:
  struct Tool {
    ipc_test::TestClient client;
    ipc_core_refptr<ipc_test::LambdaService> service;
    std::atomic<int> delivered{0};
    std::vector<ipc_core_refptr<ipc_core::IRequestFeature>> held;
    explicit Tool(ipc_test::TestClient c) : client(std::move(c)) {}
  };
  std::deque<Tool> tools_;
};

class FakeRuntime : public Runtime {
 public:
  FakeRuntime() : world_(1) {
    world_.start_failure_rate = 0;
    MakeService();
    auto* fake = new sim::FakeHost(&world_, observer_.get());
    host_ = ipc_core_refptr<ipc_core::IServiceHost>(fake);
    fake_ = fake;
    host_->RegisterService(service_.get());
    host_->AddPeerSecret("good-secret", 7);
    host_->Start();
    Await(0);
  }
  ~FakeRuntime() override {
    host_->Stop();
    EXPECT_TRUE(observer_->stopped_.load());
    host_ = nullptr;
    world_.lanes.clear();
    world_.timers.clear();
  }
  int Connect(const std::string& secret, bool answers) override {
    tools_.push_back({fake_->Connect(secret), answers});
    return static_cast<int>(tools_.size()) - 1;
  }
  void SendAllAndClose(const std::string& secret, const std::vector<std::string>& methods) override {
    const int32_t connection = fake_->Connect(secret);
    for (const std::string& method : methods)
      fake_->Request(connection, method, "{}");
    fake_->PeerClosed(connection);
  }
  void Close(int tool) override { fake_->PeerClosed(tools_[tool].connection); }
  // Everything due runs; while fewer than |events| happened, time passes
  // to the next timer.
  void Await(size_t events) override {
    for (int budget = 1000; budget > 0; --budget) {
      for (auto& tool : tools_) {
        for (auto& entry : fake_->invokes) {
          if (entry.second.connection == tool.connection && tool.connection && !entry.second.tool_done) {
            entry.second.tool_done = true;
            ++tool.delivered;
            if (tool.answers)
              answer_.push_back(entry.first);
          }
        }
      }
      for (uint64_t id : answer_)
        fake_->Answer(id, true);
      answer_.clear();
      if (!world_.lanes.empty()) {
        auto lane = world_.lanes.begin();
        sim::Delivery delivery = std::move(lane->second.front());
        lane->second.pop_front();
        if (lane->second.empty())
          world_.lanes.erase(lane);
        delivery.run();
      } else if (!world_.timers.empty() && record.size() < events) {
        world_.now = world_.timers.begin()->first;
        world_.FireDueTimers();
      } else {
        return;
      }
    }
  }
  void AwaitDelivered(int tool) override {
    Await(0);
    EXPECT_GT(tools_[tool].delivered, 0);
  }

 private:
  struct Tool {
    int32_t connection;
    bool answers;
    int delivered = 0;
  };
  sim::World world_;
  sim::FakeHost* fake_;
  std::vector<Tool> tools_;
  std::vector<uint64_t> answer_;
};

struct Scenario {
  const char* name;
  std::function<void(Runtime&)> script;
  std::vector<std::string> connection;
  std::vector<std::string> outcomes;
};

const Scenario kScenarios[] = {
    {"an invoke reaches the connected tool, which answers",
     [](Runtime& rt) {
       rt.Connect("good-secret", true);
       rt.Await(1);
       rt.Invoke("a", 5000);
       rt.Await(2);
     },
     {"connected tag:7"},
     {"a: response"}},
    {"an invoke made with no tool connected waits for the next one",
     [](Runtime& rt) {
       rt.Invoke("a", 5000);
       rt.Connect("good-secret", true);
       rt.Await(2);
     },
     {"connected tag:7"},
     {"a: response"}},
    {"an invoke pending on a connection that is lost ends with 1004, not at its time-out",
     [](Runtime& rt) {
       const int tool = rt.Connect("good-secret", false);
       rt.Await(1);
       rt.Invoke("a", 60000);
       rt.AwaitDelivered(tool);
       rt.Close(tool);
       rt.Await(3);
     },
     {"connected tag:7", "disconnected"},
     {"a: error 1004"}},
    {"a disconnect comes after every request of its connection",
     [](Runtime& rt) {
       rt.SendAllAndClose("good-secret", {"snipping_tool_agent.x1", "snipping_tool_agent.x2",
                                          "snipping_tool_agent.x3"});
       rt.Await(5);
     },
     {"connected tag:7", "request snipping_tool_agent.x1", "request snipping_tool_agent.x2",
      "request snipping_tool_agent.x3", "disconnected"},
     {}},
    {"an invoke aimed at a connection that is gone fails at once",
     [](Runtime& rt) {
       const int tool = rt.Connect("good-secret", true);
       rt.Await(1);
       const int32_t id = rt.last_connection();
       rt.Close(tool);
       rt.Await(2);
       rt.Invoke("a", 60000, id);
       rt.Await(3);
     },
     {"connected tag:7", "disconnected"},
     {"a: error 1004"}},
    {"an invoke nobody answers times out",
     [](Runtime& rt) {
       const int tool = rt.Connect("good-secret", false);
       rt.Await(1);
       rt.Invoke("a", ipc_test::kShortTimeoutMs);
       rt.AwaitDelivered(tool);
       rt.Await(2);
     },
     {"connected tag:7"},
     {"a: timeout"}},
    {"a wrong secret is refused; the right one is admitted once, with its tag",
     [](Runtime& rt) {
       rt.Connect("wrong-secret", true);
       rt.Connect("good-secret", true);
       rt.Connect("good-secret", true);
       rt.Await(1);
     },
     {"connected tag:7"},
     {}},
};

TEST(FakeRuntimeConformance, SharedScenariosGiveTheSameOutcomes) {
  for (const Scenario& scenario : kScenarios) {
    for (bool real : {false, true}) {
      std::unique_ptr<Runtime> rt(real ? static_cast<Runtime*>(new RealRuntime())
                                       : new FakeRuntime());
      scenario.script(*rt);
      EXPECT_EQ(rt->record.connection(), scenario.connection)
          << scenario.name << (real ? " (real runtime)" : " (fake runtime)");
      EXPECT_EQ(rt->record.outcomes(), scenario.outcomes)
          << scenario.name << (real ? " (real runtime)" : " (fake runtime)");
    }
  }
}

}  // namespace
