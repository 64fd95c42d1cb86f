// snipping_tool_conformance: plays the agent against a snipping tool and
// checks it against the tool contract (docs/tool-guide.md), clause by clause.
//
//   snipping_tool_conformance <tool-executable> [--as QuilloSnippingTool|VizudeDezo]
//                             [--pass-channel-port] [--extras-entry KEY=VALUE]...
//
// The tool is launched as the agent launches it: the switches built by the
// agent's own switch code, a one-time secret in its environment, a
// kill-on-close job. Every frame goes through a recording proxy.
// Exit status: 0 when no clause failed, 1 when one did, 2 for bad options.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "ipc/ipc_server/launch_switches.h"
#include "ipc_core/service_host.h"
#include "payloads/json_payloads.h"
#include "platform/command_line.h"
#include "platform/file_path.h"
#include "platform/job.h"
#include "platform/launch.h"
#include "platform/process.h"
#include "rendezvous.h"
#include "tools/conformance/frame_recorder.h"

namespace conformance {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The agent's budgets with no feature switch and no time-out document.
constexpr int kHandshakeBudgetMs = 3000;
constexpr int kShotInvokeBudgetMs = 3000;
constexpr int kOtherInvokeBudgetMs = 5000;
constexpr int kResultWaitMs = 20000;
constexpr int kExitWaitMs = 3000;

struct Flavour {
  const char* name;
  const char* identity;
  int32_t app_id;
  int32_t protocol_tag;
  bool use_screen_tool;
};
constexpr Flavour kClassic = {"QuilloSnippingTool", "{71D0A9C3-4E2B-4B85-8F16-C2A7D93E0B54}",
                              33333, 56704, false};
constexpr Flavour kVizudeDezo = {"VizudeDezo", "{5B1C7E24-0D3A-4F68-9C27-3E8B1A6D4F90}", 66666,
                                 56805, true};

// ---- What the tool does, as events ------------------------------------

struct Event {
  enum Kind { kConnected, kDisconnected, kRequest } kind;
  int connection = 0;
  std::string method;
  std::string payload;
  Clock::time_point at;
};

// Matches the tool's request of |method|.
auto RequestOf(const char* method) {
  return [method](const Event& e) { return e.kind == Event::kRequest && e.method == method; };
}

class Agent : public ipc_core::IServiceHostObserver {
 public:
  // Counted by nobody: lives until the process ends.
  void AddRef() override {}
  void Release() override {}
  void OnServiceHostInit(ipc_core::IServiceHost*) override {}
  void OnServiceHostStartSuccess(ipc_core::IServiceHost*, int32_t port) override {
    std::lock_guard<std::mutex> hold(lock_);
    port_ = port;
    changed_.notify_all();
  }
  void OnServiceHostStartFailure(ipc_core::IServiceHost*, int32_t) override {
    std::lock_guard<std::mutex> hold(lock_);
    port_ = -1;
    changed_.notify_all();
  }
  void OnServiceHostStoped(ipc_core::IServiceHost*) override {}
  void OnServiceInvokerConnected(ipc_core::IServiceHost*, int32_t id) override {
    Push({Event::kConnected, id, "", "", Clock::now()});
  }
  void OnServiceInvokerDisconnected(ipc_core::IServiceHost*, int32_t id) override {
    Push({Event::kDisconnected, id, "", "", Clock::now()});
  }

  // The agent's nine methods, answered as the agent answers them.
  void Register(ipc_core::SimpleService* service) {
    for (const char* method :
         {"snipping_tool_agent.snipping.handshake", "snipping_tool_agent.snipping.notify",
          "snipping_tool_agent.snipping.bilog", "snipping_tool_agent.snipping.set_config",
          "snipping_tool_agent.snipping.show_vip_wnd",
          "snipping_tool_agent.snipping.show_select_user_wnd",
          "snipping_tool_agent.snipping.notify_record_started",
          "snipping_tool_agent.snipping.notify_record_finished",
          "snipping_tool_agent.snipping.request_ai"}) {
      const std::string name = method;
      service->RegisterRequestHandler(
          name, [this, name](const std::string& payload,
                             ipc_core::ipc_core_refptr<ipc_core::IRequestFeature> feature) {
            const bool handshake = name == "snipping_tool_agent.snipping.handshake";
            const bool ungated = handshake || name.find("notify_record_") != std::string::npos;
            if (name == "snipping_tool_agent.snipping.request_ai") {
              // Never answered: the answer is a later response_ai.
            } else if (ungated || handshaken_.load()) {
              feature->Reply("");
            } else {
              std::lock_guard<std::mutex> hold(lock_);
              before_handshake_.push_back(name);
            }
            if (handshake)
              handshaken_.store(true);
            Push({Event::kRequest, feature->GetConnectionId(), name, payload, Clock::now()});
          });
    }
  }

  int WaitForPort() {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait_for(hold, milliseconds(5000), [this] { return port_ != 0; });
    return port_;
  }

  // The first event matching |want| that arrives by |deadline|; earlier
  // events are kept.
  template <typename Predicate>
  std::optional<Event> WaitFor(Predicate want, Clock::time_point deadline) {
    std::unique_lock<std::mutex> hold(lock_);
    bool last_look = false;
    for (;;) {
      for (size_t i = next_; i < events_.size(); ++i) {
        if (want(events_[i])) {
          next_ = i + 1;
          return events_[i];
        }
      }
      if (last_look)
        return std::nullopt;
      last_look = changed_.wait_until(hold, deadline) == std::cv_status::timeout;
    }
  }

  bool Seen(const std::function<bool(const Event&)>& want) {
    std::lock_guard<std::mutex> hold(lock_);
    for (const Event& event : events_)
      if (want(event))
        return true;
    return false;
  }

  void ResetHandshake() { handshaken_.store(false); }
  std::vector<std::string> BeforeHandshake() {
    std::lock_guard<std::mutex> hold(lock_);
    return before_handshake_;
  }

 private:
  void Push(Event event) {
    std::lock_guard<std::mutex> hold(lock_);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }

  std::mutex lock_;
  std::condition_variable changed_;
  int port_ = 0;
  std::vector<Event> events_;
  size_t next_ = 0;
  std::atomic<bool> handshaken_{false};
  std::vector<std::string> before_handshake_;
};

// ---- Invokes, waited for --------------------------------------------------

struct InvokeOutcome {
  enum Kind { kReply, kError, kTimeout } kind = kTimeout;
  std::string text;
  int code = 0;
  Clock::time_point at;
};

class WaitingContext : public ipc_core::RequestContext {
 public:
  explicit WaitingContext(int timeout_ms) { set_timeout(timeout_ms); }
  void OnResponse(const char* text) override { Done({InvokeOutcome::kReply, text, 0, {}}); }
  void OnError(int32_t code, const char* reason) override {
    Done({InvokeOutcome::kError, reason, code, {}});
  }
  void OnTimeout() override { Done({InvokeOutcome::kTimeout, "", ipc_core::kErrorTimeout, {}}); }

  InvokeOutcome Wait() {
    std::unique_lock<std::mutex> hold(lock_);
    done_.wait(hold, [this] { return outcome_.has_value(); });
    return *outcome_;
  }

 private:
  void Done(InvokeOutcome outcome) {
    outcome.at = Clock::now();
    std::lock_guard<std::mutex> hold(lock_);
    outcome_ = std::move(outcome);
    done_.notify_all();
  }
  std::mutex lock_;
  std::condition_variable done_;
  std::optional<InvokeOutcome> outcome_;
};

ipc_core::ipc_core_refptr<WaitingContext> Invoke(ipc_core::IServiceHost* host,
                                                 const std::string& method,
                                                 const std::string& payload, int timeout_ms) {
  ipc_core::ipc_core_refptr<WaitingContext> context(new WaitingContext(timeout_ms));
  host->Invoke(method.c_str(), payload.c_str(), context.get());
  return context;
}

std::string Describe(const InvokeOutcome& outcome) {
  switch (outcome.kind) {
    case InvokeOutcome::kReply:
      return "replied `" + outcome.text + "`";
    case InvokeOutcome::kError:
      return "error reply " + std::to_string(outcome.code) + " `" + outcome.text + "`";
    case InvokeOutcome::kTimeout:
      return "no answer in time";
  }
  return "?";
}

// ---- The table ------------------------------------------------------------

enum class Verdict { kPass, kFail, kAdvice };

struct Clause {
  std::string name;
  Verdict verdict;
  std::string detail;
};

class Report {
 public:
  void Add(const std::string& name, Verdict verdict, const std::string& detail) {
    clauses_.push_back({name, verdict, detail});
  }
  void Check(const std::string& name, bool ok, const std::string& detail) {
    Add(name, ok ? Verdict::kPass : Verdict::kFail, detail);
  }
  bool failed() const {
    for (const Clause& clause : clauses_)
      if (clause.verdict == Verdict::kFail)
        return true;
    return false;
  }
  void Print() const {
    for (const Clause& clause : clauses_) {
      const char* word = clause.verdict == Verdict::kPass   ? "PASS  "
                         : clause.verdict == Verdict::kFail ? "FAIL  "
                                                            : "ADVICE";
      std::printf("%s  %-44s %s\n", word, clause.name.c_str(), clause.detail.c_str());
    }
    std::fflush(stdout);
  }

 private:
  std::vector<Clause> clauses_;
};

// ---- The run ---------------------------------------------------------------

struct Options {
  std::string tool;
  const Flavour* flavour = &kClassic;
  bool pass_channel_port = false;
  // Entries added to the extras document, as a host would put them there.
  std::map<std::string, std::string> extras;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const std::string& name, std::string* out) {
      if (arg == name && i + 1 < argc) {
        *out = argv[++i];
        return true;
      }
      if (arg.rfind(name + "=", 0) == 0) {
        *out = arg.substr(name.size() + 1);
        return true;
      }
      return false;
    };
    std::string v;
    if (value("--as", &v)) {
      if (v == kClassic.name)
        options->flavour = &kClassic;
      else if (v == kVizudeDezo.name)
        options->flavour = &kVizudeDezo;
      else
        return false;
    } else if (arg == "--pass-channel-port") {
      options->pass_channel_port = true;
    } else if (value("--extras-entry", &v)) {
      const size_t equals = v.find('=');
      if (equals == std::string::npos || equals == 0)
        return false;
      options->extras[v.substr(0, equals)] = v.substr(equals + 1);
    } else if (!arg.empty() && arg[0] != '-' && options->tool.empty()) {
      options->tool = arg;
    } else {
      return false;
    }
  }
  return !options->tool.empty();
}

// What the agent's host would hand in, with something in every document.
snipping_tool::SnippingToolConfig MakeConfig(const std::string& dir, const Options& options) {
  snipping_tool::SnippingToolConfig config;
  config.pass_channel_port = options.pass_channel_port;
  config.enable_ai_recognize = true;
  config.user_id = 10001;
  config.version = "1.0.0";
  config.env = "session";
  config.log_file = (std::filesystem::path(dir) / "host" / "logs" / "host.log").u8string();
  config.dui_config = R"({"lang":"en"})";
  config.snipping_config = R"({"hotkey":"alt+a"})";
  config.features = {{3, true}, {-1, false}};
  config.extras = {{"timeout_config", R"({"ProcessHandshakeTimeout":3000})"}};
  for (const auto& [key, value] : options.extras)
    config.extras[key] = value;
  return config;
}

std::string ShotRequest(const std::string& path, bool with_unknown_member) {
  snipping_tool::RequestSnippingShot request;
  request.image_save_path = path;
  request.screen_shot_type = 4;
  request.grays = {{"some_switch", true}};
  request.vip_status = 1;
  request.ai_screen_shot_request.skills.push_back({"translate", "", ""});
  std::string text = snipping_tool::JsonClassToStr(request);
  if (with_unknown_member)  // a member a later agent might add
    text.insert(text.size() - 1, R"(,"future_member":{"nested":[1,2,3]})");
  return text;
}

bool IsPng(const std::string& path) {
  std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
  char signature[8] = {};
  file.read(signature, sizeof(signature));
  return file.gcount() == 8 && std::string(signature, 8) == "\x89PNG\r\n\x1a\n";
}

// Checks one result payload; empty when it is a good one.
std::string CheckResult(const std::string& payload, const std::string& expected_path,
                        std::string* advice) {
  rapidjson::Document document;
  document.Parse(payload.c_str());
  if (document.HasParseError() || !document.IsObject())
    return "the result is not a JSON object: `" + payload + "`";
  const auto path = document.FindMember("image_file_path");
  if (path == document.MemberEnd() || !path->value.IsString())
    return "image_file_path is missing or not a string";
  const auto event = document.FindMember("snipping_event");
  if (event == document.MemberEnd() || !event->value.IsInt())
    return "snipping_event is missing or not an int32";
  const std::string file = path->value.GetString();
  std::error_code ec;
  if (file.empty() || !std::filesystem::is_regular_file(std::filesystem::u8path(file), ec))
    return "image_file_path `" + file + "` names no file (snipping_event " +
           std::to_string(event->value.GetInt()) + ")";
  if (file != expected_path)
    *advice += "the image is not at image_save_path; ";
  if (!IsPng(file))
    *advice += "the image is not a PNG (hosts expect PNG); ";
  return "";
}

class Runner {
 public:
  explicit Runner(const Options& options) : options_(options), flavour_(*options.flavour) {}

  int Run();

 private:
  bool StartHost(std::string* error);
  bool Launch(bool in_job);
  bool Shot(int number, bool unknown_member);
  void AnswersAgentRequests();
  void ExitsWhenTold();
  void ExitsWhenConnectionCloses();
  void Finish();

  const Options& options_;
  const Flavour& flavour_;
  Report report_;
  Agent agent_;
  ipc_core::IServiceHost* host_ = nullptr;
  FrameRecorder recorder_;
  std::string dir_;
  std::string secret_;
  base::ScopedJobHandle job_;
  base::Process tool_;
  Clock::time_point launched_at_;
  std::vector<std::string> command_line_;
  int connection_ = 0;
};

bool Runner::StartHost(std::string* error) {
  ipc_core::InitIPCCoreRuntime(nullptr);
  // No identity: the runner publishes the proxy's port under the tool's
  // identity itself, so that a tool finding the agent by identity talks
  // through the proxy too.
  if (ipc_core::CreateServiceHost("quillo_service_host", "quillo", "", flavour_.app_id,
                                  flavour_.protocol_tag, &agent_, &host_) != ipc_core::kOk) {
    *error = "cannot create the service host";
    return false;
  }
  auto* service = new ipc_core::SimpleService("snipping_tool_agent");
  service->AddRef();  // held until the process ends
  agent_.Register(service);
  host_->RegisterService(service);
  host_->Start();
  const int port = agent_.WaitForPort();
  if (port <= 0) {
    *error = "the service host did not start";
    return false;
  }
  if (!recorder_.Start(port, error))
    return false;
  if (flavour_.use_screen_tool && !options_.pass_channel_port) {
    ipc_core::RendezvousRecord record;
    record.port = recorder_.port();
    record.app_id = flavour_.app_id;
    record.protocol_tag = flavour_.protocol_tag;
    if (!ipc_core::PublishRendezvous(flavour_.identity, record, error))
      return false;
  }
  return true;
}

bool Runner::Launch(bool in_job) {
  secret_ = ipc_core::GeneratePeerSecret();
  host_->AddPeerSecret(secret_.c_str());
  base::CommandLine command_line(base::FilePath::FromUTF8Unsafe(options_.tool));
  const snipping_tool::SnippingToolConfig config = MakeConfig(dir_, options_);
  const uint32_t port = static_cast<uint32_t>(recorder_.port());
  if (flavour_.use_screen_tool)
    snipping_tool::AppendVizudeDezoSwitches(config, port, &command_line);
  else
    snipping_tool::AppendClassicSwitches(config, port, &command_line);
  command_line_.clear();
  for (const auto& arg : command_line.argv())
    command_line_.push_back(base::FilePath(arg).AsUTF8Unsafe());

  base::LaunchOptions launch;
  if (in_job) {
    job_.Set(base::CreateJobObject());
    base::SetJobObjectLimitFlags(job_.Get(), base::kJobObjectLimitKillOnJobClose);
    launch.job_handle = job_.Get();
  }
  launch.environment[ipc_core::kPeerSecretEnvironmentVariable] = secret_;
  launched_at_ = Clock::now();
  tool_ = base::LaunchProcess(command_line, launch);
  return tool_.IsValid();
}

bool Runner::Shot(int number, bool unknown_member) {
  const std::string n = std::to_string(number);
  const std::string path =
      (std::filesystem::path(dir_) / ("shot-" + n + ".png")).u8string();
  // Results the tool has sent so far: the next one must follow the answer.
  size_t results_before = 0;
  for (const RecordedFrame& f : recorder_.Frames())
    results_before += f.from_tool && f.frame.method == "snipping_tool_agent.snipping.notify";
  const Clock::time_point sent = Clock::now();
  auto context = Invoke(host_, "snipping_tool.snipping.shot", ShotRequest(path, unknown_member),
                        kShotInvokeBudgetMs);
  const InvokeOutcome answer = context->Wait();
  // The order on the wire decides (the runtime may hand the answer and a
  // request read with it to the runner on different threads): the answer
  // must precede the shot's result in what the tool sent.
  bool early = false;
  {
    const std::vector<RecordedFrame> frames = recorder_.Frames();
    uint64_t request_id = 0;
    for (const RecordedFrame& f : frames)
      if (!f.from_tool && f.frame.method == "snipping_tool.snipping.shot" &&
          f.frame.text.find(path) != std::string::npos)
        request_id = f.frame.id;
    size_t results = 0;
    for (const RecordedFrame& f : frames) {
      if (!f.from_tool)
        continue;
      if (f.frame.type == ipc_core::wire::FrameType::kRequest &&
          f.frame.method == "snipping_tool_agent.snipping.notify")
        ++results;
      else if (f.frame.type != ipc_core::wire::FrameType::kRequest && f.frame.id == request_id)
        break;
    }
    early = results > results_before;
  }
  const std::string what = number == 1 ? "shot request answered at once"
                                       : "second shot on the same connection answered";
  const long long ms =
      std::chrono::duration_cast<milliseconds>(answer.at - sent).count();
  if (answer.kind != InvokeOutcome::kReply) {
    report_.Check(what, false, Describe(answer) + " (budget " +
                                   std::to_string(kShotInvokeBudgetMs) + " ms)");
    return false;
  }
  report_.Check(what, !early,
                early ? "the result came before the answer to the request"
                      : "replied in " + std::to_string(ms) + " ms" +
                            (unknown_member ? ", with an unknown member in the payload" : ""));
  const auto result =
      agent_.WaitFor(RequestOf("snipping_tool_agent.snipping.notify"),
                     Clock::now() + milliseconds(kResultWaitMs));
  const std::string result_clause = "result " + n + " is a usable notify";
  if (!result) {
    report_.Check(result_clause, false,
                  "no snipping_tool_agent.snipping.notify within " +
                      std::to_string(kResultWaitMs / 1000) + " s");
    return false;
  }
  std::string advice;
  const std::string problem = CheckResult(result->payload, path, &advice);
  report_.Check(result_clause, problem.empty(), problem.empty() ? result->payload : problem);
  if (!advice.empty())
    report_.Add("image " + n, Verdict::kAdvice, advice);
  if (number > 1) {
    const bool new_connection = agent_.Seen([this](const Event& e) {
      return e.kind == Event::kConnected && e.connection != connection_;
    });
    report_.Check("one connection serves every shot", !new_connection,
                  new_connection ? "the tool connected again" : "connection " +
                                                                  std::to_string(connection_));
  }
  return problem.empty();
}

void Runner::AnswersAgentRequests() {
  snipping_tool::ResponseAISnippingShot response;
  response.succ = true;
  response.seq_id = 5;
  response.ai_type = 2;
  response.data = "translated text";
  response.dest_lan = "zh";
  std::string payload = snipping_tool::JsonClassToStr(response);
  payload.insert(payload.size() - 1, R"(,"future_member":"x")");
  InvokeOutcome answer =
      Invoke(host_, "snipping_tool.snipping.response_ai", payload, kOtherInvokeBudgetMs)->Wait();
  report_.Check("response_ai answered", answer.kind == InvokeOutcome::kReply, Describe(answer));

  answer = Invoke(host_, "snipping_tool.snipping.on_select_user_wnd_hide",
                  R"({"exit_screen_tool":false})", kOtherInvokeBudgetMs)
               ->Wait();
  const bool gone = agent_.Seen([this](const Event& e) {
    return e.kind == Event::kDisconnected && e.connection == connection_;
  });
  report_.Check("on_select_user_wnd_hide(false) answered", answer.kind == InvokeOutcome::kReply &&
                                                               !gone,
                gone ? "the tool left after exit_screen_tool false" : Describe(answer));
}

void Runner::ExitsWhenTold() {
  const InvokeOutcome answer = Invoke(host_, "snipping_tool.snipping.on_select_user_wnd_hide",
                                      R"({"exit_screen_tool":true})", kOtherInvokeBudgetMs)
                                   ->Wait();
  const bool exited = tool_.WaitForExitWithTimeout(milliseconds(kExitWaitMs), nullptr);
  report_.Add("exits on exit_screen_tool true", exited ? Verdict::kPass : Verdict::kAdvice,
              exited ? Describe(answer) + ", exited"
                     : Describe(answer) + ", still running after " +
                           std::to_string(kExitWaitMs / 1000) + " s");
  tool_.Terminate(0, true);
  job_.Close();
}

void Runner::ExitsWhenConnectionCloses() {
  agent_.ResetHandshake();
  if (!Launch(false)) {
    report_.Add("exits when its connection closes", Verdict::kAdvice, "could not relaunch");
    return;
  }
  const auto handshake =
      agent_.WaitFor(RequestOf("snipping_tool_agent.snipping.handshake"),
                     launched_at_ + milliseconds(kHandshakeBudgetMs));
  if (!handshake) {
    report_.Add("exits when its connection closes", Verdict::kAdvice,
                "no handshake from the second launch");
    tool_.Terminate(0, true);
    return;
  }
  recorder_.CloseAll();
  host_->Stop();
  const bool exited = tool_.WaitForExitWithTimeout(milliseconds(kExitWaitMs), nullptr);
  report_.Add("exits when its connection closes", exited ? Verdict::kPass : Verdict::kAdvice,
              exited ? "exited" : "still running " + std::to_string(kExitWaitMs / 1000) +
                                      " s after the agent closed the connection");
  tool_.Terminate(0, true);
}

int Runner::Run() {
  std::error_code ec;
  dir_ = (std::filesystem::temp_directory_path(ec) /
          ("snipping-conformance-" + std::to_string(std::chrono::system_clock::now()
                                                         .time_since_epoch()
                                                         .count())))
             .u8string();
  std::filesystem::create_directories(std::filesystem::u8path(dir_) / "host" / "logs", ec);
  std::string error;
  if (!StartHost(&error)) {
    std::fprintf(stderr, "snipping_tool_conformance: %s\n", error.c_str());
    return 2;
  }

  const bool launched = Launch(true);
  report_.Check("launch", launched,
                launched ? std::string("started as ") + flavour_.name + " with its switch set"
                         : "cannot start " + options_.tool);
  if (!launched)
    return Finish(), 1;

  const Clock::time_point budget = launched_at_ + milliseconds(kHandshakeBudgetMs);
  const auto connected =
      agent_.WaitFor([](const Event& e) { return e.kind == Event::kConnected; }, budget);
  auto since_launch = [this](Clock::time_point at) {
    return std::to_string(std::chrono::duration_cast<milliseconds>(at - launched_at_).count()) +
           " ms after launch";
  };
  report_.Check("opening exchange (hello, welcome)", connected.has_value(),
                connected ? since_launch(connected->at)
                          : "no connection completed within " +
                                std::to_string(kHandshakeBudgetMs) + " ms");
  if (!connected)
    return Finish(), 1;
  connection_ = connected->connection;
  const auto handshake =
      agent_.WaitFor(RequestOf("snipping_tool_agent.snipping.handshake"), budget);
  report_.Check("handshake within the handshake time-out", handshake.has_value(),
                handshake ? since_launch(handshake->at)
                          : "no snipping_tool_agent.snipping.handshake within " +
                                std::to_string(kHandshakeBudgetMs) + " ms of the launch");
  if (!handshake)
    return Finish(), 1;

  const bool cold_shot = Shot(1, false);
  if (cold_shot && Shot(2, true)) {
    AnswersAgentRequests();
    const auto early = agent_.BeforeHandshake();
    if (!early.empty())
      report_.Add("waits for the handshake's reply", Verdict::kAdvice,
                  early.front() + " came before it and would get no reply");
    ExitsWhenTold();
    ExitsWhenConnectionCloses();
  }
  Finish();
  return report_.failed() ? 1 : 0;
}

void Runner::Finish() {
  tool_.Terminate(0, true);
  job_.Close();
  if (flavour_.use_screen_tool && !options_.pass_channel_port)
    ipc_core::RemoveRendezvous(flavour_.identity, recorder_.port());
  report_.Print();
  if (report_.failed()) {
    std::printf("\nFrames seen (tool <-> agent):\n");
    const std::vector<RecordedFrame> frames = recorder_.Frames();
    if (frames.empty())
      std::printf("  none\n");
    for (const RecordedFrame& frame : frames) {
      std::string line = FrameRecorder::Describe(frame);
      const size_t at = line.find(secret_);
      if (!secret_.empty() && at != std::string::npos)
        line.replace(at, secret_.size(), "<secret>");
      std::printf("  [%d] %s\n", frame.connection, line.c_str());
    }
    for (const std::string& problem : recorder_.Problems())
      std::printf("  %s\n", problem.c_str());
    std::printf("\nCommand line:");
    for (const std::string& arg : command_line_)
      std::printf(" %s", arg.c_str());
    std::printf("\n");
  }
  std::fflush(stdout);
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::u8path(dir_), ec);
}

}  // namespace
}  // namespace conformance

int main(int argc, char** argv) {
  conformance::Options options;
  if (!conformance::ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: snipping_tool_conformance <tool-executable> "
                 "[--as QuilloSnippingTool|VizudeDezo] [--pass-channel-port]\n"
                 "                                 [--extras-entry KEY=VALUE]...\n");
    return 2;
  }
  const int status = conformance::Runner(options).Run();
  std::fflush(stdout);
  std::fflush(stderr);
  // The runtime's threads are never joined; leave without running static
  // destructors under them.
  std::_Exit(status);
}
