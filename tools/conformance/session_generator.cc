// tool_session_generator: records one real cold shot of the agent library
// with the reference tool and writes it as the annotated session of the tool
// guide (docs/tool-session.md).
//
//   tool_session_generator <agent-library> <reference-tool> <output-file>
//
// It lays out a private directory the way the agent is shipped: a copy of
// the agent library and, under the tool's name, a copy of this program. The
// agent starts that copy as its tool; the copy (the relay) puts a recording
// proxy between the agent's port and the real reference tool, which it
// starts with the agent's own switches and environment, the port replaced
// by the proxy's. When the agent has answered the result, the relay writes
// the session. The host side takes the shot through the library's exported
// factory, with a UI thread for the agent's posted tasks.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ipc_core/service_host.h"
#include "platform/command_line.h"
#include "platform/file_path.h"
#include "platform/launch.h"
#include "platform/process.h"
#include "snipping_tool/snipping_tool_agent.h"
#include "tools/conformance/frame_recorder.h"
#include "tools/conformance/session_writer.h"
#include "tools/demo_host/library_loader.h"
#include "tools/task_queue/task_queue.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr char kRealToolVariable[] = "TOOL_SESSION_REAL_TOOL";
constexpr char kOutputVariable[] = "TOOL_SESSION_OUTPUT";
constexpr char kDirectoryVariable[] = "TOOL_SESSION_DIRECTORY";
constexpr char kToolName[] = "QuilloSnippingTool.exe";

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// ---- The relay: started by the agent as its tool -------------------------

int Relay(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  std::string port;
  for (const std::string& arg : args)
    if (arg.rfind("--channel-port=", 0) == 0)
      port = arg.substr(15);
  conformance::FrameRecorder recorder;
  std::string error;
  if (port.empty() || !recorder.Start(std::atoi(port.c_str()), &error)) {
    std::fprintf(stderr, "relay: no port to relay (%s)\n", error.c_str());
    return 2;
  }
  base::CommandLine command_line(base::FilePath::FromUTF8Unsafe(Env(kRealToolVariable)));
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string arg = args[i].rfind("--channel-port=", 0) == 0
                                ? "--channel-port=" + std::to_string(recorder.port())
                                : args[i];
    const size_t equals = arg.find('=');
    if (equals == std::string::npos)
      command_line.AppendSwitchASCII(arg.substr(2), "");
    else
      command_line.AppendSwitchNative(arg.substr(2, equals - 2),
                                      base::FilePath::FromUTF8Unsafe(arg.substr(equals + 1)).value());
  }
  // Same environment (the secret included); the relay's own process group,
  // which the agent's job ends, holds the real tool too.
  base::Process tool = base::LaunchProcess(command_line, base::LaunchOptions());
  if (!tool.IsValid())
    return 2;

  // Wait for the agent's answer to the first result, then write.
  const auto deadline = std::chrono::steady_clock::now() + milliseconds(20000);
  std::vector<conformance::RecordedFrame> frames;
  uint64_t result_id = 0;
  bool answered = false;
  while (!answered && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(5));
    frames = recorder.Frames();
    for (const auto& f : frames) {
      if (f.from_tool && f.frame.method == "snipping_tool_agent.snipping.notify" && !result_id)
        result_id = f.frame.id;
      if (!f.from_tool && result_id && f.frame.id == result_id &&
          f.frame.type == ipc_core::wire::FrameType::kReply)
        answered = true;
    }
  }
  if (answered) {
    conformance::Placeholders placeholders{Env(ipc_core::kPeerSecretEnvironmentVariable),
                                           Env(kDirectoryVariable), port, "QuilloSnippingTool"};
    if (!conformance::WriteSession(Env(kOutputVariable) + ".part", args, frames, placeholders,
                                   &error))
      std::fprintf(stderr, "relay: %s\n", error.c_str());
    fs::rename(fs::u8path(Env(kOutputVariable) + ".part"), fs::u8path(Env(kOutputVariable)));
  }
  tool.WaitForExitWithTimeout(milliseconds(60000), nullptr);
  std::fflush(stderr);
  std::_Exit(0);
}

// ---- The host ---------------------------------------------------------------

class Delegate final : public snipping_tool::ISnippingToolAgentDelegate {
 public:
  explicit Delegate(task_queue::TaskQueue* ui) : ui_(ui) {}
  void Log(int, const std::string&, int, int64_t, const std::string&) override {}
  void ReportBIEvent(const std::string&) override {}
  void ApplySnippingToolConfig(const std::string&) override {}
  void ShowVipWindow() override {}
  void ShowSelectUserWindow(const snipping_tool::SelectUserWndSnippingShot&) override {}
  void OnSnippingShotResultArrived() override {}
  void PostTask(const std::function<void()>& task, uint32_t delay_ms) override {
    ui_->PostTask(task, delay_ms);
  }
  void RequestAI(const snipping_tool::RequestAISnippingShot&,
                 const std::function<void(const snipping_tool::ResponseAISnippingShot&)>&)
      override {}

 private:
  task_queue::TaskQueue* ui_;
};

int Host(const std::string& library, const std::string& real_tool, const std::string& output) {
  std::error_code ec;
  const fs::path dir = fs::temp_directory_path(ec) /
                       ("tool-session-" + std::to_string(std::chrono::system_clock::now()
                                                             .time_since_epoch()
                                                             .count()));
  fs::create_directories(dir / "host" / "logs", ec);
  const fs::path copy = dir / fs::u8path(library).filename();
  fs::copy_file(fs::u8path(library), copy, ec);
  fs::copy_file(fs::read_symlink("/proc/self/exe", ec), dir / kToolName, ec);
  // The kill-on-close keeper ships beside the library, where the agent's
  // platform layer looks for it (POSIX only).
  const fs::path keeper = fs::u8path(library).parent_path() / "snipping_tool_keeper";
  if (!ec && fs::exists(keeper))
    fs::copy_file(keeper, dir / keeper.filename(), ec);
  if (ec) {
    std::fprintf(stderr, "cannot lay out %s: %s\n", dir.u8string().c_str(), ec.message().c_str());
    return 2;
  }
  const fs::path session = dir / "session.md";
  setenv(kRealToolVariable, fs::absolute(fs::u8path(real_tool)).u8string().c_str(), 1);
  setenv(kOutputVariable, session.u8string().c_str(), 1);
  setenv(kDirectoryVariable, dir.u8string().c_str(), 1);

  std::string error;
  auto factory = reinterpret_cast<GetQuilloSnipingToolAgentFunction>(
      demo_host::LoadLibraryAndResolve(copy.u8string(), "GetQuilloSnipingToolAgent", &error));
  snipping_tool::ISnippingToolAgent* agent = nullptr;
  if (!factory || !factory(&agent) || !agent) {
    std::fprintf(stderr, "cannot load the agent: %s\n", error.c_str());
    return 2;
  }
  // What the host hands in: something in every document.
  snipping_tool::SnippingToolConfig config;
  config.user_id = 10001;
  config.version = "1.0.0";
  config.env = "session";
  config.log_file = (dir / "host" / "logs" / "host.log").u8string();
  config.dui_config = R"({"lang":"en"})";
  config.snipping_config = R"({"hotkey":"alt+a"})";
  config.features = {{3, true}, {-1, false}};
  config.extras = {{"timeout_config", R"({"ProcessHandshakeTimeout":3000})"}};

  task_queue::TaskQueue ui(task_queue::TaskQueue::Clock::kReal);
  ui.RunOnThread();
  Delegate delegate(&ui);
  std::atomic<int> outcome{0};  // 1 result, 2 failure (set on the UI thread)
  ui.RunAndWait([&] {
    agent->Init(config, &delegate, false);
    agent->SetGraySwitch("some_switch", true);
    agent->SetVipStatus(1);
    snipping_tool::AIScreenShotRequest ai;
    ai.skills.push_back({"translate", "", ""});
    agent->SnippingShot((dir / "shot-1.png").u8string(),
                        [&](const snipping_tool::NotifySnippingShot&) { outcome = 1; },
                        [&] { outcome = 2; }, 4, ai);
  });
  bool written = false;
  for (int i = 0; i < 2000 && !written; ++i) {
    std::this_thread::sleep_for(milliseconds(10));
    ui.RunAndWait([] {});
    written = outcome == 1 && fs::exists(session, ec);
  }
  ui.RunAndWait([&] { agent->Uninit(); });
  if (written)
    fs::copy_file(session, fs::u8path(output), fs::copy_options::overwrite_existing, ec);
  fs::remove_all(dir, ec);
  if (!written || ec) {
    std::fprintf(stderr, "no session: the shot %s\n", outcome == 2 ? "failed" : "had no result");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (fs::path(argv[0]).filename() == kToolName)
    return Relay(argc, argv);
  if (argc != 4) {
    std::fprintf(stderr, "usage: tool_session_generator <agent-library> <reference-tool> <output>\n");
    return 2;
  }
  const int status = Host(argv[1], argv[2], argv[3]);
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(status);
}
