// A snipping tool that speaks the wire protocol itself, over a raw socket,
// so that it can do what a tool built on the IPC runtime never does: stop in
// the middle of a frame, write bytes that are no frame at all, or pour out
// thousands of requests without waiting for their answers.
//
// The agent starts it under the tool's file name. It reads the port from
// --channel-port and the one-time secret from QUILLO_IPC_PEER_SECRET, and
// takes its orders from the environment the test set before the shot:
//   ROGUE_TOOL_FAULT  good | midframe | garbage | burst
//   ROGUE_TOOL_STAGE  connect | welcome | handshake | shot | reply | record | ai
//   ROGUE_TOOL_REPORT file that gets one line per fact worth checking
// A good tool, and a faulty one past its fault, answers every shot with a
// result, like the reference tool without a display. The tool leaves as soon
// as its connection ends, so a test never leaves it behind.
//
// Started with --attack=KIND --port=N it is instead another local program
// that found the port and knows no secret:
//   silent     holds --count connections that never say a word, and opens a
//              new one as soon as the host closes one
//   bigframes  --count connections each announce a 4 MiB frame before any
//              hello and keep pouring its body; reopened when closed
//   flood      --count connections opened and closed one after the other,
//              then exits
// It runs until --seconds have passed (default: its lifetime) or it is
// killed, and prints one line with what it did when it ends by itself. With
// --start-when=PATH it waits for PATH to exist before it begins.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "tests/support/test_os.h"
#include "wire_format.h"

namespace {

using ipc_core::wire::Frame;
using ipc_core::wire::FrameDecoder;
using ipc_core::wire::FrameType;

// Exit statuses, as the reference tool uses them.
constexpr int kExitConnectionLost = 3;
constexpr int kExitCannotConnect = 4;
constexpr int kExitBadUsage = 2;

// No rogue outlives a test run, even one whose agent forgot it.
constexpr std::chrono::seconds kLifetime{120};

constexpr int kBurstSize = 10000;

constexpr char kShotMethod[] = "snipping_tool.snipping.shot";
constexpr char kHandshakeMethod[] = "snipping_tool_agent.snipping.handshake";
constexpr char kNotifyMethod[] = "snipping_tool_agent.snipping.notify";
constexpr char kBILogMethod[] = "snipping_tool_agent.snipping.bilog";
constexpr char kSetConfigMethod[] = "snipping_tool_agent.snipping.set_config";
constexpr char kShowVipWndMethod[] = "snipping_tool_agent.snipping.show_vip_wnd";
constexpr char kRecordStartedMethod[] = "snipping_tool_agent.snipping.notify_record_started";
constexpr char kRequestAIMethod[] = "snipping_tool_agent.snipping.request_ai";

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = getenv(name);
  return value ? value : fallback;
}

class RogueTool {
 public:
  RogueTool(asio::ip::tcp::socket socket, std::string fault, std::string stage, std::string report)
      : socket_(std::move(socket)), fault_(std::move(fault)), stage_(std::move(stage)), report_(std::move(report)) {}

  [[noreturn]] void Run(const std::string& secret) {
    Checkpoint("connect");
    std::string hello;
    ipc_core::wire::AppendHello(&hello, ipc_core::wire::kProtocolVersion, "rogue_tool", secret);
    Send(hello);
    Frame welcome = ReadFrame();
    if (welcome.type != FrameType::kWelcome) {
      Report("refused " + std::to_string(welcome.code) + " " + welcome.text);
      std::_Exit(kExitCannotConnect);
    }
    Report("welcome " + std::to_string(welcome.connection_id));
    Checkpoint("welcome");

    Call(kHandshakeMethod, "{}");
    Checkpoint("handshake");

    for (;;) {
      Frame shot = WaitForShot();
      Checkpoint("shot");
      SendReply(shot.id, "{}");
      Checkpoint("reply");
      if (!faulted_ && (stage_ == "record" || stage_ == "ai")) {
        Call(kRecordStartedMethod, "{}");
        Checkpoint("record");
      }
      if (!faulted_ && stage_ == "ai") {
        SendRequest(kRequestAIMethod, R"({"seq_id":7,"ai_type":1,"text":"rogue"})");
        // Requests of one connection are handled in order: once this answer
        // is back, the host has the screen-AI request in hand.
        Call(kBILogMethod, R"({"key":"rogue_ai_sent"})");
        Checkpoint("ai");
      }
      faulted_ = true;
      Call(kNotifyMethod, ResultPayload());
    }
  }

 private:
  // Does the ordered fault when the tool reaches its stage, once per life.
  void Checkpoint(const char* stage) {
    if (faulted_ || fault_ == "good" || stage_ != stage)
      return;
    Report(std::string("fault ") + fault_ + " at " + stage);
    if (fault_ == "midframe") {
      CloseMidFrame();
    } else if (fault_ == "garbage") {
      SendGarbage();
    } else if (fault_ == "burst") {
      faulted_ = true;
      Burst();
    } else {
      Report("unknown fault");
      std::_Exit(kExitBadUsage);
    }
  }

  [[noreturn]] void CloseMidFrame() {
    std::string frame;
    if (stage_ == "connect")
      ipc_core::wire::AppendHello(&frame, ipc_core::wire::kProtocolVersion, "rogue_tool",
                                  "not-the-whole-secret");
    else
      ipc_core::wire::AppendRequest(&frame, next_id_++, kBILogMethod, R"({"key":"cut_short"})");
    // The whole header and part of the body: the peer knows a frame has
    // begun and can never finish it.
    Send(frame.substr(
        0, ipc_core::wire::kHeaderSize + (frame.size() - ipc_core::wire::kHeaderSize) / 2));
    asio::error_code ignored;
    socket_.close(ignored);
    std::_Exit(0);
  }

  [[noreturn]] void SendGarbage() {
    std::string garbage = "this is no frame at all\r\n";
    for (int i = 0; i < 64; ++i)
      garbage += static_cast<char>((i * 37 + 11) & 0xff);
    Send(garbage);
    // The host drops a connection that breaks the framing; the read below
    // then ends the tool.
    for (;;)
      ReadFrame();
  }

  // Sends kBurstSize requests in one go, then one request that is always
  // answered. Requests of a connection are handled in arrival order, so when
  // that answer is back every answer the burst will ever get is back too.
  void Burst() {
    const char* method = kBILogMethod;
    const char* payload = R"({"key":"rogue_burst"})";
    if (stage_ == "reply") {
      method = kSetConfigMethod;
      payload = R"({"config_json":"{\"rogue\":1}"})";
    } else if (stage_ == "record") {
      method = kShowVipWndMethod;
      payload = "{}";
    } else if (stage_ == "ai") {
      method = kRequestAIMethod;
      payload = R"({"seq_id":8,"ai_type":1,"text":"burst"})";
    }
    const uint64_t first = next_id_;
    std::string frames;
    for (int i = 0; i < kBurstSize; ++i)
      ipc_core::wire::AppendRequest(&frames, next_id_++, method, payload);
    const uint64_t last = next_id_ - 1;
    const uint64_t sentinel = next_id_++;
    ipc_core::wire::AppendRequest(&frames, sentinel, kRecordStartedMethod, "{}");
    Send(frames);
    int replies = 0;
    int errors = 0;
    for (;;) {
      Frame frame = ReadFrame();
      if (frame.type == FrameType::kRequest) {
        Dispatch(frame);
        continue;
      }
      if (frame.id == sentinel)
        break;
      if (frame.id >= first && frame.id <= last) {
        if (frame.type == FrameType::kReply)
          ++replies;
        else
          ++errors;
      }
    }
    Report("burst " + std::string(method) + " replies " + std::to_string(replies) + " errors " +
           std::to_string(errors));
  }

  // Sends a request and reads until its answer, handling what comes between.
  void Call(const char* method, const std::string& payload) {
    const uint64_t id = SendRequest(method, payload);
    for (;;) {
      Frame frame = ReadFrame();
      if (frame.type == FrameType::kRequest) {
        Dispatch(frame);
        continue;
      }
      if (frame.id == id) {
        if (frame.type == FrameType::kErrorReply)
          Report(std::string("error ") + method + " " + std::to_string(frame.code));
        return;
      }
    }
  }

  Frame WaitForShot() {
    if (pending_shot_.type == FrameType::kRequest) {
      Frame shot = pending_shot_;
      pending_shot_ = Frame();
      return shot;
    }
    for (;;) {
      Frame frame = ReadFrame();
      if (frame.type == FrameType::kRequest && frame.method == kShotMethod)
        return frame;
      if (frame.type == FrameType::kRequest)
        Dispatch(frame);
    }
  }

  // Requests that arrive while the tool waits for something else. A shot is
  // kept for the main loop; anything else is acknowledged at once.
  void Dispatch(const Frame& request) {
    if (request.method == kShotMethod) {
      pending_shot_ = request;
      return;
    }
    Report("recv " + request.method + " " + request.text);
    SendReply(request.id, "{}");
  }

  uint64_t SendRequest(const char* method, const std::string& payload) {
    std::string frame;
    const uint64_t id = next_id_++;
    ipc_core::wire::AppendRequest(&frame, id, method, payload);
    Send(frame);
    return id;
  }

  void SendReply(uint64_t id, const std::string& text) {
    std::string frame;
    ipc_core::wire::AppendReply(&frame, id, text);
    Send(frame);
  }

  static std::string ResultPayload() {
    // No capture here: the result says so (event 2, as the reference tool
    // reports a failed capture), which is all the agent relays.
    return R"({"image_file_path":"","snipping_event":2,"ai_skill_data":"","pos_x":0,"pos_y":0})";
  }

  void Send(const std::string& bytes) {
    asio::error_code error;
    asio::write(socket_, asio::buffer(bytes), error);
    if (error)
      Lost("send");
  }

  Frame ReadFrame() {
    Frame frame;
    for (;;) {
      const FrameDecoder::Result result = decoder_.Next(&frame);
      if (result == FrameDecoder::Result::kFrame)
        return frame;
      if (result == FrameDecoder::Result::kError) {
        Report("bad frame from the host: " + decoder_.error());
        Lost("decode");
      }
      char buffer[65536];
      asio::error_code error;
      const size_t n = socket_.read_some(asio::buffer(buffer), error);
      if (error || n == 0)
        Lost("recv");
      decoder_.Append(buffer, n);
    }
  }

  [[noreturn]] void Lost(const char* where) {
    Report(std::string("connection lost in ") + where);
    std::_Exit(kExitConnectionLost);
  }

  void Report(const std::string& line) {
    if (report_.empty())
      return;
    if (FILE* file = fopen(report_.c_str(), "a")) {
      fprintf(file, "%d %s\n", test_os::CurrentPid(), line.c_str());
      fclose(file);
    }
  }

  asio::ip::tcp::socket socket_;
  const std::string fault_;
  const std::string stage_;
  const std::string report_;
  bool faulted_ = false;
  uint64_t next_id_ = 1;
  FrameDecoder decoder_;
  Frame pending_shot_;
};

}  // namespace

namespace {

struct Attack {
  std::string kind;
  unsigned short port = 0;
  int count = 0;
  std::chrono::steady_clock::time_point end;
  std::string start_when;
};

bool Open(asio::io_context& io, const Attack& attack, asio::ip::tcp::socket* socket) {
  asio::error_code error;
  *socket = asio::ip::tcp::socket(io);
  socket->connect({asio::ip::address_v4::loopback(), attack.port}, error);
  if (error)
    return false;
  socket->non_blocking(true, error);
  return true;
}

// True when the host has closed |socket| (or it was never open).
bool ClosedByHost(asio::ip::tcp::socket& socket) {
  if (!socket.is_open())
    return true;
  char byte[256];
  asio::error_code error;
  socket.read_some(asio::buffer(byte), error);
  return error && error != asio::error::would_block && error != asio::error::try_again;
}

int RunAttack(const Attack& attack) {
  while (!attack.start_when.empty() && !test_os::FileHasContent(attack.start_when) &&
         std::chrono::steady_clock::now() < attack.end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  asio::io_context io;
  long opened = 0;
  long closed_by_host = 0;
  if (attack.kind == "flood") {
    for (int i = 0; i < attack.count && std::chrono::steady_clock::now() < attack.end; ++i) {
      asio::ip::tcp::socket socket(io);
      if (Open(io, attack, &socket))
        ++opened;
    }
    printf("flood: %ld connections opened and closed\n", opened);
    return 0;
  }
  if (attack.kind != "silent" && attack.kind != "bigframes") {
    fprintf(stderr, "rogue_tool: unknown attack %s\n", attack.kind.c_str());
    return kExitBadUsage;
  }
  // A request header announcing the largest body the protocol allows, sent
  // where a hello belongs.
  std::string header;
  ipc_core::wire::AppendRequest(&header, 1, "x", std::string());
  header.resize(ipc_core::wire::kHeaderSize);
  const uint32_t length = ipc_core::wire::kMaxBodyLength;
  for (int i = 0; i < 4; ++i)
    header[4 + i] = static_cast<char>((length >> (8 * i)) & 0xff);
  const std::string body(64 * 1024, 'x');
  std::vector<asio::ip::tcp::socket> sockets;
  for (int i = 0; i < attack.count; ++i)
    sockets.emplace_back(io);
  while (std::chrono::steady_clock::now() < attack.end) {
    for (auto& socket : sockets) {
      if (ClosedByHost(socket)) {
        if (socket.is_open())
          ++closed_by_host;
        asio::error_code ignored;
        socket.close(ignored);
        if (!Open(io, attack, &socket))
          continue;
        ++opened;
        if (attack.kind == "bigframes")
          asio::write(socket, asio::buffer(header), ignored);
      }
      if (attack.kind == "bigframes") {
        // As much of the body as the host takes without blocking.
        asio::error_code ignored;
        socket.write_some(asio::buffer(body), ignored);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  printf("%s: %ld connections opened, %ld closed by the host\n", attack.kind.c_str(), opened,
         closed_by_host);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::thread([] {
    std::this_thread::sleep_for(kLifetime);
    std::_Exit(kExitConnectionLost);
  }).detach();
  long port = 0;
  const std::string port_switch = "--channel-port=";
  Attack attack;
  attack.end = std::chrono::steady_clock::now() + kLifetime;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (strncmp(argv[i], port_switch.c_str(), port_switch.size()) == 0)
      port = strtol(argv[i] + port_switch.size(), nullptr, 10);
    else if (arg.rfind("--attack=", 0) == 0)
      attack.kind = arg.substr(9);
    else if (arg.rfind("--port=", 0) == 0)
      port = strtol(arg.c_str() + 7, nullptr, 10);
    else if (arg.rfind("--count=", 0) == 0)
      attack.count = atoi(arg.c_str() + 8);
    else if (arg.rfind("--start-when=", 0) == 0)
      attack.start_when = arg.substr(13);
  }
  if (!attack.kind.empty() && port > 0 && port <= 65535) {
    attack.port = static_cast<unsigned short>(port);
    return RunAttack(attack);
  }
  if (port <= 0 || port > 65535) {
    fprintf(stderr, "rogue_tool: no --channel-port\n");
    return kExitBadUsage;
  }
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  asio::error_code error;
  socket.connect({asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)}, error);
  if (error) {
    fprintf(stderr, "rogue_tool: connect: %s\n", error.message().c_str());
    return kExitCannotConnect;
  }
  socket.set_option(asio::ip::tcp::no_delay(true), error);
  RogueTool tool(std::move(socket), EnvOr("ROGUE_TOOL_FAULT", "good"), EnvOr("ROGUE_TOOL_STAGE", ""),
                 EnvOr("ROGUE_TOOL_REPORT", ""));
  tool.Run(EnvOr("QUILLO_IPC_PEER_SECRET", ""));
}
