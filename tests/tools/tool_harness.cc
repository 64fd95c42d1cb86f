#include "tests/tools/tool_harness.h"

#include <filesystem>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "platform/base64.h"
#include "platform/command_line.h"
#include "platform/file_path.h"
#include "platform/launch.h"
#include "tests/support/test_os.h"
#include "tests/tools/tool_test_os.h"

namespace reference_tool_test {

AgentEnd::AgentEnd(const std::string& identity) {
  ipc_core::InitIPCCoreRuntime(nullptr);
  service_ = new ipc_core::SimpleService("snipping_tool_agent");
  service_->AddRef();
  const char* methods[] = {
      "snipping_tool_agent.snipping.handshake",    "snipping_tool_agent.snipping.notify",
      "snipping_tool_agent.snipping.bilog",        "snipping_tool_agent.snipping.set_config",
      "snipping_tool_agent.snipping.show_vip_wnd", "snipping_tool_agent.snipping.show_select_user_wnd",
      "snipping_tool_agent.snipping.notify_record_started",
      "snipping_tool_agent.snipping.notify_record_finished",
      "snipping_tool_agent.snipping.request_ai",
  };
  for (const char* method : methods) {
    const std::string name = method;
    service_->RegisterRequestHandler(
        name, [this, name](const std::string& payload,
                           ipc_core::ipc_core_refptr<ipc_core::IRequestFeature> feature) {
          {
            std::lock_guard<std::mutex> lock(lock_);
            requests_.push_back({name, payload});
          }
          changed_.notify_all();
          // The agent never answers screen-AI requests directly.
          if (name != "snipping_tool_agent.snipping.request_ai")
            feature->Reply("");
        });
  }
  ipc_core::CreateServiceHost("quillo_service_host", "quillo", identity.c_str(), 33333, 56704,
                              this, &host_);
  host_->RegisterService(service_);
  secret_ = ipc_core::GeneratePeerSecret();
  host_->AddPeerSecret(secret_.c_str());
}

AgentEnd::~AgentEnd() {
  Stop();
  ipc_core::DestroyServiceHost(host_);
  host_->Release();
  service_->Release();
}

bool AgentEnd::Start() {
  host_->Start();
  return WaitUntil([this] { return port_ != 0 || start_failed_; }) && port_ != 0;
}

void AgentEnd::Stop() {
  host_->Stop();
  WaitUntil([this] { return stopped_; });
}

bool AgentEnd::WaitUntil(const std::function<bool()>& condition) {
  std::unique_lock<std::mutex> lock(lock_);
  return changed_.wait_for(lock, test_os::kWaitBound, condition);
}

bool AgentEnd::WaitForRequests(const std::string& method, size_t count) {
  return WaitUntil([&] {
    size_t seen = 0;
    for (const ToolRequest& request : requests_)
      seen += request.method == method ? 1 : 0;
    return seen >= count;
  });
}

bool AgentEnd::WaitForConnections(int count) {
  return WaitUntil([&] { return connections_ >= count; });
}

bool AgentEnd::WaitForDisconnections(int count) {
  return WaitUntil([&] { return disconnections_ >= count; });
}

std::vector<ToolRequest> AgentEnd::requests() {
  std::lock_guard<std::mutex> lock(lock_);
  return requests_;
}

int AgentEnd::connections() {
  std::lock_guard<std::mutex> lock(lock_);
  return connections_;
}

std::string AgentEnd::InvokeAndWait(const std::string& method, const std::string& payload,
                                    int timeout_ms) {
  struct Outcome {
    std::mutex lock;
    std::condition_variable done;
    std::string text;
  };
  auto outcome = std::make_shared<Outcome>();
  auto finish = [outcome](std::string text) {
    std::lock_guard<std::mutex> lock(outcome->lock);
    outcome->text = std::move(text);
    outcome->done.notify_all();
  };
  auto* context = new ipc_core::RequestHandlerWithString(
      [finish](std::string reply) { finish("reply " + reply); },
      [finish](const ipc_core::ErrorResult& error) {
        finish(error.is_timeout() ? "timeout"
                                  : "error " + std::to_string(error.code) + " " + error.reason);
      });
  context->set_timeout(timeout_ms);
  context->AddRef();
  host_->Invoke(method.c_str(), payload.c_str(), context);
  context->Release();
  std::unique_lock<std::mutex> lock(outcome->lock);
  outcome->done.wait_for(lock, std::chrono::milliseconds(timeout_ms) + test_os::kWaitBound,
                         [&] { return !outcome->text.empty(); });
  return outcome->text.empty() ? "no outcome" : outcome->text;
}

void AgentEnd::OnServiceHostStartSuccess(ipc_core::IServiceHost*, int32_t port) {
  std::lock_guard<std::mutex> lock(lock_);
  port_ = port;
  changed_.notify_all();
}

void AgentEnd::OnServiceHostStartFailure(ipc_core::IServiceHost*, int32_t) {
  std::lock_guard<std::mutex> lock(lock_);
  start_failed_ = true;
  changed_.notify_all();
}

void AgentEnd::OnServiceHostStoped(ipc_core::IServiceHost*) {
  std::lock_guard<std::mutex> lock(lock_);
  stopped_ = true;
  changed_.notify_all();
}

void AgentEnd::OnServiceInvokerConnected(ipc_core::IServiceHost*, int32_t) {
  std::lock_guard<std::mutex> lock(lock_);
  ++connections_;
  changed_.notify_all();
}

void AgentEnd::OnServiceInvokerDisconnected(ipc_core::IServiceHost*, int32_t) {
  std::lock_guard<std::mutex> lock(lock_);
  ++disconnections_;
  changed_.notify_all();
}

std::string ToolPath(bool vizudedezo) {
  return test_os::JoinPath(test_os::ExecutableDir(),
                           vizudedezo ? "VizudeDezo.exe" : "QuilloSnippingTool.exe");
}

std::string DemoHostPath() {
  return test_os::JoinPath(test_os::ExecutableDir(),
                           "snipping_demo_host" + test_os::ExecutableSuffix());
}

std::string ExtrasSwitchValue(const std::map<std::string, std::string>& extras) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  for (const auto& [key, value] : extras) {
    writer.Key(key.c_str(), static_cast<rapidjson::SizeType>(key.size()));
    writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
  }
  writer.EndObject();
  std::string encoded;
  kvbase::Base64EncodeWrapper(std::string_view(buffer.GetString(), buffer.GetSize()), &encoded);
  return encoded;
}

std::vector<std::pair<std::string, std::string>> VizudeDezoSwitches(const std::string& script) {
  return {{"user_id", "7"},
          {"version", "1.0"},
          {"local_language", "en"},
          {"app_data_path", std::filesystem::temp_directory_path().u8string()},
          {"app_theme", "light"},
          {"enable_screen_tool_gray_win", "false"},
          {"enable_screen_tool_scroll_screenshot_win", "false"},
          {"enable_screen_tool_recording_0909", "false"},
          {"enable_screen_tool_1028", "false"},
          {"enable_screen_tool_commercialize", "false"},
          {"enable_ai_recognize", "true"},
          {"extension", ExtrasSwitchValue({{"reference_tool_script", script}})}};
}

base::Process LaunchTool(const std::string& program,
                         const std::vector<std::pair<std::string, std::string>>& switches,
                         const std::map<std::string, std::string>& environment) {
  base::CommandLine command_line(base::FilePath::FromUTF8Unsafe(program));
  for (const auto& [name, value] : switches)
    command_line.AppendSwitchASCII(name, value);
  base::LaunchOptions options;
  options.environment = environment;
  return base::LaunchProcess(command_line, options);
}

base::Process LaunchClassic(const AgentEnd& agent, const std::string& script,
                            std::map<std::string, std::string> environment) {
  std::map<std::string, std::string> extras = {{"timeout_config", "{}"}};
  if (!script.empty())
    extras["reference_tool_script"] = script;
  environment.emplace("QUILLO_IPC_PEER_SECRET", agent.secret());
  return LaunchTool(ToolPath(false),
                    {{"channel-port", std::to_string(agent.port())},
                     {"env", ""},
                     {"user-id", "10001"},
                     {"version", "1.0"},
                     {"dui-config", "eyJsYW5nIjoiZW4ifQ=="},
                     {"log-file", "/tmp/x/logs/a.log"},
                     {"snipping-config", ""},
                     {"snipping-features", "e30="},
                     {"snipping-extras", ExtrasSwitchValue(extras)}},
                    environment);
}

std::string NoFileResult(int event) {
  return R"({"image_file_path":"","snipping_event":)" + std::to_string(event) +
         R"(,"ai_skill_data":"","pos_x":0,"pos_y":0})";
}

std::vector<std::string> PayloadsOf(AgentEnd& agent, const std::string& method) {
  std::vector<std::string> payloads;
  for (const ToolRequest& request : agent.requests()) {
    if (request.method == method)
      payloads.push_back(request.payload);
  }
  return payloads;
}

int WaitForExit(const base::Process& process) {
  int exit_code = -1;
  if (!process.WaitForExitWithTimeout(test_os::kWaitBound, &exit_code))
    return -1;
  return exit_code;
}

bool PathExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::u8path(path), error);
}

int UnsavableShotEvent() {
  return NoScreenReason().empty() ? 3 : 2;
}

std::string UnsavableFile(const TempDir& dir, const std::string& name) {
  return test_os::JoinPath(dir.File("no_such_directory"), name);
}

}  // namespace reference_tool_test
