// One TCP connection of either end: reads and decodes frames, writes queued
// frames in gathered batches, and reports its end exactly once.
#ifndef IPC_CORE_SRC_CONNECTION_H_
#define IPC_CORE_SRC_CONNECTION_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "asio.hpp"
#include "wire_format.h"

namespace ipc_core {

class Connection;

// The end (host or client) a connection reports to. Calls for one connection
// never overlap: they all come from its read path, one at a time.
class ConnectionOwner {
 public:
  virtual ~ConnectionOwner() = default;
  // The frames one read completed, in arrival order (the owner may move
  // from them).
  virtual void OnFrames(const std::shared_ptr<Connection>& connection,
                        std::vector<wire::Frame>& frames) = 0;
  // The connection has ended, for whatever cause; no OnFrame follows.
  virtual void OnConnectionClosed(const std::shared_ptr<Connection>& connection) = 0;
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // Outgoing bytes a peer may leave unread before the connection is dropped:
  // a stuck peer must not make the runtime buffer without bound.
  static constexpr size_t kMaxQueuedBytes = 64u * 1024 * 1024;

  Connection(asio::ip::tcp::socket socket, int64_t log_id, std::shared_ptr<ConnectionOwner> owner);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Before MarkEstablished a connection reads and buffers at most one
  // frame of the opening exchange, header included: a peer that has not
  // authenticated cannot make it hold more.
  static constexpr size_t kOpeningBufferLimit = wire::kHeaderSize + wire::kMaxOpeningBodyLength;

  // Starts reading, and closes the connection if MarkEstablished has not
  // been called within |hello_timeout_ms|.
  void Start(int32_t hello_timeout_ms);
  // The opening exchange is done: the hello deadline no longer applies, and
  // the frames after it may be as large as the protocol allows. Called by
  // the owner from OnFrames, for the frame that completed the exchange; the
  // frames after it in the same read are decoded under the full limit.
  void MarkEstablished();
  // Queues one or more encoded frames. Dropped quietly once closed.
  void Send(std::string bytes);
  // While a thread has corked a connection, what that thread sends to it is
  // only queued; Uncork writes it all with one call. Other threads' sends
  // are not held back (and flush the queue with them).
  void Cork();
  void Uncork();
  // Sends |bytes|, ignores everything the peer sends meanwhile, and closes
  // once they are written: the way a refusal leaves.
  void SendAndClose(std::string bytes, int32_t close_code);
  // Closes at once, from any thread; OnConnectionClosed follows on the read
  // path. |close_code| tells the owner why (kept only for the first close).
  void Close(int32_t close_code);

  int64_t log_id() const { return log_id_.load(std::memory_order_relaxed); }
  void set_log_id(int64_t id) { log_id_.store(id, std::memory_order_relaxed); }
  bool established() const { return established_.load(std::memory_order_acquire); }
  // Why the connection ended: 0 for an orderly end by the peer, otherwise
  // one of the runtime's error codes. Meaningful in OnConnectionClosed.
  int32_t close_code() const { return close_code_.load(std::memory_order_acquire); }
  // When bytes last arrived (or the connection was made), on the steady
  // clock: how long a peer that has not authenticated has been idle.
  std::chrono::steady_clock::time_point last_activity() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(last_activity_.load(std::memory_order_relaxed)));
  }

 private:
  void ReadMoreLocked();
  void OnRead(const std::error_code& ec, size_t size);
  // Decodes what the decoder holds and hands it to the owner; false when
  // the stream is malformed.
  bool DecodeAndDeliver();
  void Finish(const std::error_code& ec);
  void StartWriteLocked();
  void PostFlushLocked();
  // Writes what is queued directly, as far as the socket takes it, and
  // leaves the rest to an asynchronous write.
  void FlushLocked();
  void OnWrite(const std::error_code& ec);
  bool CloseLocked(int32_t close_code);

  std::mutex mu_;  // guards the socket, the timer and the write state
  asio::ip::tcp::socket socket_;
  asio::steady_timer hello_timer_;
  std::vector<std::string> queue_;
  std::vector<std::string> writing_;
  std::vector<asio::const_buffer> write_buffers_;
  size_t queued_bytes_ = 0;
  bool write_in_progress_ = false;
  bool close_after_flush_ = false;
  bool write_failed_ = false;
  bool flush_posted_ = false;
  std::chrono::steady_clock::time_point last_foreign_write_;
  std::atomic<bool> closed_{false};
  std::atomic<bool> draining_{false};
  std::atomic<bool> established_{false};
  std::atomic<int32_t> close_code_{0};
  std::atomic<int64_t> log_id_;
  std::atomic<std::chrono::steady_clock::rep> last_activity_;

  // Read side: touched only by the one read in flight and its handler.
  wire::FrameDecoder decoder_;
  size_t read_chunk_;
  std::vector<wire::Frame> frames_;
  std::shared_ptr<ConnectionOwner> owner_;
};

}  // namespace ipc_core

#endif  // IPC_CORE_SRC_CONNECTION_H_
