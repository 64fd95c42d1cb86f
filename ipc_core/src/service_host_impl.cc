// The host end: listens on loopback, admits tools that present a one-time
// secret, routes their requests to registered services and carries invokes
// to the most recently connected tool.
//
// Lifetime. The caller's counted references keep |self_|, a shared_ptr to
// the object; every pending asio operation holds another. The caller's last
// Release stops the host, and the memory goes when the last operation ends.
//
// Callbacks and Stop. Every callback of a host is counted in |scheduled_|
// until it has returned: an invoke outcome from the moment it is scheduled,
// an observer-side callback from the moment it starts (one that has not
// started when the host stops is skipped, never waited for). Stop records which
// of them are on its own thread's stack (|exempt_|: the one Stop was called
// from must not be waited for, or a callback that stops the host and then
// waits for OnServiceHostStoped would wait for itself). OnServiceHostStoped
// goes out once every other counted callback has returned, from whichever
// thread finishes the last of them, or from Stop itself when none is left.
#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "connection.h"
#include "deadline_timer.h"
#include "ipc_core/service_host.h"
#include "ipc_core/testing.h"
#include "pending_invokes.h"
#include "random.h"
#include "rendezvous.h"
#include "request_feature.h"
#include "runtime.h"
#include "wire_format.h"

namespace ipc_core {
namespace {

// Connections that have not completed the opening exchange. Any local
// program can open them, so there are few, each holds at most one opening
// frame, and when the table is full the one idle longest makes room for the
// newcomer: a program holding silent connections only delays a tool (which
// retries when closed before its welcome), it never locks it out.
constexpr size_t kMaxUnauthenticated = testing::kMaxUnauthenticatedConnections;
static_assert(testing::kMaxPreHelloBufferedBytes == Connection::kOpeningBufferLimit,
              "the documented bound is the connection's");
// Established connections: each needs a one-time secret, so only tools the
// agent started get here; never evicted for a newcomer.
constexpr size_t kMaxEstablished = 64;
// Pauses of the listener after a failed accept, doubling from the first to
// the last while the failures go on.
constexpr auto kFirstAcceptPause = std::chrono::milliseconds(20);
constexpr auto kLastAcceptPause = std::chrono::milliseconds(1000);
// Requests read from one connection and not yet handled, in bytes.
constexpr size_t kMaxRequestBacklog = 64u * 1024 * 1024;

std::mutex g_registry_mutex;
std::set<IServiceHost*>* g_registry = new std::set<IServiceHost*>;

bool SecretsEqual(const std::string& a, const std::string& b) {
  // Compares in time independent of where the texts differ.
  if (a.size() != b.size())
    return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

class ServiceHostImpl final : public IServiceHost,
                              public ConnectionOwner,
                              public std::enable_shared_from_this<ServiceHostImpl> {
 private:
  enum class State { kCreated, kStarting, kStopping };
  using Strand = asio::strand<asio::io_context::executor_type>;

  struct Peer {
    std::shared_ptr<Connection> connection;
    Strand strand;
    bool established = false;
    // The tag of the secret the connection presented.
    uint64_t tag = 0;
    // Bytes of requests read but not yet handed to a service; shared with
    // the jobs on the strand, which may outlive the entry.
    std::shared_ptr<std::atomic<size_t>> backlog = std::make_shared<std::atomic<size_t>>(0);
  };

 public:
  ServiceHostImpl(Runtime* runtime, std::string host_name, std::string app_name,
                  std::string identity, int32_t app_id, int32_t protocol_tag,
                  IServiceHostObserver* observer)
      : io_(runtime->io()),
        host_name_(std::move(host_name)),
        app_name_(std::move(app_name)),
        identity_(std::move(identity)),
        app_id_(app_id),
        protocol_tag_(protocol_tag),
        observer_(observer),
        events_(asio::make_strand(io_)),
        acceptor_(io_),
        accept_timer_(io_),
        reserve_(io_),
        deadline_timer_(io_),
        start_delay_timer_(io_) {
    CountLiveRuntimeObject(+1);
  }

  ~ServiceHostImpl() override {
    {
      std::lock_guard<std::mutex> lock(g_registry_mutex);
      g_registry->erase(this);
    }
    CountLiveRuntimeObject(-1);
  }

  void Init(std::shared_ptr<ServiceHostImpl> self) {
    self_ = std::move(self);
    {
      std::lock_guard<std::mutex> lock(g_registry_mutex);
      g_registry->insert(this);
    }
    std::lock_guard<std::mutex> lock(mu_);
    PostObserverEventLocked(events_, [this] { observer_->OnServiceHostInit(this); });
  }

  // IRefCount: the caller's references. The last one stops the host.
  void AddRef() override { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release() override {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) != 1)
      return;
    Stop();
    std::shared_ptr<ServiceHostImpl> last = std::move(self_);
  }

  const char* GetHostName() override { return host_name_.c_str(); }

  bool RegisterService(IService* service) override {
    if (!service)
      return false;
    const char* name = service->GetServiceName();
    if (!name || !*name)
      return false;
    bool added = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (state_ < State::kStopping)
        added = services_.emplace(name, service).second;
    }
    if (!added)
      IPC_LOG(kLogWarning, 0) << "service " << name << " not registered (duplicate or stopped)";
    return added;
  }

  bool AddPeerSecret(const char* secret, uint64_t tag) override {
    if (!secret || !*secret || std::char_traits<char>::length(secret) > wire::kMaxNameLength)
      return false;
    std::lock_guard<std::mutex> lock(mu_);
    if (state_ >= State::kStopping)
      return false;
    secrets_.push_back(Secret{secret, tag});
    return true;
  }

  int32_t GetPort() override { return port_.load(std::memory_order_acquire); }

  bool Start() override {
    int32_t port = 0;
    std::string failure;
    int32_t failure_code = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (state_ != State::kCreated)
        return false;
      state_ = State::kStarting;
      failure_code = TakeInjectedStartFailure();
      if (failure_code != 0) {
        failure = "start failure injected by a test";
      } else if (!ListenLocked(&port, &failure)) {
        failure_code = kErrorListenFailed;
      }
      if (failure_code != 0) {
        PostObserverEventLocked(events_, [this, failure_code] {
          observer_->OnServiceHostStartFailure(this, failure_code);
        });
      }
    }
    if (failure_code != 0) {
      IPC_LOG(kLogError, 0) << "service host " << host_name_ << " cannot listen: " << failure;
      return true;
    }
    IPC_LOG(kLogInfo, 0) << "service host " << host_name_ << " listening on 127.0.0.1:" << port;
    PublishIdentity(port);

    std::lock_guard<std::mutex> lock(mu_);
    if (state_ >= State::kStopping)
      return true;
    int32_t delay_ms = StartSuccessDelayMs();
    auto deliver = [this, port] {
      port_.store(port, std::memory_order_release);
      observer_->OnServiceHostStartSuccess(this, port);
    };
    if (delay_ms <= 0) {
      PostObserverEventLocked(events_, deliver);
    } else {
      start_delay_timer_.expires_after(std::chrono::milliseconds(delay_ms));
      start_delay_timer_.async_wait(asio::bind_executor(
          events_, [self = shared_from_this(), deliver](const std::error_code&) mutable {
            self->RunObserverSide(deliver);
          }));
    }
    return true;
  }

  void Stop() override {
    std::vector<InvokeOutcome> outcomes;
    std::vector<std::shared_ptr<Connection>> connections;
    int32_t published_port = 0;
    bool deliver = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (state_ >= State::kStopping)
        return;
      state_ = State::kStopping;
      stopping_.store(true, std::memory_order_release);
      exempt_ += MarkCallbackFramesExempt(this);
      pending_.TakeAll(kErrorHostStopped, "service host stopped", &outcomes);
      std::error_code ignored;
      deadline_timer_.Cancel();
      start_delay_timer_.cancel();
      accept_timer_.cancel();
      acceptor_.close(ignored);
      reserve_.close(ignored);
      for (auto& entry : peers_)
        connections.push_back(entry.second.connection);
      live_.reset();
      secrets_.clear();
      published_port = published_port_;
      published_port_ = 0;
      if (!outcomes.empty())
        ++scheduled_;
      deliver = TakeStoppedDeliveryLocked();
    }
    for (auto& connection : connections)
      connection->Close(kErrorHostStopped);
    if (published_port != 0)
      RemoveRendezvous(identity_, published_port);
    IPC_LOG(kLogInfo, 0) << "service host " << host_name_ << " stopping, "
                         << connections.size() << " connection(s), " << outcomes.size()
                         << " pending invoke(s)";
    if (!outcomes.empty()) {
      // The caller may be any thread; the outcomes go out on runtime threads.
      asio::post(io_, [self = shared_from_this(), outcomes = std::move(outcomes)]() mutable {
        self->RunScheduled(false, [&outcomes] {
          for (auto& outcome : outcomes)
            outcome.Deliver();
        });
      });
    }
    if (deliver)
      DeliverStopped();
  }

  bool Invoke(const char* method, const char* payload, IRequestContext* context) override {
    return Send(nullptr, method, payload, context);
  }

  uint64_t GetConnectionTag(int32_t connection_id) override {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = tags_.find(connection_id);
    return it == tags_.end() ? 0 : it->second;
  }

  bool InvokeOn(int32_t connection_id, const char* method, const char* payload,
                IRequestContext* context) override {
    return Send(&connection_id, method, payload, context);
  }

  void Destroy() { Stop(); }

 private:
  // Invoke and InvokeOn: to the connection |*only| or, without it, to the
  // live connection (or the next one to connect).
  bool Send(const int32_t* only, const char* method, const char* payload,
            IRequestContext* context) {
    if (!context)
      return false;
    ipc_core_refptr<IRequestContext> ref(context);
    if (!method || !*method)
      return Refuse(std::move(ref), kErrorInvalidArgument, "empty method");
    std::string frame;
    uint64_t id = next_request_id_.fetch_add(1, std::memory_order_relaxed);
    wire::AppendRequest(&frame, id, method, payload ? payload : "");
    if (frame.size() > wire::kHeaderSize + wire::kMaxBodyLength ||
        std::char_traits<char>::length(method) > wire::kMaxMethodLength) {
      return Refuse(std::move(ref), kErrorInvalidArgument, "request exceeds the frame limit");
    }
    std::shared_ptr<Connection> target;
    bool gone = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      // When stopping, |ref| stays set and is refused below, outside the lock.
      if (state_ < State::kStopping) {
        if (only) {
          auto it = peers_.find(*only);
          if (it != peers_.end() && it->second.established)
            target = it->second.connection;
          gone = !target;
        } else {
          target = live_;
        }
        if (!gone) {
          int32_t timeout_ms = std::max<int32_t>(0, context->GetTimeoutMs());
          auto deadline = PendingInvokes::Clock::now() + std::chrono::milliseconds(timeout_ms);
          int32_t connection_id = target ? static_cast<int32_t>(target->log_id()) : 0;
          if (pending_.Add(id, std::move(ref), deadline, connection_id,
                           target ? std::string() : std::move(frame))) {
            ArmDeadlineLocked(deadline);
          }
        }
      }
    }
    if (ref && gone)
      return Refuse(std::move(ref), kErrorConnectionLost, "connection lost");
    if (ref)
      return Refuse(std::move(ref), kErrorHostStopped, "service host stopped");
    if (target)
      target->Send(std::move(frame));
    return true;
  }

 public:

  // ConnectionOwner.
  void OnFrames(const std::shared_ptr<Connection>& connection,
                std::vector<wire::Frame>& frames) override {
    int32_t connection_id = static_cast<int32_t>(connection->log_id());
    std::vector<InvokeOutcome> outcomes;
    std::vector<uint64_t> unknown_answers;
    std::string refusal;
    std::string tool_name;
    bool counted = false;
    bool flooded = false;
    {
      // One lock for everything one read brought.
      std::lock_guard<std::mutex> lock(mu_);
      auto it = peers_.find(connection_id);
      if (it == peers_.end() || state_ >= State::kStopping)
        return;
      Peer& peer = it->second;
      std::vector<wire::Frame> requests;
      for (wire::Frame& frame : frames) {
        if (!peer.established) {
          refusal = established_count_ >= kMaxEstablished
                        ? "too many tools connected"
                        : CheckHelloLocked(frame, &peer.tag);
          if (!refusal.empty())
            break;
          tool_name = frame.name;
          EstablishLocked(peer);
        } else if (frame.type == wire::FrameType::kRequest) {
          requests.push_back(std::move(frame));
        } else if (frame.type == wire::FrameType::kReply ||
                   frame.type == wire::FrameType::kErrorReply) {
          if (!pending_.TakeAnswerFrame(frame, connection_id, &outcomes)) {
            unknown_answers.push_back(frame.id);
          }
        } else {
          refusal = "unexpected frame after the opening exchange";
          break;
        }
      }
      // With no outcome to deliver on this thread after it, the requests'
      // job runs next on this same thread, once the read handler returns
      // (the next read is armed by then), instead of waking the other one.
      if (!requests.empty())
        flooded = !PostRequestsLocked(peer, connection, std::move(requests), outcomes.empty());
      if (!outcomes.empty())
        counted = CountLocked();
    }
    if (flooded) {
      IPC_LOG(kLogWarning, connection_id)
          << "more than " << kMaxRequestBacklog << " bytes of requests waiting for their "
          << "handlers, closing";
      connection->Close(kErrorProtocol);
    }
    if (!tool_name.empty())
      IPC_LOG(kLogInfo, connection_id) << "tool " << tool_name << " connected";
    for (uint64_t id : unknown_answers)
      IPC_LOG(kLogWarning, connection_id) << "answer to unknown request " << id << " ignored";
    if (!outcomes.empty()) {
      RunCounted(counted, [&outcomes] {
        for (auto& outcome : outcomes)
          outcome.Deliver();
      });
    }
    if (!refusal.empty()) {
      IPC_PEER_LOG(kLogWarning, connection_id) << "refused: " << refusal;
      std::string bytes;
      wire::AppendRefused(&bytes, kErrorRefused, refusal);
      connection->SendAndClose(std::move(bytes), kErrorRefused);
    }
  }

  // Hands the requests of one read to the connection's strand, in order.
  // False when the connection already has too much waiting for handlers:
  // reading goes on while handlers run, so a tool that sends faster than it
  // is served would otherwise grow the queue without bound.
  bool PostRequestsLocked(Peer& peer, const std::shared_ptr<Connection>& connection,
                          std::vector<wire::Frame> requests, bool same_thread) {
    int32_t connection_id = static_cast<int32_t>(connection->log_id());
    size_t bytes = 0;
    for (const wire::Frame& request : requests)
      bytes += request.method.size() + request.text.size();
    if (peer.backlog->fetch_add(bytes) + bytes > kMaxRequestBacklog)
      return false;
    std::shared_ptr<std::atomic<size_t>> backlog = peer.backlog;
    PostObserverEventLocked(peer.strand, same_thread, [this, connection, connection_id, backlog, bytes,
                                          requests = std::move(requests)] {
      // Answers given while a burst is handled go out together, in one
      // write, once the burst's handlers have run. A single request's
      // answer is written at once, so a handler that answers and then waits
      // for the tool's reaction never waits for its own answer.
      bool cork = requests.size() > 1;
      if (cork)
        connection->Cork();
      for (const wire::Frame& request : requests) {
        if (stopping_.load(std::memory_order_acquire))
          break;
        DispatchRequest(FindService(request.method), connection, connection_id, request.id,
                        request.method, request.text);
      }
      if (cork)
        connection->Uncork();
      backlog->fetch_sub(bytes);
    });
    return true;
  }

  void OnConnectionClosed(const std::shared_ptr<Connection>& connection) override {
    int32_t connection_id = static_cast<int32_t>(connection->log_id());
    std::vector<InvokeOutcome> outcomes;
    bool counted = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = peers_.find(connection_id);
      if (it == peers_.end())
        return;
      Peer peer = std::move(it->second);
      peers_.erase(it);
      if (!peer.established) {
        --unauthenticated_;
        CountUnauthenticatedConnection(-1);
        return;
      }
      --established_count_;
      if (live_ == connection) {
        // The next invoke goes to the most recent tool still connected.
        live_.reset();
        for (auto rit = peers_.rbegin(); rit != peers_.rend(); ++rit) {
          if (rit->second.established) {
            live_ = rit->second.connection;
            break;
          }
        }
      }
      pending_.TakeConnection(connection_id, kErrorConnectionLost, "connection lost", &outcomes);
      if (!outcomes.empty())
        counted = CountLocked();
      // Queued behind every request of this connection on its strand, so the
      // observer hears of the end only after the last request was handled.
      PostObserverEventLocked(peer.strand, outcomes.empty(), [this, connection_id] {
        observer_->OnServiceInvokerDisconnected(this, connection_id);
        std::lock_guard<std::mutex> hold(mu_);
        tags_.erase(connection_id);
      });
    }
    RunCounted(counted, [&outcomes] {
      for (auto& outcome : outcomes)
        outcome.Deliver();
    });
  }

 private:
  bool ListenLocked(int32_t* port, std::string* failure) {
    std::error_code ec;
    asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec)
      acceptor_.bind(endpoint, ec);
    if (!ec)
      acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec)
      *port = acceptor_.local_endpoint(ec).port();
    if (!ec)
      acceptor_.non_blocking(true, ec);
    if (ec) {
      *failure = ec.message();
      acceptor_.close(ec);
      return false;
    }
    OpenReserveLocked();
    AcceptLocked();
    return true;
  }

  // One descriptor kept in hand for the moment the process has none left:
  // closing it lets the listener take one waiting connection off the queue
  // and close it, instead of leaving the queue full of peers that wait in
  // vain. Any descriptor will do; a UDP socket exists on every platform.
  void OpenReserveLocked() {
    std::error_code ignored;
    if (!reserve_.is_open())
      reserve_.open(asio::ip::udp::v4(), ignored);
  }

  void PublishIdentity(int32_t port) {
    if (identity_.empty())
      return;
    std::string error;
    if (!PublishRendezvous(identity_, RendezvousRecord{port, app_id_, protocol_tag_}, &error)) {
      IPC_LOG(kLogWarning, 0) << "identity " << identity_ << " not published: " << error;
      return;
    }
    bool stopped;
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopped = state_ >= State::kStopping;
      if (!stopped)
        published_port_ = port;
    }
    // A Stop that ran while the record was being written could not remove it.
    if (stopped)
      RemoveRendezvous(identity_, port);
  }

  void AcceptLocked() {
    acceptor_.async_accept(
        [self = shared_from_this()](const std::error_code& ec, asio::ip::tcp::socket socket) {
          self->OnAccept(ec, std::move(socket));
        });
  }

  void OnAccept(const std::error_code& ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted)
      return;
    if (ec)
      return OnAcceptFailed(ec);
    int32_t connection_id = 0;
    std::shared_ptr<Connection> evicted;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (state_ >= State::kStopping)
        return;
      accept_pause_ = std::chrono::milliseconds(0);
      if (unauthenticated_ >= kMaxUnauthenticated)
        evicted = EvictIdlestLocked();
      connection_id = next_connection_id_++;
      auto connection =
          std::make_shared<Connection>(std::move(socket), connection_id, shared_from_this());
      peers_.emplace(connection_id, Peer{connection, asio::make_strand(io_), false});
      ++unauthenticated_;
      CountUnauthenticatedConnection(+1);
      connection->Start(HelloTimeoutMs());
      AcceptLocked();
    }
    if (evicted) {
      IPC_PEER_LOG(kLogWarning, evicted->log_id())
          << kMaxUnauthenticated << " connections without a hello already open; this one, "
          << "idle longest, closed to admit connection " << connection_id;
      evicted->Close(kErrorConnectionLost);
    }
    IPC_PEER_LOG(kLogInfo, connection_id) << "connection accepted";
  }

  // Takes the unauthenticated connection idle longest out of the table; the
  // caller closes it. Established connections are never chosen.
  std::shared_ptr<Connection> EvictIdlestLocked() {
    auto victim = peers_.end();
    for (auto it = peers_.begin(); it != peers_.end(); ++it) {
      if (it->second.established)
        continue;
      if (victim == peers_.end() ||
          it->second.connection->last_activity() < victim->second.connection->last_activity()) {
        victim = it;
      }
    }
    if (victim == peers_.end())
      return nullptr;
    std::shared_ptr<Connection> connection = victim->second.connection;
    peers_.erase(victim);
    --unauthenticated_;
    CountUnauthenticatedConnection(-1);
    return connection;
  }

  // A failed accept is never retried at once: with the process out of
  // descriptors the listening socket stays readable, and an immediate retry
  // would spin. The reserve descriptor lets one waiting peer be accepted and
  // closed (it sees its connection closed, a tool retries); then the
  // listener pauses, longer while the failures go on, and resumes by itself.
  void OnAcceptFailed(const std::error_code& ec) {
    bool exhausted = ec == asio::error::no_descriptors ||
                     ec == std::errc::too_many_files_open ||
                     ec == std::errc::too_many_files_open_in_system ||
                     ec == asio::error::no_buffer_space || ec == asio::error::no_memory;
    std::chrono::milliseconds pause;
    bool shed = false;
    CountAcceptFailure();
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (state_ >= State::kStopping)
        return;
      if (exhausted && reserve_.is_open()) {
        std::error_code ignored;
        reserve_.close(ignored);
        asio::ip::tcp::socket doomed(io_);
        acceptor_.accept(doomed, ignored);
        shed = doomed.is_open();
        doomed.close(ignored);
        OpenReserveLocked();
      } else if (exhausted) {
        OpenReserveLocked();
      }
      accept_pause_ = std::max<std::chrono::milliseconds>(
          kFirstAcceptPause, std::min<std::chrono::milliseconds>(accept_pause_ * 2, kLastAcceptPause));
      pause = accept_pause_;
      accept_timer_.expires_after(pause);
      accept_timer_.async_wait([self = shared_from_this()](const std::error_code& wait_ec) {
        if (wait_ec == asio::error::operation_aborted)
          return;
        std::lock_guard<std::mutex> inner(self->mu_);
        if (self->state_ < State::kStopping)
          self->AcceptLocked();
      });
    }
    IPC_PEER_LOG(kLogWarning, 0) << "accept failed: " << ec.message()
                                 << (shed ? "; one waiting connection closed" : "")
                                 << "; listening again in " << pause.count() << " ms";
  }

  // Empty when |frame| is an acceptable hello; the refusal's reason otherwise.
  // A matching secret is used up here, whatever happens to the connection.
  std::string CheckHelloLocked(const wire::Frame& frame, uint64_t* tag) {
    if (frame.type != wire::FrameType::kHello)
      return "expected a hello frame";
    if (frame.version != wire::kProtocolVersion)
      return "protocol version " + std::to_string(frame.version) + " is not supported";
    if (frame.secret.empty())
      return "no secret presented";
    bool found = false;
    for (auto it = secrets_.begin(); it != secrets_.end(); ++it) {
      if (!found && SecretsEqual(it->secret, frame.secret)) {
        *tag = it->tag;
        secrets_.erase(it);
        found = true;
        break;
      }
    }
    return found ? std::string() : "unknown or already used secret";
  }

  void EstablishLocked(Peer& peer) {
    peer.established = true;
    --unauthenticated_;
    CountUnauthenticatedConnection(-1);
    ++established_count_;
    int32_t connection_id = static_cast<int32_t>(peer.connection->log_id());
    peer.connection->MarkEstablished();
    std::string bytes;
    wire::AppendWelcome(&bytes, wire::kProtocolVersion, app_id_, protocol_tag_,
                        static_cast<uint32_t>(connection_id), host_name_);
    // Invokes made while no tool was connected follow the welcome, in order.
    pending_.AssignWaiting(connection_id, &bytes);
    peer.connection->Send(std::move(bytes));
    live_ = peer.connection;
    tags_[connection_id] = peer.tag;
    PostObserverEventLocked(peer.strand, [this, connection_id] {
      observer_->OnServiceInvokerConnected(this, connection_id);
    });
  }

  IService* FindService(const std::string& method) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = services_.find(ServiceNameOf(method));
    return it == services_.end() ? nullptr : it->second;
  }

  void ArmDeadlineLocked(PendingInvokes::Clock::time_point deadline) {
    deadline_timer_.ArmAt(deadline, [self = shared_from_this()] { self->OnDeadline(); });
  }

  void OnDeadline() {
    std::vector<InvokeOutcome> outcomes;
    bool counted = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      deadline_timer_.Fired();
      if (state_ >= State::kStopping)
        return;
      pending_.TakeExpired(PendingInvokes::Clock::now(), &outcomes);
      if (!pending_.empty())
        ArmDeadlineLocked(pending_.next_deadline());
      if (!outcomes.empty())
        counted = CountLocked();
    }
    RunCounted(counted, [&outcomes] {
      for (auto& outcome : outcomes)
        outcome.Deliver();
    });
  }

  bool Refuse(ipc_core_refptr<IRequestContext> context, int32_t code, const char* reason) {
    IPC_LOG(kLogWarning, 0) << "invoke refused: " << reason;
    InvokeOutcome outcome;
    outcome.context = std::move(context);
    outcome.code = code;
    outcome.text = reason;
    bool counted;
    {
      std::lock_guard<std::mutex> lock(mu_);
      counted = CountLocked();
    }
    asio::post(io_, [self = shared_from_this(), counted, outcome = std::move(outcome)]() mutable {
      self->RunCounted(counted, [&outcome] { outcome.Deliver(); });
    });
    return false;
  }

  // Schedules an observer-side callback (observer event or HandleRequest) on
  // |strand|; it is skipped if the host is stopping by the time it runs.
  template <typename Fn>
  void PostObserverEventLocked(Strand& strand, Fn fn) {
    PostObserverEventLocked(strand, false, std::move(fn));
  }

  // With |same_thread| (only from a read handler that runs no callback of
  // its own after this), the callback is deferred: a runtime thread runs it
  // after the current handler returns, without waking the other thread. A
  // handler that may still block must post instead, or the deferred
  // callback would wait behind it.
  template <typename Fn>
  void PostObserverEventLocked(Strand& strand, bool same_thread, Fn fn) {
    if (state_ >= State::kStopping)
      return;
    auto job = [self = shared_from_this(), fn = std::move(fn)]() mutable {
      self->RunObserverSide(fn);
    };
    if (same_thread)
      asio::defer(strand, std::move(job));
    else
      asio::post(strand, std::move(job));
  }

  // Observer-side callbacks are counted only once they start. One that has
  // not started when the host stops never runs, so Stop does not wait for
  // it: it may sit on the same strand behind the very callback that stopped
  // the host and now waits for OnServiceHostStoped.
  template <typename Fn>
  void RunObserverSide(Fn& fn) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (state_ >= State::kStopping)
        return;
      ++scheduled_;
    }
    bool exempt = false;
    {
      ScopedCallbackFrame frame(this);
      fn();
      exempt = frame.exempt();
    }
    FinishCallback(exempt);
  }

  // Counts a callback about to run; false once OnServiceHostStoped is out,
  // after which callbacks (only invoke outcomes remain) are not counted.
  bool CountLocked() {
    if (stopped_delivered_)
      return false;
    ++scheduled_;
    return true;
  }

  template <typename Fn>
  void RunScheduled(bool observer_side, Fn&& fn) {
    bool run;
    {
      std::lock_guard<std::mutex> lock(mu_);
      run = !(observer_side && state_ >= State::kStopping);
    }
    bool exempt = false;
    if (run) {
      ScopedCallbackFrame frame(this);
      fn();
      exempt = frame.exempt();
    }
    FinishCallback(exempt);
  }

  template <typename Fn>
  void RunCounted(bool counted, Fn fn) {
    if (!counted) {
      fn();
      return;
    }
    RunScheduled(false, fn);
  }

  void FinishCallback(bool exempt) {
    bool deliver;
    {
      std::lock_guard<std::mutex> lock(mu_);
      --scheduled_;
      if (exempt)
        --exempt_;
      deliver = TakeStoppedDeliveryLocked();
    }
    if (deliver)
      DeliverStopped();
  }

  bool TakeStoppedDeliveryLocked() {
    if (state_ != State::kStopping || stopped_delivered_ || scheduled_ != exempt_)
      return false;
    stopped_delivered_ = true;
    return true;
  }

  void DeliverStopped() {
    // Kept alive by this reference even if the observer drops the caller's
    // last reference to the host from inside the event.
    auto self = shared_from_this();
    IPC_LOG(kLogInfo, 0) << "service host " << host_name_ << " stopped";
    ForeignCode foreign;
    observer_->OnServiceHostStoped(this);
  }

  asio::io_context& io_;
  const std::string host_name_;
  const std::string app_name_;
  const std::string identity_;
  const int32_t app_id_;
  const int32_t protocol_tag_;
  IServiceHostObserver* const observer_;
  std::atomic<int32_t> refs_{1};
  std::shared_ptr<ServiceHostImpl> self_;
  std::atomic<int32_t> port_{0};
  std::atomic<uint64_t> next_request_id_{1};
  Strand events_;
  // Mirrors state_ >= kStopping for the request loop, which checks it
  // between requests without taking the lock.
  std::atomic<bool> stopping_{false};

  std::mutex mu_;
  State state_ = State::kCreated;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer accept_timer_;
  asio::ip::udp::socket reserve_;
  std::chrono::milliseconds accept_pause_{0};
  size_t unauthenticated_ = 0;
  size_t established_count_ = 0;
  EarliestDeadlineTimer deadline_timer_;
  asio::steady_timer start_delay_timer_;
  std::map<std::string, IService*> services_;
  struct Secret {
    std::string secret;
    uint64_t tag;
  };
  std::vector<Secret> secrets_;
  // Tags of established connections, kept until their disconnect event has
  // been delivered.
  std::map<int32_t, uint64_t> tags_;
  std::map<int32_t, Peer> peers_;
  std::shared_ptr<Connection> live_;
  int32_t next_connection_id_ = 1;
  int32_t published_port_ = 0;
  PendingInvokes pending_;
  int scheduled_ = 0;
  int exempt_ = 0;
  bool stopped_delivered_ = false;
};

}  // namespace

int32_t InitIPCCoreRuntime(LogCallback log_callback) {
  Runtime::Init(log_callback);
  return kOk;
}

int32_t CreateServiceHost(const char* host_name, const char* app_name, const char* identity,
                          int32_t app_id, int32_t protocol_tag, IServiceHostObserver* observer,
                          IServiceHost** out) {
  if (!out)
    return kErrorInvalidArgument;
  *out = nullptr;
  if (testing::ServiceHostFactory* factory = InstalledServiceHostFactory())
    return factory->Create(host_name, app_name, identity, app_id, protocol_tag, observer, out);
  Runtime* runtime = Runtime::Get();
  if (!runtime)
    return kErrorNotStarted;
  if (!observer)
    return kErrorInvalidArgument;
  if (int32_t injected = TakeInjectedCreateFailure())
    return injected;
  auto host = std::make_shared<ServiceHostImpl>(runtime, host_name ? host_name : "",
                                                app_name ? app_name : "",
                                                identity ? identity : "", app_id, protocol_tag,
                                                observer);
  host->Init(host);
  *out = host.get();
  return kOk;
}

int32_t DestroyServiceHost(IServiceHost* host) {
  if (!host)
    return kErrorInvalidArgument;
  if (testing::ServiceHostFactory* factory = InstalledServiceHostFactory())
    return factory->Destroy(host);
  {
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    if (g_registry->erase(host) == 0)
      return kErrorInvalidArgument;
  }
  static_cast<ServiceHostImpl*>(host)->Destroy();
  return kOk;
}

std::string GeneratePeerSecret() {
  uint8_t bytes[32];
  if (!FillRandomBytes(bytes, sizeof(bytes)))
    return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text.push_back(kHex[b >> 4]);
    text.push_back(kHex[b & 15]);
  }
  return text;
}

}  // namespace ipc_core
