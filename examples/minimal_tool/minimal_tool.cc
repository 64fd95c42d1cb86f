// A minimal snipping tool on the SDK (SnippingToolAgent::tool): it connects
// to the agent, handshakes, answers each shot request at once, writes a
// generated picture as an uncompressed PNG at the requested path and sends
// the result. docs/tool-guide.md is the contract it follows.
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "ipc_core/service_client.h"

namespace {

std::mutex g_lock;
std::condition_variable g_done;
int g_exit_code = -1;

void Finish(int code) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_exit_code < 0)
    g_exit_code = code;
  g_done.notify_all();
}


uint32_t Crc32(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutU32(std::string* out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out->push_back(static_cast<char>((v >> shift) & 0xFF));
}

void Chunk(std::string* png, const char* type, const std::string& data) {
  PutU32(png, static_cast<uint32_t>(data.size()));
  const std::string body = type + data;
  *png += body;
  PutU32(png, Crc32(body));
}

// A width x height RGB gradient as a PNG file's bytes.
std::string MakePng(uint32_t width, uint32_t height) {
  std::string raw;  // each row: filter byte 0, then RGB
  for (uint32_t y = 0; y < height; ++y) {
    raw.push_back(0);
    for (uint32_t x = 0; x < width; ++x) {
      raw.push_back(static_cast<char>(x * 255 / width));
      raw.push_back(static_cast<char>(y * 255 / height));
      raw.push_back(static_cast<char>(160));
    }
  }
  std::string zlib = "\x78\x01";
  for (size_t at = 0; at < raw.size() || at == 0; at += 65535) {
    const size_t n = std::min<size_t>(65535, raw.size() - at);
    zlib.push_back(at + n >= raw.size() ? 1 : 0);  // final block?
    zlib.push_back(static_cast<char>(n & 0xFF));
    zlib.push_back(static_cast<char>(n >> 8));
    zlib.push_back(static_cast<char>(~n & 0xFF));
    zlib.push_back(static_cast<char>((~n >> 8) & 0xFF));
    zlib.append(raw, at, n);
  }
  uint32_t a = 1, b = 0;  // Adler-32 of the raw data
  for (unsigned char byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  PutU32(&zlib, (b << 16) | a);

  std::string header;
  PutU32(&header, width);
  PutU32(&header, height);
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB, no interlace
  std::string png = "\x89PNG\r\n\x1a\n";
  Chunk(&png, "IHDR", header);
  Chunk(&png, "IDAT", zlib);
  Chunk(&png, "IEND", "");
  return png;
}


// The string member |key| of a flat JSON object, unescaped (\" \\ \/ only).
std::string StringMember(const std::string& json, const std::string& key) {
  const std::string pattern = "\"" + key + "\":\"";
  size_t at = json.find(pattern);
  std::string value;
  if (at == std::string::npos)
    return value;
  for (at += pattern.size(); at < json.size() && json[at] != '"'; ++at) {
    if (json[at] == '\\' && at + 1 < json.size())
      ++at;
    value.push_back(json[at]);
  }
  return value;
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\')
      out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}


// Invokes an agent method; the outcome is not needed here.
void Send(ipc_core::IServiceClient* client, const std::string& method, const std::string& payload) {
  ipc_core::ipc_core_refptr<ipc_core::RequestHandlerWithString> context(
      new ipc_core::RequestHandlerWithString([](std::string) {},
                                             [](const ipc_core::ErrorResult&) {}));
  client->Invoke(("snipping_tool_agent.snipping." + method).c_str(), payload.c_str(),
                 context.get());
}

class Tool : public ipc_core::IServiceClientObserver {
 public:
  void AddRef() override {}  // lives until the process ends
  void Release() override {}
  void OnConnected(ipc_core::IServiceClient* client) override { Send(client, "handshake", "{}"); }
  void OnConnectFailed(ipc_core::IServiceClient*, int32_t code) override {
    std::fprintf(stderr, "minimal_tool: cannot connect (%d)\n", code);
    Finish(4);
  }
  void OnDisconnected(ipc_core::IServiceClient*) override { Finish(0); }
};

using Feature = ipc_core::ipc_core_refptr<ipc_core::IRequestFeature>;

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--channel-port=", 15) == 0)
      port = std::atoi(argv[i] + 15);
  const bool vizudedezo = std::strstr(argv[0], "VizudeDezo") != nullptr;

  ipc_core::InitIPCCoreRuntime(nullptr);
  static Tool tool;
  ipc_core::IServiceClient* client = nullptr;
  if (ipc_core::CreateServiceClient("minimal_tool", &tool, &client) != ipc_core::kOk)
    return 4;
  auto* service = new ipc_core::SimpleService("snipping_tool");
  service->AddRef();
  service->RegisterRequestHandler(
      "snipping_tool.snipping.shot", [client](const std::string& payload, Feature feature) {
        feature->Reply("{}");  // at once, before any work
        const std::string path = StringMember(payload, "image_save_path");
        const std::string png = MakePng(64, 48);
        FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "wb");
        bool written = file && std::fwrite(png.data(), 1, png.size(), file) == png.size();
        if (file)
          written = std::fclose(file) == 0 && written;
        Send(client, "notify",
                   "{\"image_file_path\":" + Quoted(written ? path : "") +
                       ",\"snipping_event\":" + (written ? "1" : "3") +
                       ",\"ai_skill_data\":\"\",\"pos_x\":0,\"pos_y\":0}");
      });
  service->RegisterRequestHandler("snipping_tool.snipping.response_ai",
                                  [](const std::string&, Feature feature) { feature->Reply("{}"); });
  service->RegisterRequestHandler(
      "snipping_tool.snipping.on_select_user_wnd_hide",
      [client](const std::string& payload, Feature feature) {
        feature->Reply("{}");
        if (payload.find("\"exit_screen_tool\":true") != std::string::npos)
          client->Close();  // OnDisconnected ends the process
      });
  client->RegisterService(service);

  const bool started =
      port != 0 ? client->ConnectToPort(port, "")
                : client->ConnectByIdentity(vizudedezo ? "{5B1C7E24-0D3A-4F68-9C27-3E8B1A6D4F90}"
                                                       : "{71D0A9C3-4E2B-4B85-8F16-C2A7D93E0B54}",
                                            "");
  if (!started)
    return 4;
  std::unique_lock<std::mutex> hold(g_lock);
  g_done.wait(hold, [] { return g_exit_code >= 0; });
  std::fflush(stderr);
  // The runtime's threads are never joined: leave without static destructors.
  std::_Exit(g_exit_code);
}
