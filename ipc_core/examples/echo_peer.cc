// A small tool end, written against the public headers only: it connects to
// a service host, offers one service and can invoke the host. The tests and
// the benchmark run it as the "tool" in a second process; it also shows a
// tool developer the whole client side in one page.
//
//   ipc_core_echo_peer (--port=N | --identity=ID) [--secret=S] [--service=NAME]
//                      [--call=METHOD [--payload=TEXT] [--count=N] [--close-after-calls]]
//   ipc_core_echo_peer --raw-echo-port=N     (plain TCP echo, the benchmark's baseline)
//
// Methods of the service NAME (default "snipping_tool"):
//   NAME.echo    replies with the payload
//   NAME.error   replies with error 42
//   NAME.silent  never replies
//   NAME.close   replies, then closes the connection
// Prints "connected", "response:<text>", "error:<code>", "timeout",
// "connect_failed:<code>", "disconnected" on stdout, one per line.
// Exit status: 0 after a disconnection, 3 when the connection failed.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "asio.hpp"
#include "ipc_core/service_client.h"

namespace {

std::mutex g_mutex;
std::condition_variable g_cv;
bool g_done = false;
int g_exit_code = 0;
// Invokes whose outcome has not arrived yet, and whether to close after them.
std::atomic<int> g_outstanding{0};
std::atomic<bool> g_close_after_calls{false};
ipc_core::IServiceClient* g_client = nullptr;

void Print(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

void Finish(int code) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_done = true;
  g_exit_code = code;
  g_cv.notify_all();
}

class PrintingContext : public ipc_core::RequestContext {
 public:
  void OnResponse(const char* text) override { Done(std::string("response:") + text); }
  void OnError(int32_t code, const char*) override { Done("error:" + std::to_string(code)); }
  void OnTimeout() override { Done("timeout"); }

 private:
  static void Done(const std::string& line) {
    Print(line);
    if (g_outstanding.fetch_sub(1) == 1 && g_close_after_calls.load())
      g_client->Close();
  }
};

struct Options {
  int port = 0;
  std::string identity;
  std::string secret;
  std::string service = "snipping_tool";
  std::string call;
  std::string payload;
  int count = 1;
  bool close_after_calls = false;
  int raw_echo_port = 0;
};

// Counted for real: the client keeps a reference until its final event has
// been delivered, which may be after main() has seen that event.
class Observer : public ipc_core::IServiceClientObserver {
 public:
  explicit Observer(const Options& options) : options_(options) {}
  void AddRef() override { refs_.fetch_add(1); }
  void Release() override {
    if (refs_.fetch_sub(1) == 1)
      delete this;
  }
  void OnConnected(ipc_core::IServiceClient* client) override {
    Print("connected");
    if (options_.call.empty())
      return;
    g_close_after_calls = options_.close_after_calls;
    g_outstanding = options_.count;
    for (int i = 0; i < options_.count; ++i) {
      ipc_core::ipc_core_refptr<PrintingContext> context(new PrintingContext);
      client->Invoke(options_.call.c_str(), options_.payload.c_str(), context.get());
    }
  }
  void OnConnectFailed(ipc_core::IServiceClient*, int32_t error_code) override {
    Print("connect_failed:" + std::to_string(error_code));
    Finish(3);
  }
  void OnDisconnected(ipc_core::IServiceClient*) override {
    Print("disconnected");
    Finish(0);
  }

 private:
  const Options options_;
  std::atomic<int> refs_{0};
};

// The baseline of the benchmark: a length-prefixed echo over a blocking
// socket, with nothing in between.
int RawEcho(int port) {
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  std::error_code ec;
  socket.connect({asio::ip::address_v4::loopback(), static_cast<uint16_t>(port)}, ec);
  if (ec)
    return 3;
  socket.set_option(asio::ip::tcp::no_delay(true));
  std::string buffer;
  for (;;) {
    uint32_t length;
    asio::read(socket, asio::buffer(&length, sizeof(length)), ec);
    if (ec)
      return 0;
    buffer.resize(length);
    asio::read(socket, asio::buffer(buffer), ec);
    if (ec)
      return 0;
    asio::write(socket, std::array<asio::const_buffer, 2>{asio::buffer(&length, sizeof(length)),
                                                         asio::buffer(buffer)},
                ec);
    if (ec)
      return 0;
  }
}

bool Flag(const char* arg, const char* name, std::string* value) {
  size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0 || arg[n] != '=')
    return false;
  *value = arg + n + 1;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string v;
    if (Flag(argv[i], "--port", &v)) options.port = std::atoi(v.c_str());
    else if (Flag(argv[i], "--identity", &v)) options.identity = v;
    else if (Flag(argv[i], "--secret", &v)) options.secret = v;
    else if (Flag(argv[i], "--service", &v)) options.service = v;
    else if (Flag(argv[i], "--call", &v)) options.call = v;
    else if (Flag(argv[i], "--payload", &v)) options.payload = v;
    else if (Flag(argv[i], "--count", &v)) options.count = std::atoi(v.c_str());
    else if (Flag(argv[i], "--raw-echo-port", &v)) options.raw_echo_port = std::atoi(v.c_str());
    else if (std::strcmp(argv[i], "--close-after-calls") == 0) options.close_after_calls = true;
    else {
      std::fprintf(stderr, "unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  if (options.raw_echo_port)
    return RawEcho(options.raw_echo_port);

  ipc_core::InitIPCCoreRuntime(nullptr);
  ipc_core::ipc_core_refptr<Observer> observer(new Observer(options));
  ipc_core::IServiceClient* raw = nullptr;
  if (ipc_core::CreateServiceClient("echo_peer", observer.get(), &raw) != ipc_core::kOk)
    return 2;
  auto client = ipc_core::ipc_core_refptr<ipc_core::IServiceClient>::Adopt(raw);
  g_client = raw;

  ipc_core::ipc_core_refptr<ipc_core::SimpleService> service(
      new ipc_core::SimpleService(options.service));
  ipc_core::IServiceClient* self = client.get();
  service->RegisterRequestHandler(options.service + ".echo",
                                  [](const std::string& payload, auto feature) {
                                    feature->Reply(payload.c_str());
                                  });
  service->RegisterRequestHandler(options.service + ".error", [](const std::string&, auto feature) {
    feature->ReplyError(42, "asked for an error");
  });
  service->RegisterRequestHandler(options.service + ".silent", [](const std::string&, auto) {});
  service->RegisterRequestHandler(options.service + ".close",
                                  [self](const std::string&, auto feature) {
                                    feature->Reply("");
                                    self->Close();
                                  });
  client->RegisterService(service.get());

  const char* secret = options.secret.c_str();
  bool started = options.identity.empty()
                     ? client->ConnectToPort(options.port, secret)
                     : client->ConnectByIdentity(options.identity.c_str(), secret);
  if (!started) {
    Print("connect_failed:0");
    return 3;
  }
  std::unique_lock<std::mutex> lock(g_mutex);
  g_cv.wait(lock, [] { return g_done; });
  return g_exit_code;
}
