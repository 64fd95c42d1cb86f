#include "connection.h"

#include <algorithm>
#include <utility>

#include "ipc_core/service_host.h"
#include "runtime.h"

namespace ipc_core {
namespace {

// One read takes what the kernel has, up to this much, or up to the rest of
// a larger frame whose header has arrived (so a large payload is not taken
// in pieces of this size), but never more than kMaxReadAhead at once: the
// space is set aside before the bytes arrive.
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kMaxReadAhead = 1024 * 1024;

// Marks the read loop's handler as the continuation of the handler that
// armed it, so asio queues its completion on the same thread instead of
// waking another one for every read.
template <typename Handler>
struct ReadContinuation {
  Handler handler;
  void operator()(const std::error_code& ec, size_t size) { handler(ec, size); }
  friend bool asio_handler_is_continuation(ReadContinuation*) { return true; }
};

template <typename Handler>
ReadContinuation<Handler> MakeReadContinuation(Handler handler) {
  return ReadContinuation<Handler>{std::move(handler)};
}

thread_local Connection* t_corked = nullptr;

// Sends from an application thread that follow each other closer than this
// are a burst: they are queued and written together by a runtime thread,
// one system call for many frames. A lone send (a round trip, where the next
// request waits for the previous answer) is written at once.
constexpr auto kBurstGap = std::chrono::microseconds(20);

}  // namespace

// A record about this connection: rate-limited like IPC_PEER_LOG until the
// peer has authenticated, since any local program can make as many of those
// as it likes; written like IPC_LOG after.
#define CONNECTION_LOG(severity)                                                \
  if (!established() && !::ipc_core::AdmitPeerRecord(::ipc_core::severity)) { \
  } else                                                                        \
    IPC_LOG(severity, log_id())

Connection::Connection(asio::ip::tcp::socket socket, int64_t log_id,
                       std::shared_ptr<ConnectionOwner> owner)
    : socket_(std::move(socket)),
      hello_timer_(socket_.get_executor()),
      log_id_(log_id),
      last_activity_(std::chrono::steady_clock::now().time_since_epoch().count()),
      read_chunk_(kOpeningBufferLimit),
      owner_(std::move(owner)) {
  decoder_.set_max_body_length(wire::kMaxOpeningBodyLength);
}

Connection::~Connection() = default;

void Connection::Start(int32_t hello_timeout_ms) {
  std::error_code ignored;
  std::lock_guard<std::mutex> lock(mu_);
  // Requests are small and answered one by one; Nagle's delay would add to
  // every round trip.
  socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
  // Send writes directly from the calling thread when nothing is queued; it
  // must get "would block" back rather than wait.
  socket_.non_blocking(true, ignored);
  hello_timer_.expires_after(std::chrono::milliseconds(hello_timeout_ms));
  std::weak_ptr<Connection> weak = weak_from_this();
  hello_timer_.async_wait([weak, hello_timeout_ms](const std::error_code& ec) {
    auto self = weak.lock();
    if (ec || !self || self->established())
      return;
    IPC_PEER_LOG(kLogWarning, self->log_id())
        << "no opening exchange within " << hello_timeout_ms << " ms, closing";
    self->Close(kErrorTimeout);
  });
  ReadMoreLocked();
}

void Connection::MarkEstablished() {
  established_.store(true, std::memory_order_release);
  std::lock_guard<std::mutex> lock(mu_);
  hello_timer_.cancel();
}

void Connection::ReadMoreLocked() {
  auto self = shared_from_this();
  size_t want = read_chunk_;
  if (!established()) {
    // Never more than completes one largest opening frame.
    size_t held = std::min(decoder_.buffered(), kOpeningBufferLimit - 1);
    want = std::min(want, kOpeningBufferLimit - held);
  } else {
    want = std::max(want, std::min(decoder_.missing(), kMaxReadAhead));
  }
  // Read straight into the decoder: no copy between the socket and it.
  char* into = decoder_.Prepare(want);
  socket_.async_read_some(asio::buffer(into, want),
                          MakeReadContinuation([self](const std::error_code& ec, size_t size) {
                            self->OnRead(ec, size);
                          }));
}

void Connection::OnRead(const std::error_code& ec, size_t size) {
  if (ec)
    return Finish(ec);
  last_activity_.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                       std::memory_order_relaxed);
  if (!draining_.load(std::memory_order_acquire) && !closed_.load(std::memory_order_acquire)) {
    decoder_.Commit(size);
    if (!established())
      NotePreHelloBuffered(decoder_.buffered());
    if (!DecodeAndDeliver()) {
      CONNECTION_LOG(kLogWarning) << "malformed input (" << decoder_.error() << "), closing";
      Close(kErrorProtocol);
    }
  }
  std::unique_lock<std::mutex> lock(mu_);
  if (closed_.load(std::memory_order_acquire)) {
    lock.unlock();
    return Finish(asio::error::operation_aborted);
  }
  ReadMoreLocked();
}

bool Connection::DecodeAndDeliver() {
  for (;;) {
    // Until the opening exchange is done, frames go to the owner one at a
    // time: the one that completes it lifts the opening limit for the rest.
    bool opening = !established();
    bool malformed = false;
    for (;;) {
      frames_.emplace_back();
      auto result = decoder_.Next(&frames_.back());
      if (result == wire::FrameDecoder::Result::kFrame) {
        if (opening)
          break;
        continue;
      }
      frames_.pop_back();
      malformed = result == wire::FrameDecoder::Result::kError;
      break;
    }
    // The frames before a malformed one are still handed over; the stream
    // ends at the bad one.
    bool delivered = !frames_.empty();
    if (delivered)
      owner_->OnFrames(shared_from_this(), frames_);
    frames_.clear();
    if (malformed)
      return false;
    if (!opening || !delivered || !established() || draining_.load() || closed_.load())
      return true;
    decoder_.set_max_body_length(wire::kMaxBodyLength);
    read_chunk_ = kReadChunk;
  }
}

void Connection::Finish(const std::error_code& ec) {
  bool ours;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ours = closed_.load();
    CloseLocked(ec == asio::error::eof ? 0 : kErrorConnectionLost);
  }
  if (!ours && decoder_.buffered() > 0) {
    CONNECTION_LOG(kLogWarning) << "peer closed the connection in the middle of a frame ("
                                << decoder_.buffered() << " bytes pending)";
  } else if (established()) {
    if (!ours && ec != asio::error::eof)
      IPC_LOG(kLogInfo, log_id()) << "connection lost: " << ec.message();
    else
      IPC_LOG(kLogInfo, log_id()) << "connection closed";
  } else {
    IPC_PEER_LOG(kLogInfo, log_id()) << "connection closed before the opening exchange";
  }
  std::shared_ptr<ConnectionOwner> owner = std::move(owner_);
  owner->OnConnectionClosed(shared_from_this());
}

void Connection::Send(std::string bytes) {
  bool overflow = false;
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (closed_.load() || close_after_flush_ || write_failed_)
      return;
    queued_bytes_ += bytes.size();
    queue_.push_back(std::move(bytes));
    if (queued_bytes_ > kMaxQueuedBytes) {
      overflow = CloseLocked(kErrorConnectionLost);
    } else if (t_corked == this || flush_posted_) {
      // Written by Uncork, or by the flush already on its way.
    } else if (!OnRuntimeThread()) {
      auto now = std::chrono::steady_clock::now();
      bool burst = now - last_foreign_write_ < kBurstGap;
      last_foreign_write_ = now;
      if (burst && !write_in_progress_)
        PostFlushLocked();
      else
        FlushLocked();
    } else {
      FlushLocked();
    }
  }
  if (overflow) {
    IPC_LOG(kLogWarning, log_id())
        << "peer leaves more than " << kMaxQueuedBytes << " bytes unread, closing";
  }
}

void Connection::Cork() { t_corked = this; }

void Connection::Uncork() {
  t_corked = nullptr;
  std::lock_guard<std::mutex> lock(mu_);
  if (!closed_.load() && !write_failed_)
    FlushLocked();
}

void Connection::PostFlushLocked() {
  flush_posted_ = true;
  asio::post(socket_.get_executor(), [self = shared_from_this()] {
    std::lock_guard<std::mutex> lock(self->mu_);
    self->flush_posted_ = false;
    if (!self->closed_.load() && !self->write_failed_)
      self->FlushLocked();
  });
}

void Connection::FlushLocked() {
  if (write_in_progress_)
    return;  // its completion writes the queue
  // Write now, from this thread: small frames usually go in one call, with
  // no completion to schedule and no runtime thread to wake.
  while (!queue_.empty()) {
    write_buffers_.clear();
    for (const std::string& frame : queue_) {
      write_buffers_.emplace_back(asio::buffer(frame));
      if (write_buffers_.size() == 64)
        break;
    }
    std::error_code ec;
    size_t written = socket_.write_some(write_buffers_, ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again)
      break;
    if (ec) {
      // Reported like a failed asynchronous write, outside the lock.
      write_in_progress_ = true;
      asio::post(socket_.get_executor(), [self = shared_from_this(), ec] { self->OnWrite(ec); });
      return;
    }
    size_t done = 0;
    while (done < queue_.size() && written >= queue_[done].size()) {
      written -= queue_[done].size();
      queued_bytes_ -= queue_[done].size();
      ++done;
    }
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(done));
    if (written > 0) {
      queue_.front().erase(0, written);
      queued_bytes_ -= written;
    }
  }
  if (!queue_.empty())
    StartWriteLocked();
}

void Connection::SendAndClose(std::string bytes, int32_t close_code) {
  draining_.store(true, std::memory_order_release);
  std::lock_guard<std::mutex> lock(mu_);
  if (closed_.load() || close_after_flush_)
    return;
  close_code_.store(close_code, std::memory_order_release);
  queued_bytes_ += bytes.size();
  queue_.push_back(std::move(bytes));
  close_after_flush_ = true;
  if (!write_in_progress_)
    StartWriteLocked();
}

void Connection::StartWriteLocked() {
  writing_.swap(queue_);
  queue_.clear();
  queued_bytes_ = 0;
  write_buffers_.clear();
  for (const std::string& frame : writing_)
    write_buffers_.emplace_back(asio::buffer(frame));
  write_in_progress_ = true;
  auto self = shared_from_this();
  asio::async_write(socket_, write_buffers_,
                    [self](const std::error_code& ec, size_t) { self->OnWrite(ec); });
}

void Connection::OnWrite(const std::error_code& ec) {
  std::unique_lock<std::mutex> lock(mu_);
  write_in_progress_ = false;
  writing_.clear();
  if (ec && !closed_.load()) {
    if (close_after_flush_) {
      CloseLocked(close_code_.load());
      return;
    }
    // The peer is gone or no longer reads. Requests it sent before that may
    // still sit unread in the socket: keep reading them, so each is handled
    // before the connection's end is reported. The read side ends the
    // connection when it reaches the end of the stream.
    write_failed_ = true;
    queue_.clear();
    queued_bytes_ = 0;
    std::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    lock.unlock();
    IPC_LOG(kLogInfo, log_id()) << "peer stopped reading: " << ec.message();
    return;
  }
  if (ec)
    return;
  if (closed_.load())
    return;
  if (!queue_.empty()) {
    StartWriteLocked();
  } else if (close_after_flush_) {
    CloseLocked(close_code_.load());
  }
}

void Connection::Close(int32_t close_code) {
  std::lock_guard<std::mutex> lock(mu_);
  CloseLocked(close_code);
}

bool Connection::CloseLocked(int32_t close_code) {
  if (closed_.load())
    return false;
  if (!close_after_flush_)
    close_code_.store(close_code, std::memory_order_release);
  closed_.store(true, std::memory_order_release);
  std::error_code ignored;
  hello_timer_.cancel();
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  return true;
}

}  // namespace ipc_core
