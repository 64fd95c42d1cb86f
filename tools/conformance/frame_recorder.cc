#include "tools/conformance/frame_recorder.h"

#include <array>
#include <thread>

#include "asio.hpp"

namespace conformance {

using asio::ip::tcp;

// Shared with the proxy's threads, which may outlive the recorder object.
struct FrameRecorder::State {
  asio::io_context io;
  std::unique_ptr<tcp::acceptor> acceptor;
  int upstream_port = 0;
  int port = 0;

  mutable std::mutex lock;
  std::vector<RecordedFrame> frames;
  std::vector<std::string> problems;
  std::vector<std::shared_ptr<tcp::socket>> sockets;
  int connections = 0;
  bool closed = false;
};

namespace {

// Copies |from| to |to| until either ends, decoding what passes.
void Pump(std::shared_ptr<FrameRecorder::State> state, std::shared_ptr<tcp::socket> from,
          std::shared_ptr<tcp::socket> to, bool from_tool, int connection) {
  ipc_core::wire::FrameDecoder decoder;
  bool failed = false;
  std::array<char, 65536> buffer;
  for (;;) {
    std::error_code ec;
    const size_t n = from->read_some(asio::buffer(buffer), ec);
    if (ec || n == 0)
      break;
    if (!failed) {
      decoder.Append(buffer.data(), n);
      ipc_core::wire::Frame frame;
      for (;;) {
        const auto result = decoder.Next(&frame);
        if (result == ipc_core::wire::FrameDecoder::Result::kNeedMore)
          break;
        std::lock_guard<std::mutex> hold(state->lock);
        if (result == ipc_core::wire::FrameDecoder::Result::kError) {
          state->problems.push_back(std::string(from_tool ? "tool" : "agent") +
                                    " sent bytes that are not a frame: " + decoder.error());
          failed = true;
          break;
        }
        state->frames.push_back({from_tool, connection, frame});
      }
    }
    asio::write(*to, asio::buffer(buffer.data(), n), ec);
    if (ec)
      break;
  }
  if (!failed && decoder.buffered() != 0) {
    std::lock_guard<std::mutex> hold(state->lock);
    state->problems.push_back(std::string(from_tool ? "tool" : "agent") +
                              " stopped in the middle of a frame");
  }
  std::error_code ignored;
  to->shutdown(tcp::socket::shutdown_send, ignored);
}

void AcceptLoop(std::shared_ptr<FrameRecorder::State> state) {
  for (;;) {
    auto tool_side = std::make_shared<tcp::socket>(state->io);
    std::error_code ec;
    state->acceptor->accept(*tool_side, ec);
    if (ec)
      return;
    {
      // After CloseAll a connection is dropped as soon as it is accepted:
      // the listener looks closed to the tool.
      std::lock_guard<std::mutex> hold(state->lock);
      if (state->closed)
        continue;
    }
    auto agent_side = std::make_shared<tcp::socket>(state->io);
    agent_side->connect({asio::ip::address_v4::loopback(),
                         static_cast<uint16_t>(state->upstream_port)},
                        ec);
    if (ec)
      continue;  // the tool sees its connection close
    tool_side->set_option(tcp::no_delay(true), ec);
    agent_side->set_option(tcp::no_delay(true), ec);
    int connection = 0;
    {
      std::lock_guard<std::mutex> hold(state->lock);
      if (state->closed)
        return;
      connection = ++state->connections;
      state->sockets.push_back(tool_side);
      state->sockets.push_back(agent_side);
    }
    std::thread(Pump, state, tool_side, agent_side, true, connection).detach();
    std::thread(Pump, state, agent_side, tool_side, false, connection).detach();
  }
}

std::string Quote(const std::string& text) {
  return "`" + text + "`";
}

}  // namespace

FrameRecorder::FrameRecorder() : state_(std::make_shared<State>()) {}

FrameRecorder::~FrameRecorder() {
  CloseAll();
}

bool FrameRecorder::Start(int upstream_port, std::string* error) {
  state_->upstream_port = upstream_port;
  std::error_code ec;
  auto acceptor = std::make_unique<tcp::acceptor>(state_->io);
  const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
  acceptor->open(endpoint.protocol(), ec);
  if (!ec)
    acceptor->bind(endpoint, ec);
  if (!ec)
    acceptor->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = ec.message();
    return false;
  }
  state_->port = acceptor->local_endpoint().port();
  state_->acceptor = std::move(acceptor);
  std::thread(AcceptLoop, state_).detach();
  return true;
}

int FrameRecorder::port() const {
  return state_->port;
}

void FrameRecorder::CloseAll() {
  std::lock_guard<std::mutex> hold(state_->lock);
  if (state_->closed)
    return;
  state_->closed = true;
  // Shut down, not closed: the pumps still read from these sockets on
  // their own threads, and a shutdown ends their reads.
  std::error_code ignored;
  for (const auto& socket : state_->sockets)
    socket->shutdown(tcp::socket::shutdown_both, ignored);
}

std::vector<RecordedFrame> FrameRecorder::Frames() const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->frames;
}

std::vector<std::string> FrameRecorder::Problems() const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->problems;
}

std::string FrameRecorder::Describe(const RecordedFrame& recorded) {
  using ipc_core::wire::FrameType;
  const ipc_core::wire::Frame& f = recorded.frame;
  std::string line = recorded.from_tool ? "tool -> agent  " : "agent -> tool  ";
  switch (f.type) {
    case FrameType::kHello:
      return line + "hello version " + std::to_string(f.version) + " app_name " + Quote(f.name) +
             " secret of " + std::to_string(f.secret.size()) + " bytes";
    case FrameType::kWelcome:
      return line + "welcome version " + std::to_string(f.version) + " app_id " +
             std::to_string(f.app_id) + " protocol_tag " + std::to_string(f.protocol_tag) +
             " connection_id " + std::to_string(f.connection_id) + " host_name " + Quote(f.name);
    case FrameType::kRefused:
      return line + "refused code " + std::to_string(f.code) + " " + Quote(f.text);
    case FrameType::kRequest:
      return line + "request #" + std::to_string(f.id) + " " + f.method + " " + Quote(f.text);
    case FrameType::kReply:
      return line + "reply #" + std::to_string(f.id) + " " + Quote(f.text);
    case FrameType::kErrorReply:
      return line + "error reply #" + std::to_string(f.id) + " code " + std::to_string(f.code) +
             " " + Quote(f.text);
  }
  return line + "?";
}

}  // namespace conformance
