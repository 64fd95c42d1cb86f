#include "tools/reference_tool/tool_runtime.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "ipc_core/service_client.h"
#include "tools/reference_tool/os.h"
#include "tools/reference_tool/png_writer.h"
#include "tools/reference_tool/screen_capture.h"
#include "tools/reference_tool/trace.h"

namespace reference_tool {
namespace {

constexpr char kServiceName[] = "snipping_tool";
constexpr char kShotMethod[] = "snipping_tool.snipping.shot";
constexpr char kResponseAiMethod[] = "snipping_tool.snipping.response_ai";
constexpr char kWndHideMethod[] = "snipping_tool.snipping.on_select_user_wnd_hide";
constexpr char kHandshakeMethod[] = "snipping_tool_agent.snipping.handshake";
constexpr char kNotifyMethod[] = "snipping_tool_agent.snipping.notify";
// A tool stuck on purpose (no connection, no handshake) with no lifetime in
// its script still ends after this long, in case nobody kills it.
constexpr int kStuckLifetimeMs = 60000;

void Say(const std::string& line) {
  std::fprintf(stderr, "[reference_tool] %s\n", line.c_str());
  std::fflush(stderr);
}

void LogFromRuntime(int severity, const char* file, int line, int64_t, const char* message) {
  // The runtime's info records are its own chatter; a tool shows only
  // what went wrong.
  if (severity < 1)
    return;
  std::fprintf(stderr, "[reference_tool] ipc %s(%d): %s\n", file ? file : "?", line,
               message ? message : "");
  std::fflush(stderr);
}

std::string ResultPayload(const std::string& path, int event, int x, int y) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("image_file_path");
  writer.String(path.c_str(), static_cast<rapidjson::SizeType>(path.size()));
  writer.Key("snipping_event");
  writer.Int(event);
  writer.Key("ai_skill_data");
  writer.String("");
  writer.Key("pos_x");
  writer.Int(x);
  writer.Key("pos_y");
  writer.Int(y);
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

// What the steps of a stage asked of the flow that follows them.
struct StageOutcome {
  bool skip_connect = false;
  bool skip_handshake = false;
  bool no_reply = false;
  std::optional<std::pair<int, std::string>> reply_error;
  bool skip_result = false;
};

class Tool : public ipc_core::IServiceClientObserver {
 public:
  Tool(const ToolOptions& options, const Script& script) : options_(options), script_(script) {}

  [[noreturn]] void Run();

  // IServiceClientObserver. The tool lives until the process ends, so the
  // count has nothing to destroy.
  void AddRef() override {}
  void Release() override {}
  void OnConnected(ipc_core::IServiceClient*) override {
    Post([this] { OnConnectedOnLoop(); });
  }
  void OnConnectFailed(ipc_core::IServiceClient*, int32_t error_code) override {
    Post([this, error_code] {
      trace_.Write("connect_failed", "", std::to_string(error_code));
      Say("cannot connect to the agent: error " + std::to_string(error_code));
      Exit(kExitConnectFailed, false);
    });
  }
  void OnDisconnected(ipc_core::IServiceClient*) override {
    trace_.Write("disconnected", "", "");
    Post([this] {
      Say("the connection to the agent is lost");
      Exit(kExitConnectionLost, false);
    });
  }

 private:
  using Feature = ipc_core::ipc_core_refptr<ipc_core::IRequestFeature>;

  void Post(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> lock(lock_);
      tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
  }

  [[noreturn]] void Loop();
  [[noreturn]] void Exit(int code, bool close);
  void ArmStuckLifetime();

  void RegisterHandlers();
  void Connect();
  void OnConnectedOnLoop();
  void OnHandshakeAnswered();
  void OnShot(const std::string& payload, const Feature& feature);
  void OnResponseAi(const Feature& feature);
  void OnWndHide(const std::string& payload, const Feature& feature);
  // Runs the stage's steps, then answers the request waiting there: with
  // {} (true), or as the steps said, with an error or not at all (false).
  bool AnswerRequest(Stage stage, const Feature& feature, const char* method);
  void SendResult(int event, const std::string& path, int x, int y);

  StageOutcome RunStage(Stage stage);
  void Invoke(const std::string& method, const std::string& payload,
              std::function<void()> on_success = nullptr,
              std::function<void(int32_t code)> on_failure = nullptr);

  const ToolOptions& options_;
  const Script& script_;
  Trace trace_;
  ipc_core::IServiceClient* client_ = nullptr;
  ipc_core::SimpleService* service_ = nullptr;

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;

  // Loop thread only.
  int shot_count_ = 0;
  std::string last_result_;
};

void Tool::Run() {
  if (!script_.trace_file.empty() && !trace_.Open(script_.trace_file)) {
    Say("cannot open the trace file " + script_.trace_file);
    std::_Exit(kExitBadCommandLine);
  }
  if (script_.lifetime_ms > 0)
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(script_.lifetime_ms);
  trace_.Write("start", FlavourName(options_.flavour), std::to_string(CurrentProcessId()));
  for (const auto& [name, value] : options_.switches)
    trace_.Write("switch", name, value);
  for (const auto& [name, text] : options_.documents)
    trace_.Write("document", name, text);

  ipc_core::InitIPCCoreRuntime(&LogFromRuntime);
  ipc_core::IServiceClient* client = nullptr;
  const int32_t created = ipc_core::CreateServiceClient(FlavourName(options_.flavour), this, &client);
  if (created != ipc_core::kOk || !client) {
    trace_.Write("connect_failed", "create", std::to_string(created));
    Say("cannot create the IPC client: error " + std::to_string(created));
    Exit(kExitConnectFailed, false);
  }
  client_ = client;
  RegisterHandlers();

  if (RunStage(Stage::kBeforeConnect).skip_connect) {
    trace_.Write("skip", "connect", "");
    ArmStuckLifetime();
  } else {
    Connect();
  }
  Loop();
}

void Tool::Loop() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(lock_);
      while (tasks_.empty()) {
        if (!deadline_) {
          wake_.wait(lock);
        } else if (wake_.wait_until(lock, *deadline_) == std::cv_status::timeout &&
                   tasks_.empty()) {
          lock.unlock();
          trace_.Write("lifetime", "", "");
          Say("lifetime reached");
          Exit(kExitLifetimeReached, true);
        }
      }
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

void Tool::Exit(int code, bool close) {
  trace_.Write("exit", "", std::to_string(code));
  if (close && client_)
    client_->Close();
  std::fflush(stderr);
  std::fflush(stdout);
  // The runtime's threads keep running and there is no call that ends them;
  // leaving without static destructors keeps them from using torn-down
  // objects on the way out. The OS closes the connection.
  std::_Exit(code);
}

void Tool::ArmStuckLifetime() {
  std::lock_guard<std::mutex> lock(lock_);
  if (!deadline_)
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStuckLifetimeMs);
}

void Tool::RegisterHandlers() {
  service_ = new ipc_core::SimpleService(kServiceName);
  service_->AddRef();  // held until the process ends
  // Arrivals are traced on the runtime's thread, in the order they come;
  // the work goes to the loop so that a script's delays never hold up the
  // runtime.
  service_->RegisterRequestHandler(kShotMethod, [this](const std::string& payload, Feature feature) {
    trace_.Write("recv", kShotMethod, payload);
    Post([this, payload, feature] { OnShot(payload, feature); });
  });
  service_->RegisterRequestHandler(kResponseAiMethod,
                                   [this](const std::string& payload, Feature feature) {
                                     trace_.Write("recv", kResponseAiMethod, payload);
                                     Post([this, feature] { OnResponseAi(feature); });
                                   });
  service_->RegisterRequestHandler(kWndHideMethod,
                                   [this](const std::string& payload, Feature feature) {
                                     trace_.Write("recv", kWndHideMethod, payload);
                                     Post([this, payload, feature] { OnWndHide(payload, feature); });
                                   });
  client_->RegisterService(service_);
}

void Tool::Connect() {
  bool started = false;
  if (options_.port != 0) {
    trace_.Write("connect", "port", std::to_string(options_.port));
    // An empty secret makes the runtime take the agent's one-time secret
    // from the environment.
    started = client_->ConnectToPort(options_.port, "");
  } else {
    trace_.Write("connect", "identity", IdentityFor(options_.flavour));
    started = client_->ConnectByIdentity(IdentityFor(options_.flavour), "");
  }
  if (!started) {
    trace_.Write("connect_failed", "start", "");
    Say("cannot start connecting to the agent");
    Exit(kExitConnectFailed, false);
  }
}

void Tool::OnConnectedOnLoop() {
  trace_.Write("connected", "", "");
  if (RunStage(Stage::kAfterConnect).skip_handshake) {
    trace_.Write("skip", "handshake", "");
    ArmStuckLifetime();
    return;
  }
  Invoke(kHandshakeMethod, "{}", [this] { Post([this] { OnHandshakeAnswered(); }); },
         [this](int32_t code) {
           // A handshake cut off by the end of the connection is the
           // connection's loss, whichever of the two events comes first.
           const bool lost = code == ipc_core::kErrorConnectionLost;
           Post([this, lost] {
             Say(lost ? "the connection to the agent is lost" : "the handshake failed");
             Exit(lost ? kExitConnectionLost : kExitHandshakeFailed, true);
           });
         });
}

void Tool::OnHandshakeAnswered() {
  Say("handshake done");
  RunStage(Stage::kAfterHandshake);
}

bool Tool::AnswerRequest(Stage stage, const Feature& feature, const char* method) {
  const StageOutcome outcome = RunStage(stage);
  if (outcome.no_reply) {
    trace_.Write("no_reply", method, "");
    return false;
  }
  if (outcome.reply_error) {
    trace_.Write("reply_error", method,
                 std::to_string(outcome.reply_error->first) + " " + outcome.reply_error->second);
    feature->ReplyError(outcome.reply_error->first, outcome.reply_error->second.c_str());
    return false;
  }
  feature->Reply("{}");
  trace_.Write("reply", method, "{}");
  return true;
}

void Tool::OnShot(const std::string& payload, const Feature& feature) {
  ++shot_count_;
  if (!AnswerRequest(Stage::kOnShot, feature, kShotMethod))
    return;
  if (RunStage(Stage::kAfterShotReply).skip_result) {
    trace_.Write("skip", "result", "");
    return;
  }

  std::string path;
  rapidjson::Document request;
  request.Parse(payload.c_str(), payload.size());
  if (!request.HasParseError() && request.IsObject()) {
    const auto member = request.FindMember("image_save_path");
    if (member != request.MemberEnd() && member->value.IsString())
      path.assign(member->value.GetString(), member->value.GetStringLength());
  }
  if (path.empty()) {
    Say("the shot request has no image_save_path");
    SendResult(kEventBadRequest, "", 0, 0);
    return;
  }
  RgbImage image;
  std::string error;
  if (!CaptureScreen(&image, &error)) {
    trace_.Write("capture_failed", "", error);
    Say("capture failed: " + error);
    SendResult(kEventCaptureFailed, "", 0, 0);
    return;
  }
  if (!WritePng(path, image, &error)) {
    trace_.Write("write_failed", path, error);
    Say("cannot save the capture: " + error);
    SendResult(kEventWriteFailed, "", 0, 0);
    return;
  }
  trace_.Write("captured", path, std::to_string(image.width) + "x" + std::to_string(image.height));
  Say("captured " + std::to_string(image.width) + "x" + std::to_string(image.height) + " into " +
      path);
  SendResult(kEventCaptured, path, image.origin_x, image.origin_y);
}

void Tool::SendResult(int event, const std::string& path, int x, int y) {
  last_result_ = ResultPayload(path, event, x, y);
  Invoke(kNotifyMethod, last_result_);
  RunStage(Stage::kAfterResult);
}

void Tool::OnResponseAi(const Feature& feature) {
  AnswerRequest(Stage::kOnResponseAi, feature, kResponseAiMethod);
}

void Tool::OnWndHide(const std::string& payload, const Feature& feature) {
  AnswerRequest(Stage::kOnWndHide, feature, kWndHideMethod);
  rapidjson::Document document;
  document.Parse(payload.c_str(), payload.size());
  if (document.HasParseError() || !document.IsObject())
    return;
  const auto member = document.FindMember("exit_screen_tool");
  if (member != document.MemberEnd() && member->value.IsBool() && member->value.GetBool()) {
    Say("told to exit");
    Exit(kExitNormal, true);
  }
}

StageOutcome Tool::RunStage(Stage stage) {
  StageOutcome outcome;
  for (const Step& step : script_.steps) {
    if (step.stage != stage || (step.shot != 0 && step.shot != shot_count_))
      continue;
    trace_.Write("step", StageName(stage), step.name);
    switch (step.action) {
      case Action::kDelay:
        std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
        break;
      case Action::kExit:
        Say("scripted exit " + std::to_string(step.code) + " at " + StageName(stage));
        Exit(step.code, false);
      case Action::kCrash:
        trace_.Write("crash", StageName(stage), "");
        Say(std::string("scripted crash at ") + StageName(stage));
        std::abort();
      case Action::kSpawnGrandchild:
      case Action::kSpawnSetsidGrandchild:
      case Action::kSpawnDaemon: {
        const SleeperKind kind = step.action == Action::kSpawnGrandchild ? SleeperKind::kChild
                                 : step.action == Action::kSpawnDaemon   ? SleeperKind::kDaemon
                                                                         : SleeperKind::kNewSession;
        const char* const trace_kind = step.action == Action::kSpawnGrandchild ? "grandchild"
                                       : step.action == Action::kSpawnDaemon   ? "daemon"
                                                                 : "setsid_grandchild";
        std::string error;
        const int64_t pid = SpawnSleeper(step.ms, kind, &error);
        trace_.Write(trace_kind, std::to_string(pid), error);
        break;
      }
      case Action::kInvoke:
        Invoke(step.method, step.payload);
        break;
      case Action::kSendResult:
        Invoke(kNotifyMethod, step.has_payload ? step.payload
                              : !last_result_.empty() ? last_result_
                                                      : ResultPayload("", kEventScripted, 0, 0));
        break;
      case Action::kSkipConnect:
        outcome.skip_connect = true;
        break;
      case Action::kSkipHandshake:
        outcome.skip_handshake = true;
        break;
      case Action::kNoReply:
        outcome.no_reply = true;
        break;
      case Action::kReplyError:
        outcome.reply_error = std::make_pair(step.code, step.reason);
        break;
      case Action::kSkipResult:
        outcome.skip_result = true;
        break;
    }
  }
  return outcome;
}

void Tool::Invoke(const std::string& method, const std::string& payload,
                  std::function<void()> on_success, std::function<void(int32_t code)> on_failure) {
  auto* context = new ipc_core::RequestHandlerWithString(
      [this, method, on_success](std::string reply) {
        trace_.Write("answer", method, "reply " + reply);
        if (on_success)
          on_success();
      },
      [this, method, on_failure](const ipc_core::ErrorResult& error) {
        trace_.Write("answer", method,
                     "error " + std::to_string(error.code) + " " + error.reason);
        if (on_failure)
          on_failure(error.code);
      });
  context->AddRef();
  trace_.Write("send", method, payload);
  if (!client_->Invoke(method.c_str(), payload.c_str(), context)) {
    trace_.Write("answer", method, "refused");
    if (on_failure)
      on_failure(ipc_core::kErrorInvalidArgument);
  }
  context->Release();
}

}  // namespace

void RunTool(const ToolOptions& options, const Script& script) {
  // Never destroyed: runtime threads call into it until the process ends.
  Tool* tool = new Tool(options, script);
  tool->Run();
}

}  // namespace reference_tool
