// The host end of the runtime over real sockets: start and stop, requests
// from the tool, invokes to it, the opening exchange, bad input, and the
// order of the observer's events against callbacks on the runtime's threads.
#include "ipc_core/service_host.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "gtest/gtest.h"
#include "ipc_core/service_client.h"
#include "ipc_core/testing.h"
#include "ipc_test_support.h"
#include "tests/support/test_os.h"

namespace ipc_test {
namespace {

using ipc_core::ipc_core_refptr;
using ipc_core::IRequestFeature;
using ipc_core::IServiceHost;
using Clock = std::chrono::steady_clock;

class ServiceHostTest : public RuntimeTest {};

// True when something accepts connections on |port| of the loopback address.
bool Listens(int32_t port) {
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  std::error_code ec;
  socket.connect({asio::ip::address_v4::loopback(), static_cast<uint16_t>(port)}, ec);
  return !ec;
}

ipc_core_refptr<IServiceHost> Unstarted(RecordingObserver* observer) {
  IServiceHost* raw = nullptr;
  EXPECT_EQ(ipc_core::kOk, ipc_core::CreateServiceHost("h", "a", "", 1, 2, observer, &raw));
  return ipc_core_refptr<IServiceHost>::Adopt(raw);
}

// Holds whatever enters it until opened (or the wait bound passes); Open
// returns once it has left.
struct Gate {
  std::mutex mu;
  std::condition_variable cv;
  bool inside = false, open = false;
  void Enter() {
    std::unique_lock<std::mutex> lock(mu);
    inside = true;
    cv.notify_all();
    cv.wait_for(lock, test_os::kWaitBound, [&] { return open; });
    inside = false;
    cv.notify_all();
  }
  bool WaitInside() {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, test_os::kWaitBound, [&] { return inside; });
  }
  void Open() {
    std::unique_lock<std::mutex> lock(mu);
    open = true;
    cv.notify_all();
    cv.wait_for(lock, test_os::kWaitBound, [&] { return !inside; });
  }
};

TEST_F(ServiceHostTest, StartReportsThePortLaterOnARuntimeThreadAndTheLastReleaseStops) {
  TestHost t = TestHost::Start();
  EXPECT_GT(t.port, 0);
  EXPECT_EQ(t.port, t.host->GetPort());
  EXPECT_NE(std::this_thread::get_id(), t.observer->start_thread());
  EXPECT_EQ((std::vector<std::string>{"init", "start_success"}), t.observer->events());
  EXPECT_TRUE(Listens(t.port));
  EXPECT_FALSE(t.host->Start()) << "a second Start is refused";
  t.host.reset();
  ASSERT_TRUE(t.observer->WaitFor("stopped"));
  EXPECT_FALSE(Listens(t.port));
}

// Stopped without a start, or while the start is on its way: one stopped
// event, no port, and the host stays stopped.
TEST_F(ServiceHostTest, StopBeforeTheStartCompletesGivesOneStoppedAndNoPort) {
  ipc_core::testing::SetStartSuccessDelayMs(5000);
  for (bool start : {false, true}) {
    SCOPED_TRACE(start ? "during a delayed start" : "without a start");
    ipc_core_refptr<RecordingObserver> observer(new RecordingObserver);
    auto host = Unstarted(observer.get());
    if (start) {
      EXPECT_TRUE(host->Start());
    }
    host->Stop();
    ASSERT_TRUE(observer->WaitFor("stopped"));
    host->Stop();
    EXPECT_FALSE(host->Start());
    EXPECT_EQ(0, host->GetPort());
    EXPECT_EQ(ipc_core::kOk, ipc_core::DestroyServiceHost(host.get()));
    EXPECT_EQ(ipc_core::kErrorInvalidArgument, ipc_core::DestroyServiceHost(host.get()));
    host.reset();
    EXPECT_EQ(1, observer->count("stopped"));
    EXPECT_EQ(0, observer->count("start_success"));
  }
}

// A service that answers and still says it did not handle the request.
class AnswersButDeclines : public Counted<ipc_core::IService> {
 public:
  const char* GetServiceName() override { return "odd"; }
  bool HandleRequest(const char*, const char*, IRequestFeature* feature) override {
    feature->Reply("answered");
    return false;
  }
};

// The one outcome of an invoke, at either end. A long time-out on the
// unanswerable ones: the answer must come from the other end, not a timer.
TEST_F(ServiceHostTest, InvokeOutcomes) {
  Connected c = Connected::Make();
  c.service->On("agent.silent", [](const std::string&, IRequestFeature*) {});
  ipc_core_refptr<AnswersButDeclines> odd(new AnswersButDeclines);
  ASSERT_TRUE(c.host.host->RegisterService(odd.get()));
  const std::string huge(ipc_core::wire::kMaxBodyLength, 'x');
  c.tool_service->On("tool.huge", [&huge](const std::string&, IRequestFeature* f) {
    f->Reply(huge.c_str());
  });
  const int32_t kLong = 60000;
  const struct {
    bool from_tool;
    const char* method;
    std::string payload;
    int32_t timeout_ms;
    const char* outcome;
  } cases[] = {
      {false, "tool.echo", "ping", kLong, "ping"},
      {false, "tool.fail", "", kLong, "error 42: asked to fail"},
      {false, "tool.silent", "", kShortTimeoutMs, "timeout"},
      {false, "tool.unknown", "", kLong, "error 1006: no handler for tool.unknown"},
      // The invalid-argument code's value on the wire.
      {false, "tool.huge", "", kLong, "error 1001: answer too large"},
      {false, "", "", kLong, "refused error 1001: empty method"},
      {false, "tool.echo", huge, kLong, "refused error 1001: request exceeds the frame limit"},
      {true, "agent.echo", "{\"a\":1}", kLong, "{\"a\":1}"},
      {true, "agent.nope", "", kLong, "error 1006: no handler for agent.nope"},
      {true, "nobody.echo", "", kLong, "error 1006: no handler for nobody.echo"},
      {true, "agent", "", kLong, "error 1006: no handler for agent"},
      {true, "AGENT.echo", "", kLong, "error 1006: no handler for AGENT.echo"},
      {true, "agent.silent", "", kShortTimeoutMs, "timeout"},
      {true, "odd.x", "", kLong, "answered"},
      {true, "", "", kLong, "refused error 1001: empty method"},
      {true, "agent.echo", huge, kLong, "refused error 1001: request exceeds the frame limit"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.from_tool ? "tool -> host " : "host -> tool ") + k.method);
    EXPECT_EQ(k.outcome, k.from_tool
                             ? Call(c.tool.client.get(), k.method, k.payload, k.timeout_ms)
                             : Call(c.host.host.get(), k.method, k.payload, k.timeout_ms));
  }
  EXPECT_FALSE(c.host.host->Invoke("tool.echo", "", nullptr));
  EXPECT_FALSE(c.tool.client->Invoke("agent.echo", "", nullptr));
  EXPECT_GE(CountLogs(1, "no handler for nobody.echo"), 1);
  c.host.StopAndWait();
}

// Registers |method| with a handler that keeps its request unanswered,
// invokes it from the tool into |context|, and returns the kept request
// (null when it never came).
ipc_core_refptr<IRequestFeature> KeepARequest(Connected& c, const char* method,
                                              RecordingContext* context) {
  struct Kept {
    std::mutex mu;
    ipc_core_refptr<IRequestFeature> feature;
  };
  auto kept = std::make_shared<Kept>();
  c.service->On(method, [kept](const std::string&, IRequestFeature* f) {
    std::lock_guard<std::mutex> lock(kept->mu);
    kept->feature = f;
  });
  c.tool.client->Invoke(method, "", context);
  WaitUntil([&] {
    std::lock_guard<std::mutex> lock(kept->mu);
    return kept->feature.get() != nullptr;
  });
  std::lock_guard<std::mutex> lock(kept->mu);
  return kept->feature;
}

// A kept request may be answered later from another thread, and only its
// first answer counts; an answer after its connection closed is dropped.
TEST_F(ServiceHostTest, AKeptRequestIsAnsweredOnceAndQuietlyNotAfterItsConnectionClosed) {
  Connected c = Connected::Make();
  ipc_core_refptr<RecordingContext> context(new RecordingContext);
  ipc_core_refptr<IRequestFeature> kept = KeepARequest(c, "agent.later", context.get());
  ASSERT_TRUE(kept.get() != nullptr);
  std::thread([&] {
    EXPECT_STREQ("agent.later", kept->GetMethod());
    EXPECT_EQ(1, kept->GetConnectionId());
    kept->Reply("first");
    kept->Reply("second");
    kept->ReplyError(5, "third");
  }).join();
  ASSERT_TRUE(context->Wait());
  EXPECT_EQ("first", context->text());
  // A second answer on the wire would reach the tool as an answer to an
  // unknown request; the next round trip flushes anything that was sent.
  EXPECT_EQ("x", Call(c.tool.client.get(), "agent.echo", "x"));
  EXPECT_EQ(0, CountLogs(1, "unknown request"));
  EXPECT_EQ(1, context->outcomes());

  ipc_core_refptr<RecordingContext> orphan(new RecordingContext);
  kept = KeepARequest(c, "agent.keep", orphan.get());
  ASSERT_TRUE(kept.get() != nullptr);
  c.tool.client->Close();
  ASSERT_TRUE(c.host.observer->WaitFor("disconnected:1"));
  log_.Clear();
  kept->Reply("too late");
  kept->ReplyError(1, "also too late");
  kept.reset();
  EXPECT_EQ(0, CountLogs(2, ""));
  ASSERT_TRUE(orphan->Wait());
  EXPECT_EQ(ipc_core::kErrorHostStopped, orphan->code());
  c.host.StopAndWait();
}

// A handler may answer and then wait for what the tool does with the answer.
TEST_F(ServiceHostTest, AnAnswerLeavesBeforeItsHandlerReturns) {
  Connected c = Connected::Make();
  ipc_core_refptr<RecordingContext> context(new RecordingContext);
  std::atomic<bool> seen_inside{false};
  c.service->On("agent.answer_then_wait", [&](const std::string&, IRequestFeature* f) {
    f->Reply("early");
    seen_inside = context->Wait();
  });
  c.tool.client->Invoke("agent.answer_then_wait", "", context.get());
  EXPECT_TRUE(WaitUntil([&] { return seen_inside.load(); }));
  ASSERT_TRUE(context->Wait());
  EXPECT_EQ("early", context->text());
  c.host.StopAndWait();
}

// Each end keeps one deadline timer armed at the earliest deadline it was
// given: an earlier deadline after a later one, and a later one after the
// earliest was answered, must both still end their invokes.
template <typename End>
void ExpectEveryDeadlineEndsItsInvoke(End* end, const char* echo, const char* silent) {
  SCOPED_TRACE(silent);
  ipc_core_refptr<RecordingContext> late(new RecordingContext(60000));
  ipc_core_refptr<RecordingContext> early(new RecordingContext(kShortTimeoutMs));
  end->Invoke(silent, "", late.get());
  end->Invoke(silent, "", early.get());
  ASSERT_TRUE(early->Wait());
  EXPECT_EQ("timeout", early->kind());
  EXPECT_EQ(0, late->outcomes());
  EXPECT_EQ("x", Call(end, echo, "x", kShortTimeoutMs));
  EXPECT_EQ("timeout", Call(end, silent, "", 2 * kShortTimeoutMs));
}

TEST_F(ServiceHostTest, EveryDeadlineEndsItsInvokeWhateverTheOrderOfTimeouts) {
  Connected c = Connected::Make();
  c.service->On("agent.silent", [](const std::string&, IRequestFeature*) {});
  ExpectEveryDeadlineEndsItsInvoke(c.host.host.get(), "tool.echo", "tool.silent");
  ExpectEveryDeadlineEndsItsInvoke(c.tool.client.get(), "agent.echo", "agent.silent");
  c.host.StopAndWait();
}

TEST_F(ServiceHostTest, StopEndsPendingInvokesBeforeStopped) {
  Connected c = Connected::Make();
  ipc_core_refptr<RecordingContext> context(new RecordingContext(60000));
  std::atomic<int> outcomes_at_stopped{-1};
  c.host.observer->SetHook("stopped", [&](IServiceHost*, int32_t) {
    outcomes_at_stopped = context->outcomes();
  });
  c.host.host->Invoke("tool.silent", "", context.get());
  ASSERT_TRUE(WaitUntil([&] { return c.tool_service->handled() == 1; }));
  c.host.StopAndWait();
  ASSERT_TRUE(context->Wait());
  EXPECT_EQ(ipc_core::kErrorHostStopped, context->code());
  EXPECT_EQ(1, outcomes_at_stopped.load());
  // After Stop, an invoke is refused and still gets its one outcome.
  EXPECT_EQ("refused error 1005: service host stopped", Call(c.host.host.get(), "tool.echo"));
  EXPECT_TRUE(c.tool.observer->WaitFor("disconnected"));
}

TEST_F(ServiceHostTest, ExactlyOneOutcomePerInvokeUnderLoad) {
  Connected c = Connected::Make();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 300;
  const char* methods[] = {"tool.echo", "tool.fail", "tool.silent", "tool.unknown"};
  std::vector<ipc_core_refptr<RecordingContext>> contexts(kThreads * kPerThread);
  std::vector<std::thread> threads;
  std::atomic<int> tool_side{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        // Only the silent ones may expire, even on a slow (sanitized) build.
        auto& context = contexts[t * kPerThread + i];
        context = new RecordingContext(i % 4 == 2 ? kShortTimeoutMs : 60000);
        c.host.host->Invoke(methods[i % 4], "load", context.get());
        // The tool invokes the host at the same time, over the same socket.
        if (i % 10 == 0) {
          ipc_core_refptr<RecordingContext> back(new RecordingContext);
          back->on_outcome = [&] { tool_side++; };
          c.tool.client->Invoke("agent.echo", "x", back.get());
        }
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  std::map<int32_t, int> codes;
  for (auto& context : contexts) {
    ASSERT_TRUE(context->Wait());
    codes[context->code()]++;
  }
  const int each = kThreads * kPerThread / 4;
  EXPECT_EQ((std::map<int32_t, int>{{0, each},
                                    {42, each},
                                    {ipc_core::kErrorTimeout, each},
                                    {ipc_core::kErrorNoHandler, each}}),
            codes);
  EXPECT_TRUE(WaitUntil([&] { return tool_side.load() == kThreads * kPerThread / 10; }));
  // A late check that no context got a second outcome.
  c.host.StopAndWait();
  for (auto& context : contexts)
    EXPECT_EQ(1, context->outcomes());
}

// Invoke follows the most recent tool; InvokeOn stays with the one it names
// and fails at once when that one is gone, rather than reach another tool.
// Each connection reports the tag of the secret it presented.
TEST_F(ServiceHostTest, InvokesGoToTheMostRecentToolOrToTheNamedOne) {
  Connected c = Connected::Make();
  IServiceHost* host = c.host.host.get();
  ASSERT_TRUE(host->AddPeerSecret("second-secret", 7));
  TestClient second = TestClient::Create();
  ipc_core_refptr<LambdaService> svc(new LambdaService("tool"));
  svc->On("tool.echo", [](const std::string&, IRequestFeature* f) { f->Reply("second"); });
  second.client->RegisterService(svc.get());
  ASSERT_TRUE(second.Connect(c.host.port, "second-secret"));
  ASSERT_TRUE(c.host.observer->WaitFor("connected:2"));
  EXPECT_EQ(7u, host->GetConnectionTag(2));
  EXPECT_EQ(0u, host->GetConnectionTag(1));
  EXPECT_EQ("second", Call(host, "tool.echo", "first"));
  ipc_core_refptr<RecordingContext> named(new RecordingContext);
  EXPECT_TRUE(host->InvokeOn(1, "tool.echo", "first", named.get()));
  ASSERT_TRUE(named->Wait());
  EXPECT_EQ("first", named->text());

  second.client->Close();
  ASSERT_TRUE(c.host.observer->WaitFor("disconnected:2"));
  EXPECT_TRUE(WaitUntil([&] { return host->GetConnectionTag(2) == 0; }));
  ipc_core_refptr<RecordingContext> named_gone(new RecordingContext);
  EXPECT_FALSE(host->InvokeOn(2, "tool.echo", "first", named_gone.get()));
  ASSERT_TRUE(named_gone->Wait());
  EXPECT_EQ(ipc_core::kErrorConnectionLost, named_gone->code());
  EXPECT_EQ("first", Call(host, "tool.echo", "first"));
  c.host.StopAndWait();
}

std::string Hello(const std::string& secret, uint32_t version = ipc_core::wire::kProtocolVersion) {
  std::string bytes;
  ipc_core::wire::AppendHello(&bytes, version, "raw_peer", secret);
  return bytes;
}

TEST_F(ServiceHostTest, SilentConnectionIsClosedAfterTheHelloTimeout) {
  ipc_core::testing::SetHelloTimeoutMs(100);
  TestHost t = TestHost::Start();
  RawPeer peer(t.port);
  EXPECT_TRUE(peer.WaitClosed());
  EXPECT_TRUE(log_.WaitForLine("no opening exchange within 100 ms"));
  // The secret was not used up by the silent connection.
  TestClient tool = TestClient::Create();
  EXPECT_TRUE(tool.Connect(t.port, t.secret));
  t.StopAndWait();
}

// A peer that breaks the rules is closed with a warning, after a refusal
// when it has not said hello; the tool that got in is undisturbed.
TEST_F(ServiceHostTest, BadPeersAreRefusedOrClosedAloneWithAWarning) {
  Connected c = Connected::Make();  // uses the host's secret once
  ASSERT_TRUE(c.host.host->AddPeerSecret("fresh"));
  std::string request;
  ipc_core::wire::AppendRequest(&request, 1, "agent.echo", "half");
  const std::string half_frame = request.substr(0, request.size() / 2);
  enum Answer { kClosedAfterHello, kRefused, kClosed };
  const struct {
    const char* what;
    Answer answer;
    std::string bytes;
    const char* warning;
  } cases[] = {
      {"garbage", kClosedAfterHello, "GET / HTTP/1.1\r\n\r\n", "malformed input"},
      {"oversized length", kClosedAfterHello,
       {'\x49', '\x51', '\x04', '\0', '\xff', '\xff', '\xff', '\x7f'}, "exceeds the limit"},
      {"closed mid-frame", kClosedAfterHello, half_frame, "middle of a frame"},
      {"no secret", kRefused, Hello(""), "no secret presented"},
      {"wrong secret", kRefused, Hello("wrong"), "unknown or already used secret"},
      {"replayed secret", kRefused, Hello(c.host.secret), "unknown or already used secret"},
      {"old protocol", kRefused, Hello("fresh", 2), "protocol version 2"},
      {"request before the hello", kRefused, request, "expected a hello frame"},
      {"garbage before the hello", kClosed, "\x01\x02garbage", "malformed input"},
  };
  int id = 1;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    std::unique_ptr<RawPeer> peer;
    if (k.answer == kClosedAfterHello) {
      const std::string secret = std::string("s-") + k.what;
      ASSERT_TRUE(c.host.host->AddPeerSecret(secret.c_str()));
      peer = EstablishedRawPeer(c.host, secret);
      ASSERT_TRUE(c.host.observer->WaitFor("connected:" + std::to_string(++id)));
    } else {
      peer = std::make_unique<RawPeer>(c.host.port);
    }
    peer->Send(k.bytes);
    ipc_core::wire::Frame frame;
    if (k.answer == kRefused) {
      ASSERT_TRUE(peer->ReadFrame(&frame));
      EXPECT_EQ(ipc_core::wire::FrameType::kRefused, frame.type);
      EXPECT_EQ(ipc_core::kErrorRefused, frame.code);
    }
    if (k.bytes == half_frame)
      peer->Close();
    else
      EXPECT_TRUE(peer->WaitClosed());
    if (k.answer == kClosedAfterHello) {
      EXPECT_TRUE(c.host.observer->WaitFor("disconnected:" + std::to_string(id)));
    }
    EXPECT_TRUE(log_.WaitForLine(k.warning));
  }
  // Only the peers that said hello reached the observer, and none a service.
  const auto events = c.host.observer->events();
  EXPECT_EQ(id, std::count_if(events.begin(), events.end(), [](const std::string& e) {
              return e.rfind("connected:", 0) == 0;
            }));
  EXPECT_EQ(0, c.host.observer->count("disconnected:1"));
  EXPECT_EQ(0, c.service->handled());
  EXPECT_EQ("undisturbed", Call(c.host.host.get(), "tool.echo", "undisturbed"));
  c.host.StopAndWait();
}

TEST_F(ServiceHostTest, AToolThatOutrunsItsHandlersIsDropped) {
  TestHost t = TestHost::Start();
  ipc_core_refptr<LambdaService> svc(new LambdaService("agent"));
  Gate gate;
  svc->On("agent.slow", [&](const std::string&, IRequestFeature*) { gate.Enter(); });
  ASSERT_TRUE(t.host->RegisterService(svc.get()));
  auto peer = EstablishedRawPeer(t, t.secret);
  // The first request blocks its handler; the rest pile up behind it until
  // more than the 64 MiB backlog waits. Socket buffers hold several
  // megabytes, so this sends well past the limit; sends after the close fail.
  std::string frame;
  ipc_core::wire::AppendRequest(&frame, 1, "agent.slow", std::string(4000000, 'x'));
  for (int i = 0; i < 32; ++i)
    peer->Send(frame);
  EXPECT_TRUE(peer->WaitClosed());
  EXPECT_TRUE(log_.WaitForLine("bytes of requests waiting for their handlers"));
  gate.Open();
  EXPECT_TRUE(t.observer->WaitFor("disconnected:1"));
  t.StopAndWait();
}

// A tool that stops reading is dropped with a warning once more than the
// 64 MiB limit waits to be written to it, and its invokes end. (Under Wine
// the disconnect event of that connection does not come: not checked here.)
TEST_F(ServiceHostTest, AToolThatStopsReadingIsDropped) {
  TestHost t = TestHost::Start();
  auto peer = EstablishedRawPeer(t, t.secret);
  ASSERT_TRUE(t.observer->WaitFor("connected:1"));
  const std::string payload(ipc_core::wire::kMaxBodyLength - 1024, 'x');
  std::vector<ipc_core_refptr<RecordingContext>> contexts;
  for (int i = 0; i < 20; ++i) {
    contexts.emplace_back(new RecordingContext(60000));
    t.host->Invoke("tool.take", payload.c_str(), contexts.back().get());
  }
  EXPECT_TRUE(log_.WaitForLine("bytes unread, closing"));
  t.StopAndWait();
  for (auto& context : contexts) {
    ASSERT_TRUE(context->Wait());
    EXPECT_EQ(1, context->outcomes());
  }
}

// The agent's pattern: stop from inside a callback and wait there for the
// stopped event, which waits for another runtime thread's callback.
TEST_F(ServiceHostTest, StopInsideACallbackWaitsOnlyForTheOthers) {
  Connected c = Connected::Make();
  TestClient second = c.Another("second");
  Gate blocker;
  std::atomic<bool> stop_called{false}, stopped_seen_inside{false}, stop_handler_done{false};
  c.service->On("agent.block", [&](const std::string&, IRequestFeature*) { blocker.Enter(); });
  c.service->On("agent.stop", [&](const std::string&, IRequestFeature*) {
    c.host.host->Stop();
    stop_called = true;
    stopped_seen_inside = c.host.observer->WaitFor("stopped");
    stop_handler_done = true;
  });
  ipc_core_refptr<RecordingContext> a(new RecordingContext);
  ipc_core_refptr<RecordingContext> b(new RecordingContext);
  c.tool.client->Invoke("agent.block", "", a.get());
  ASSERT_TRUE(blocker.WaitInside());
  second.client->Invoke("agent.stop", "", b.get());
  ASSERT_TRUE(WaitUntil([&] { return stop_called.load(); }));
  EXPECT_EQ(0, c.host.observer->count("stopped"));
  blocker.Open();
  ASSERT_TRUE(WaitUntil([&] { return stop_handler_done.load(); }));
  EXPECT_TRUE(stopped_seen_inside.load());
  EXPECT_EQ(1, c.host.observer->count("stopped"));
}

Gate* g_sink_gate = nullptr;
void GatedLogSink(int, const char*, int, int64_t, const char* text) {
  if (std::string(text).find("tool test_tool connected") != std::string::npos)
    g_sink_gate->Enter();
}

// Foreign code of every kind may block on a runtime thread (the one that
// reads the sockets, usually) while another connection's traffic goes on.
TEST_F(ServiceHostTest, ForeignCodeOfEveryKindMayBlockWhileOtherTrafficFlows) {
  Connected c = Connected::Make();
  TestClient second = c.Another("second");
  ASSERT_TRUE(c.host.host->AddPeerSecret("third"));
  TestClient third = TestClient::Create();
  std::vector<ipc_core_refptr<RecordingContext>> blocked;
  struct Case {
    const char* name;
    std::function<void(Gate&)> block;
  };
  const Case cases[] = {
      {"host handler",
       [&](Gate& gate) {
         c.service->On("agent.block", [&gate](const std::string&, IRequestFeature* f) {
           gate.Enter();
           f->Reply("");
         });
         blocked.emplace_back(new RecordingContext);
         c.tool.client->Invoke("agent.block", "", blocked.back().get());
       }},
      {"tool handler",
       [&](Gate& gate) {
         c.tool_service->On("tool.block", [&gate](const std::string&, IRequestFeature* f) {
           gate.Enter();
           f->Reply("");
         });
         blocked.emplace_back(new RecordingContext);
         c.host.host->InvokeOn(1, "tool.block", "", blocked.back().get());
       }},
      {"invoke outcome",
       [&](Gate& gate) {
         blocked.emplace_back(new RecordingContext);
         blocked.back()->on_outcome = [&gate] { gate.Enter(); };
         c.tool.client->Invoke("agent.echo", "", blocked.back().get());
       }},
      {"log sink",
       [&](Gate& gate) {
         g_sink_gate = &gate;
         ipc_core::InitIPCCoreRuntime(&GatedLogSink);
         third.client->ConnectToPort(c.host.port, "third");
       }},
      {"disconnect event",
       [&](Gate& gate) {
         c.host.observer->SetHook("disconnected",
                                  [&gate](IServiceHost*, int32_t) { gate.Enter(); });
         c.tool.client->Close();
       }},
  };
  for (const Case& one : cases) {
    SCOPED_TRACE(one.name);
    Gate gate;
    one.block(gate);
    EXPECT_TRUE(gate.WaitInside());
    EXPECT_EQ("flowing", Call(second.client.get(), "agent.echo", "flowing"));
    gate.Open();
    SetUp();  // the runtime's records go to the log again
    c.host.observer->SetHook("disconnected", nullptr);
  }
  for (auto& context : blocked)
    EXPECT_TRUE(context->Wait());
  // The observer must outlive the last callback, which may still be on its
  // way out of the gate.
  c.host.StopAndWait();
}

TEST_F(ServiceHostTest, StopAndLastReleaseInsideACallbackDoNotDeadlock) {
  int live_before = ipc_core::testing::LiveObjectCount();
  TestHost t = TestHost::Start();
  std::atomic<bool> stopped_inside{false};
  std::atomic<bool> hook_done{false};
  // The observer takes over the only reference and drops it in the event.
  IServiceHost* host = t.host.release();
  t.observer->SetHook("connected", [&, host](IServiceHost* h, int32_t) {
    EXPECT_EQ(host, h);
    h->Stop();
    // The agent waits right here for the stopped event; it must come, from
    // inside Stop or from whichever runtime thread ends the last other
    // callback, without this one returning first.
    stopped_inside = t.observer->WaitFor("stopped");
    ipc_core::DestroyServiceHost(h);
    h->Release();
    hook_done = true;
  });
  TestClient tool = TestClient::Create();
  tool.client->ConnectToPort(t.port, t.secret.c_str());
  ASSERT_TRUE(WaitUntil([&] { return hook_done.load(); }));
  EXPECT_TRUE(stopped_inside.load());
  ASSERT_TRUE(tool.observer->WaitFor("disconnected"));
  tool.client.reset();
  tool.observer.reset();
  EXPECT_TRUE(WaitUntil([&] { return ipc_core::testing::LiveObjectCount() <= live_before; }));
}

TEST_F(ServiceHostTest, ArgumentsAreChecked) {
  ipc_core_refptr<RecordingObserver> observer(new RecordingObserver);
  IServiceHost* raw = reinterpret_cast<IServiceHost*>(1);
  EXPECT_EQ(ipc_core::kErrorInvalidArgument,
            ipc_core::CreateServiceHost("h", "a", "", 1, 2, nullptr, &raw));
  EXPECT_EQ(nullptr, raw);
  EXPECT_EQ(ipc_core::kErrorInvalidArgument,
            ipc_core::CreateServiceHost("h", "a", "", 1, 2, observer.get(), nullptr));
  EXPECT_EQ(ipc_core::kErrorInvalidArgument, ipc_core::DestroyServiceHost(nullptr));

  TestHost t = TestHost::Start();
  ipc_core_refptr<LambdaService> a(new LambdaService("agent"));
  ipc_core_refptr<LambdaService> again(new LambdaService("agent"));
  ipc_core_refptr<LambdaService> unnamed(new LambdaService(""));
  EXPECT_TRUE(t.host->RegisterService(a.get()));
  EXPECT_FALSE(t.host->RegisterService(again.get()));
  EXPECT_FALSE(t.host->RegisterService(unnamed.get()));
  EXPECT_FALSE(t.host->RegisterService(nullptr));
  EXPECT_FALSE(t.host->AddPeerSecret(""));
  EXPECT_FALSE(t.host->AddPeerSecret(nullptr));
  t.StopAndWait();
  EXPECT_FALSE(t.host->AddPeerSecret("late"));
}

TEST_F(ServiceHostTest, GeneratedSecretsAreLongAndDistinct) {
  std::string a = ipc_core::GeneratePeerSecret();
  EXPECT_EQ(64u, a.size());
  EXPECT_EQ(std::string::npos, a.find_first_not_of("0123456789abcdef"));
  EXPECT_NE(a, ipc_core::GeneratePeerSecret());
}

}  // namespace
}  // namespace ipc_test
