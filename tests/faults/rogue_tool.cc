// A snipping tool that speaks the wire protocol over a raw socket, to do what
// a tool built on the IPC runtime never does: pour out requests without
// waiting for their answers.
//
// The agent starts it under the tool's file name (--channel-port, the secret
// in QUILLO_IPC_PEER_SECRET); its orders come from files the environment names:
//   ROGUE_TOOL_BURST_AT  file holding welcome | shot | reply | record | ai, or none
//   ROGUE_TOOL_REPORT    file that gets one line per fact worth checking
// Past its burst it answers every shot with a result; it leaves as soon as
// its connection ends.
//
// With --attack=KIND --port=N --count=N it is instead another local program
// that knows no secret: "silent" holds N connections that never say a word,
// "bigframes" has each announce a 4 MiB frame before any hello and pour its
// body (both reopen what the host closes, until killed), "flood" opens and
// closes N connections and exits. --start-when=PATH waits for PATH first.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <asio.hpp>

#include "tests/support/test_os.h"
#include "tests/support/test_text.h"
#include "wire_format.h"

namespace {

using ipc_core::wire::Frame;
using ipc_core::wire::FrameType;

// Exit statuses, as the reference tool uses them.
constexpr int kExitBadUsage = 2;
constexpr int kExitConnectionLost = 3;
constexpr int kExitCannotConnect = 4;

// No rogue outlives a test run, even one whose agent forgot it.
constexpr std::chrono::seconds kLifetime{120};

constexpr int kBurstSize = 10000;

constexpr char kShotMethod[] = "snipping_tool.snipping.shot";
constexpr char kHandshakeMethod[] = "snipping_tool_agent.snipping.handshake";
constexpr char kNotifyMethod[] = "snipping_tool_agent.snipping.notify";
constexpr char kBILogMethod[] = "snipping_tool_agent.snipping.bilog";
constexpr char kRecordStartedMethod[] = "snipping_tool_agent.snipping.notify_record_started";
constexpr char kRequestAIMethod[] = "snipping_tool_agent.snipping.request_ai";

class RogueTool {
 public:
  explicit RogueTool(asio::ip::tcp::socket socket) : socket_(std::move(socket)) {}

  [[noreturn]] void Run(const std::string& secret) {
    std::string hello;
    ipc_core::wire::AppendHello(&hello, ipc_core::wire::kProtocolVersion, "rogue_tool", secret);
    Send(hello);
    if (ReadFrame().type != FrameType::kWelcome)
      std::_Exit(kExitCannotConnect);
    Checkpoint("welcome");
    Call(kHandshakeMethod, "{}");
    for (;;) {
      if (pending_shot_.type != FrameType::kRequest) {
        pending_shot_ = ReadUntil([](const Frame& frame) {
          return frame.type == FrameType::kRequest && frame.method == kShotMethod;
        });
      }
      const Frame shot = pending_shot_;
      pending_shot_ = Frame();
      Checkpoint("shot");
      SendReply(shot.id);
      Checkpoint("reply");
      if (!burst_done_ && (stage_ == "record" || stage_ == "ai")) {
        Call(kRecordStartedMethod, "{}");
        Checkpoint("record");
      }
      if (!burst_done_ && stage_ == "ai") {
        SendRequest(kRequestAIMethod, R"({"seq_id":7,"ai_type":1,"text":"rogue"})");
        // Requests of one connection are handled in order: once this answer
        // is back, the host has the screen-AI request in hand.
        Call(kBILogMethod, R"({"key":"rogue_ai_sent"})");
        Checkpoint("ai");
      }
      burst_done_ = true;
      // No capture: event 2, as the reference tool reports a failed one.
      Call(kNotifyMethod,
           R"({"image_file_path":"","snipping_event":2,"ai_skill_data":"","pos_x":0,"pos_y":0})");
    }
  }

 private:
  // Bursts when the tool reaches the ordered stage, once per life.
  void Checkpoint(const char* stage) {
    if (burst_done_ || stage_ != stage)
      return;
    burst_done_ = true;
    Burst();
  }

  // Requests of a connection are handled in order: once the sentinel's
  // answer is back, every answer the burst will get is back.
  void Burst() {
    std::string method = kBILogMethod;
    std::string payload = R"({"key":"rogue_burst"})";
    const std::map<std::string, std::pair<const char*, const char*>> kByStage = {
        {"reply",
         {"snipping_tool_agent.snipping.set_config", R"({"config_json":"{\"rogue\":1}"})"}},
        {"record", {"snipping_tool_agent.snipping.show_vip_wnd", "{}"}},
        {"ai", {kRequestAIMethod, R"({"seq_id":8,"ai_type":1,"text":"burst"})"}}};
    if (const auto found = kByStage.find(stage_); found != kByStage.end())
      std::tie(method, payload) = found->second;
    const uint64_t first = next_id_;
    std::string frames;
    for (int i = 0; i < kBurstSize; ++i)
      ipc_core::wire::AppendRequest(&frames, next_id_++, method, payload);
    const uint64_t sentinel = next_id_++;
    ipc_core::wire::AppendRequest(&frames, sentinel, kRecordStartedMethod, "{}");
    Send(frames);
    int replies = 0;
    int errors = 0;
    ReadUntil([&](const Frame& frame) {
      if (frame.type != FrameType::kRequest && frame.id >= first && frame.id < sentinel)
        ++(frame.type == FrameType::kReply ? replies : errors);
      return frame.type != FrameType::kRequest && frame.id == sentinel;
    });
    Report("burst " + method + " replies " + std::to_string(replies) + " errors " +
           std::to_string(errors));
  }

  void Call(const char* method, const std::string& payload) {
    const uint64_t id = SendRequest(method, payload);
    ReadUntil(
        [&](const Frame& frame) { return frame.type != FrameType::kRequest && frame.id == id; });
  }

  // The host's requests meanwhile are answered, but a shot is kept.
  Frame ReadUntil(const std::function<bool(const Frame&)>& wanted) {
    for (;;) {
      const Frame frame = ReadFrame();
      if (wanted(frame))
        return frame;
      if (frame.type == FrameType::kRequest && frame.method == kShotMethod) {
        pending_shot_ = frame;
      } else if (frame.type == FrameType::kRequest) {
        Report("recv " + frame.method + " " + frame.text);
        SendReply(frame.id);
      }
    }
  }

  uint64_t SendRequest(const std::string& method, const std::string& payload) {
    std::string frame;
    const uint64_t id = next_id_++;
    ipc_core::wire::AppendRequest(&frame, id, method, payload);
    Send(frame);
    return id;
  }

  void SendReply(uint64_t id) {
    std::string frame;
    ipc_core::wire::AppendReply(&frame, id, "{}");
    Send(frame);
  }

  void Send(const std::string& bytes) {
    asio::error_code error;
    asio::write(socket_, asio::buffer(bytes), error);
    if (error)
      Lost();
  }

  Frame ReadFrame() {
    Frame frame;
    for (;;) {
      const auto result = decoder_.Next(&frame);
      if (result == ipc_core::wire::FrameDecoder::Result::kFrame)
        return frame;
      if (result == ipc_core::wire::FrameDecoder::Result::kError)
        Lost();
      char buffer[65536];
      asio::error_code error;
      const size_t n = socket_.read_some(asio::buffer(buffer), error);
      if (error || n == 0)
        Lost();
      decoder_.Append(buffer, n);
    }
  }

  [[noreturn]] static void Lost() { std::_Exit(kExitConnectionLost); }

  void Report(const std::string& line) {
    if (FILE* file = report_.empty() ? nullptr : fopen(report_.c_str(), "a")) {
      fprintf(file, "%d %s\n", test_os::CurrentPid(), line.c_str());
      fclose(file);
    }
  }

  asio::ip::tcp::socket socket_;
  const std::string stage_ =
      test_support::ReadFile(test_os::GetEnv("ROGUE_TOOL_BURST_AT").value_or(""));
  const std::string report_ = test_os::GetEnv("ROGUE_TOOL_REPORT").value_or("");
  bool burst_done_ = false;
  uint64_t next_id_ = 1;
  ipc_core::wire::FrameDecoder decoder_;
  Frame pending_shot_;
};

bool Open(unsigned short port, asio::ip::tcp::socket* socket) {
  asio::error_code error;
  socket->connect({asio::ip::address_v4::loopback(), port}, error);
  return !error;
}

bool ClosedByHost(asio::ip::tcp::socket& socket) {
  if (!socket.is_open())
    return true;
  char bytes[256];
  asio::error_code error;
  socket.read_some(asio::buffer(bytes), error);
  return error && error != asio::error::would_block && error != asio::error::try_again;
}

int RunAttack(const std::string& kind, unsigned short port, int count) {
  asio::io_context io;
  if (kind == "flood") {
    for (int i = 0; i < count; ++i) {
      asio::ip::tcp::socket socket(io);
      Open(port, &socket);
    }
    return 0;
  }
  if (kind != "silent" && kind != "bigframes") {
    fprintf(stderr, "rogue_tool: unknown attack %s\n", kind.c_str());
    return kExitBadUsage;
  }
  // Where a hello belongs, a header announcing the largest body allowed.
  std::string header;
  ipc_core::wire::AppendRequest(&header, 1, "x", std::string());
  header.resize(ipc_core::wire::kHeaderSize);
  for (int i = 0; i < 4; ++i)
    header[4 + i] = static_cast<char>((ipc_core::wire::kMaxBodyLength >> (8 * i)) & 0xff);
  const std::string body(64 * 1024, 'x');
  std::vector<asio::ip::tcp::socket> sockets;
  for (int i = 0; i < count; ++i)
    sockets.emplace_back(io);
  for (;;) {
    for (auto& socket : sockets) {
      asio::error_code ignored;
      if (ClosedByHost(socket)) {
        socket.close(ignored);
        if (!Open(port, &socket))
          continue;
        socket.non_blocking(true, ignored);
        if (kind == "bigframes")
          asio::write(socket, asio::buffer(header), ignored);
      }
      // As much of the body as the host takes without blocking.
      if (kind == "bigframes")
        socket.write_some(asio::buffer(body), ignored);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::thread([] {
    std::this_thread::sleep_for(kLifetime);
    std::_Exit(kExitConnectionLost);
  }).detach();
  std::map<std::string, std::string> switches;  // --name=value
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos)
      switches[arg.substr(2, equals - 2)] = arg.substr(equals + 1);
  }
  const bool attack = switches.count("attack") != 0;
  const long port = strtol(switches[attack ? "port" : "channel-port"].c_str(), nullptr, 10);
  if (port <= 0 || port > 65535) {
    fprintf(stderr, "rogue_tool: no port\n");
    return kExitBadUsage;
  }
  while (!switches["start-when"].empty() && !test_os::FileHasContent(switches["start-when"]))
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (attack)
    return RunAttack(switches["attack"], static_cast<unsigned short>(port),
                     atoi(switches["count"].c_str()));
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  if (!Open(static_cast<unsigned short>(port), &socket))
    return kExitCannotConnect;
  asio::error_code error;
  socket.set_option(asio::ip::tcp::no_delay(true), error);
  RogueTool(std::move(socket)).Run(test_os::GetEnv("QUILLO_IPC_PEER_SECRET").value_or(""));
}
