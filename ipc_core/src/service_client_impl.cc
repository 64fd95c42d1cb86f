// The tool end: one connection to a service host, opened with the one-time
// secret, carrying the tool's invokes and the host's requests.
//
// The client holds counted references to its observer and services until
// the final event of its connection (OnConnectFailed or OnDisconnected) has
// been delivered, so a tool may drop its own references right after
// connecting; they are released then, which also breaks the cycle of an
// observer that owns the client.
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "connection.h"
#include "deadline_timer.h"
#include "ipc_core/service_client.h"
#include "pending_invokes.h"
#include "rendezvous.h"
#include "request_feature.h"
#include "runtime.h"
#include "wire_format.h"

namespace ipc_core {
namespace {

// A host closes a connection that has not said hello yet when its table of
// such connections is full and this one has been idle longest, or when it
// cannot take more descriptors. The tool end then connects again, a few
// times, after a short pause; its secret is still unused, since the host
// uses a secret up only when it reads the hello.
constexpr int kConnectAttempts = 5;
constexpr auto kConnectRetryPause = std::chrono::milliseconds(50);

class ServiceClientImpl final : public IServiceClient,
                                public ConnectionOwner,
                                public std::enable_shared_from_this<ServiceClientImpl> {
 public:
  ServiceClientImpl(Runtime* runtime, std::string app_name, IServiceClientObserver* observer)
      : io_(runtime->io()),
        app_name_(std::move(app_name)),
        strand_(asio::make_strand(io_)),
        observer_(observer),
        deadline_timer_(io_),
        retry_timer_(io_) {
    CountLiveRuntimeObject(+1);
  }
  ~ServiceClientImpl() override { CountLiveRuntimeObject(-1); }

  void Init(std::shared_ptr<ServiceClientImpl> self) { self_ = std::move(self); }

  void AddRef() override { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release() override {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) != 1)
      return;
    Close();
    std::shared_ptr<ServiceClientImpl> last = std::move(self_);
  }

  bool RegisterService(IService* service) override {
    if (!service)
      return false;
    const char* name = service->GetServiceName();
    if (!name || !*name)
      return false;
    std::lock_guard<std::mutex> lock(mu_);
    if (state_ == State::kClosed)
      return false;
    return services_.emplace(name, ipc_core_refptr<IService>(service)).second;
  }

  bool ConnectToPort(int32_t port, const char* secret) override {
    if (port <= 0 || port > 65535)
      return false;
    std::string key = secret ? secret : "";
    if (key.empty()) {
      const char* from_env = std::getenv(kPeerSecretEnvironmentVariable);
      key = from_env ? from_env : "";
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (state_ != State::kIdle)
        return false;
      state_ = State::kConnecting;
      port_ = port;
      secret_ = key;
      attempts_ = 1;
      StartConnectLocked();
    }
    IPC_LOG(kLogInfo, 0) << app_name_ << " connecting to 127.0.0.1:" << port;
    return true;
  }

  bool ConnectByIdentity(const char* identity, const char* secret) override {
    if (!identity || !*identity)
      return false;
    RendezvousRecord record;
    std::string error;
    if (!ReadRendezvous(identity, &record, &error)) {
      IPC_LOG(kLogWarning, 0) << "no service host found under " << identity << ": " << error;
      return false;
    }
    return ConnectToPort(record.port, secret);
  }

  bool Invoke(const char* method, const char* payload, IRequestContext* context) override {
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
    {
      std::lock_guard<std::mutex> lock(mu_);
      // Before the welcome the invoke waits, and goes out right after it.
      if (state_ != State::kClosed) {
        int32_t timeout_ms = std::max<int32_t>(0, context->GetTimeoutMs());
        auto deadline = PendingInvokes::Clock::now() + std::chrono::milliseconds(timeout_ms);
        if (state_ == State::kConnected)
          target = connection_;
        if (pending_.Add(id, std::move(ref), deadline, target ? kConnectionKey : 0,
                         target ? std::string() : std::move(frame))) {
          ArmDeadlineLocked(deadline);
        }
      }
    }
    if (ref)
      return Refuse(std::move(ref), kErrorHostStopped, "client closed");
    if (target)
      target->Send(std::move(frame));
    return true;
  }

  void Close() override {
    std::shared_ptr<Connection> connection;
    std::vector<InvokeOutcome> outcomes;
    bool final_event = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (closing_ || state_ == State::kClosed)
        return;
      closing_ = true;
      pending_.TakeAll(kErrorHostStopped, "client closed", &outcomes);
      deadline_timer_.Cancel();
      retry_timer_.cancel();
      connection = connection_;
      if (socket_) {
        std::error_code ignored;
        socket_->close(ignored);
      }
      if (state_ == State::kIdle) {
        state_ = State::kClosed;
        final_event = true;
      }
    }
    if (connection)
      connection->Close(kErrorHostStopped);
    if (!outcomes.empty()) {
      asio::post(io_, [outcomes = std::move(outcomes)]() mutable {
        for (auto& outcome : outcomes)
          outcome.Deliver();
      });
    }
    if (final_event)
      ReleaseReferences();
  }

  void OnFrames(const std::shared_ptr<Connection>& connection,
                std::vector<wire::Frame>& frames) override {
    std::vector<InvokeOutcome> outcomes;
    std::vector<uint64_t> unknown_answers;
    std::string problem;
    bool welcomed = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (closing_)
        return;
      std::vector<wire::Frame> requests;
      for (wire::Frame& frame : frames) {
        if (state_ == State::kHello) {
          if (frame.type == wire::FrameType::kWelcome &&
              frame.version == wire::kProtocolVersion) {
            state_ = State::kConnected;
            welcomed = true;
            connection->set_log_id(frame.connection_id);
            connection->MarkEstablished();
            std::string bytes;
            pending_.AssignWaiting(kConnectionKey, &bytes);
            if (!bytes.empty())
              connection->Send(std::move(bytes));
            PostLocked([this] { observer_->OnConnected(this); });
          } else if (frame.type == wire::FrameType::kRefused) {
            refused_code_ = frame.code;
            problem = "refused by the service host: " + frame.text;
            break;
          } else {
            problem = "expected a welcome frame";
            break;
          }
        } else if (frame.type == wire::FrameType::kRequest) {
          requests.push_back(std::move(frame));
        } else if (frame.type == wire::FrameType::kReply ||
                   frame.type == wire::FrameType::kErrorReply) {
          if (!pending_.TakeAnswerFrame(frame, kConnectionKey, &outcomes)) {
            // A late answer to an invoke that already timed out: harmless.
            unknown_answers.push_back(frame.id);
          }
        } else {
          problem = "unexpected frame after the opening exchange";
          break;
        }
      }
      // Deferred (run on this thread after the read handler) only when no
      // invoke outcome is delivered on this thread first: an outcome
      // callback may block, and a deferred job would wait behind it.
      if (!requests.empty())
        PostRequestsLocked(connection, std::move(requests), outcomes.empty());
    }
    if (welcomed)
      IPC_LOG(kLogInfo, connection->log_id()) << app_name_ << " connected";
    for (uint64_t id : unknown_answers)
      IPC_LOG(kLogWarning, connection->log_id()) << "answer to unknown request " << id << " ignored";
    for (auto& outcome : outcomes)
      outcome.Deliver();
    if (!problem.empty()) {
      IPC_LOG(kLogWarning, connection->log_id()) << problem << ", closing";
      connection->Close(refused_code_ != 0 ? kErrorRefused : kErrorProtocol);
    }
  }

  void PostRequestsLocked(const std::shared_ptr<Connection>& connection,
                          std::vector<wire::Frame> requests, bool same_thread) {
    PostLocked(same_thread, [this, connection, requests = std::move(requests)] {
      // As on the host: a burst's answers leave in one write.
      bool cork = requests.size() > 1;
      if (cork)
        connection->Cork();
      for (const wire::Frame& request : requests) {
        IService* service = nullptr;
        {
          std::lock_guard<std::mutex> inner(mu_);
          auto it = services_.find(ServiceNameOf(request.method));
          if (it != services_.end())
            service = it->second.get();
        }
        DispatchRequest(service, connection, static_cast<int32_t>(connection->log_id()),
                        request.id, request.method, request.text);
      }
      if (cork)
        connection->Uncork();
    });
  }

  void OnConnectionClosed(const std::shared_ptr<Connection>& connection) override {
    std::vector<InvokeOutcome> outcomes;
    int attempt = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      bool was_connected = state_ == State::kConnected;
      int32_t close_code = connection->close_code();
      connection_.reset();
      if (!was_connected && !closing_ && refused_code_ == 0 && attempts_ < kConnectAttempts &&
          (close_code == 0 || close_code == kErrorConnectionLost)) {
        // Closed by the host before any answer: connect again shortly.
        attempt = ++attempts_;
        state_ = State::kConnecting;
        retry_timer_.expires_after(kConnectRetryPause);
        retry_timer_.async_wait([self = shared_from_this()](const std::error_code&) {
          self->OnRetryTimer();
        });
      } else {
        state_ = State::kClosed;
        pending_.TakeAll(closing_ ? kErrorHostStopped : kErrorConnectionLost,
                         closing_ ? "client closed" : "connection lost", &outcomes);
        deadline_timer_.Cancel();
        // Posted, not deferred, when outcomes are delivered on this thread
        // below: one of them may block.
        const bool same_thread = outcomes.empty();
        if (was_connected) {
          PostLocked(same_thread, [this] { observer_->OnDisconnected(this); });
        } else {
          int32_t code = refused_code_ != 0 ? refused_code_
                         : closing_         ? kErrorHostStopped
                         : close_code != 0  ? close_code
                                            : kErrorConnectionLost;
          PostLocked(same_thread, [this, code] { observer_->OnConnectFailed(this, code); });
        }
        PostLocked(same_thread, [this] { ReleaseReferences(); });
      }
    }
    if (attempt != 0) {
      IPC_LOG(kLogInfo, 0) << app_name_ << ": closed before the welcome, connecting again (attempt "
                           << attempt << " of " << kConnectAttempts << ")";
    }
    for (auto& outcome : outcomes)
      outcome.Deliver();
  }

 private:
  enum class State { kIdle, kConnecting, kHello, kConnected, kClosed };
  // The pending table tells connections apart by id; a client has only one.
  static constexpr int32_t kConnectionKey = 1;

  void StartConnectLocked() {
    socket_ = std::make_unique<asio::ip::tcp::socket>(io_);
    asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(),
                                     static_cast<uint16_t>(port_));
    socket_->async_connect(endpoint,
                           [self = shared_from_this(), key = secret_](const std::error_code& ec) {
                             self->OnTcpConnected(ec, key);
                           });
  }

  // Runs after the pause before another attempt, also when Close cancelled
  // the pause: then the connect ends as stopped.
  void OnRetryTimer() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!closing_) {
      StartConnectLocked();
      return;
    }
    state_ = State::kClosed;
    std::vector<InvokeOutcome> outcomes;
    pending_.TakeAll(kErrorHostStopped, "client closed", &outcomes);
    PostLocked([this, outcomes = std::move(outcomes)]() mutable {
      for (auto& outcome : outcomes)
        outcome.Deliver();
      observer_->OnConnectFailed(this, kErrorHostStopped);
      ReleaseReferences();
    });
  }

  void OnTcpConnected(const std::error_code& ec, const std::string& secret) {
    std::shared_ptr<Connection> connection;
    {
      std::lock_guard<std::mutex> lock(mu_);
      std::unique_ptr<asio::ip::tcp::socket> socket = std::move(socket_);
      if (ec || closing_) {
        state_ = State::kClosed;
        std::vector<InvokeOutcome> outcomes;
        pending_.TakeAll(kErrorConnectionLost, "connection failed", &outcomes);
        deadline_timer_.Cancel();
        int32_t code = closing_ ? kErrorHostStopped : kErrorConnectionLost;
        PostLocked([this, code, outcomes = std::move(outcomes)]() mutable {
          for (auto& outcome : outcomes)
            outcome.Deliver();
          observer_->OnConnectFailed(this, code);
          ReleaseReferences();
        });
      } else {
        state_ = State::kHello;
        connection = std::make_shared<Connection>(std::move(*socket), 0, shared_from_this());
        connection_ = connection;
        connection->Start(HelloTimeoutMs());
        std::string hello;
        wire::AppendHello(&hello, wire::kProtocolVersion, app_name_, secret);
        connection->Send(std::move(hello));
      }
    }
    if (ec)
      IPC_LOG(kLogWarning, 0) << "cannot connect: " << ec.message();
  }

  void ArmDeadlineLocked(PendingInvokes::Clock::time_point deadline) {
    deadline_timer_.ArmAt(deadline, [self = shared_from_this()] { self->OnDeadline(); });
  }

  void OnDeadline() {
    std::vector<InvokeOutcome> outcomes;
    {
      std::lock_guard<std::mutex> lock(mu_);
      deadline_timer_.Fired();
      pending_.TakeExpired(PendingInvokes::Clock::now(), &outcomes);
      if (!pending_.empty())
        ArmDeadlineLocked(pending_.next_deadline());
    }
    for (auto& outcome : outcomes)
      outcome.Deliver();
  }

  bool Refuse(ipc_core_refptr<IRequestContext> context, int32_t code, const char* reason) {
    IPC_LOG(kLogWarning, 0) << "invoke refused: " << reason;
    InvokeOutcome outcome;
    outcome.context = std::move(context);
    outcome.code = code;
    outcome.text = reason;
    asio::post(io_, [outcome = std::move(outcome)]() mutable { outcome.Deliver(); });
    return false;
  }

  // Observer events and requests run on the client's strand, in order.
  template <typename Fn>
  void PostLocked(Fn fn) {
    PostLocked(true, std::move(fn));
  }

  // Deferred rather than posted when |same_thread|: from the read path the
  // strand then runs on this same thread once the read handler returns.
  template <typename Fn>
  void PostLocked(bool same_thread, Fn fn) {
    // Every job runs foreign code: an observer event, a handler, releases.
    auto job = [self = shared_from_this(), fn = std::move(fn)]() mutable {
      ForeignCode foreign;
      fn();
    };
    if (same_thread)
      asio::defer(strand_, std::move(job));
    else
      asio::post(strand_, std::move(job));
  }

  void ReleaseReferences() {
    ipc_core_refptr<IServiceClientObserver> observer;
    std::map<std::string, ipc_core_refptr<IService>> services;
    {
      std::lock_guard<std::mutex> lock(mu_);
      observer = std::move(observer_);
      services.swap(services_);
    }
  }

  asio::io_context& io_;
  const std::string app_name_;
  asio::strand<asio::io_context::executor_type> strand_;
  std::atomic<int32_t> refs_{1};
  std::shared_ptr<ServiceClientImpl> self_;
  std::atomic<uint64_t> next_request_id_{1};

  std::mutex mu_;
  State state_ = State::kIdle;
  bool closing_ = false;
  int32_t refused_code_ = 0;
  ipc_core_refptr<IServiceClientObserver> observer_;
  std::map<std::string, ipc_core_refptr<IService>> services_;
  std::unique_ptr<asio::ip::tcp::socket> socket_;
  std::shared_ptr<Connection> connection_;
  EarliestDeadlineTimer deadline_timer_;
  asio::steady_timer retry_timer_;
  int32_t port_ = 0;
  std::string secret_;
  int attempts_ = 0;
  PendingInvokes pending_;
};

}  // namespace

int32_t CreateServiceClient(const char* app_name, IServiceClientObserver* observer,
                            IServiceClient** out) {
  if (!out)
    return kErrorInvalidArgument;
  *out = nullptr;
  Runtime* runtime = Runtime::Get();
  if (!runtime)
    return kErrorNotStarted;
  if (!observer)
    return kErrorInvalidArgument;
  auto client = std::make_shared<ServiceClientImpl>(runtime, app_name ? app_name : "", observer);
  client->Init(client);
  *out = client.get();
  return kOk;
}

}  // namespace ipc_core
