// The demo host: loads the agent library the way the messaging client does,
// takes shots through it and prints what happens, in order, with times.
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "snipping_tool/snipping_tool_agent.h"
#include "tools/demo_host/demo_delegate.h"
#include "tools/demo_host/demo_options.h"
#include "tools/demo_host/library_loader.h"
#include "tools/demo_host/stderr_capture.h"
#include "tools/task_queue/task_queue.h"
#include "tools/demo_host/timeline.h"

namespace demo_host {
namespace {

enum DemoExit {
  kDemoSuccess = 0,
  kDemoShotFailed = 1,
  kDemoBadOptions = 2,
  kDemoNoAgent = 3,
  kDemoNoOutcome = 4,
  kDemoNoImage = 5,
};

// The "snipping_event" codes of the reference tool.
const char* EventName(int event) {
  switch (event) {
    case 1:
      return "captured";
    case 2:
      return "capture failed";
    case 3:
      return "write failed";
    case 4:
      return "bad request";
    case 5:
      return "scripted";
    default:
      return "unknown";
  }
}

// Where a shot ended: the success callable's record, or the failure.
class Outcome {
 public:
  void Succeed(const snipping_tool::NotifySnippingShot& result) {
    std::lock_guard<std::mutex> lock(lock_);
    result_ = result;
    done_ = true;
    signal_.notify_all();
  }
  void Fail() {
    std::lock_guard<std::mutex> lock(lock_);
    done_ = true;
    signal_.notify_all();
  }
  // False when nothing came within |ms|.
  bool Wait(int ms, std::optional<snipping_tool::NotifySnippingShot>* result) {
    std::unique_lock<std::mutex> lock(lock_);
    if (!signal_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; }))
      return false;
    *result = result_;
    return true;
  }

 private:
  std::mutex lock_;
  std::condition_variable signal_;
  bool done_ = false;
  std::optional<snipping_tool::NotifySnippingShot> result_;
};

bool IsPng(const std::string& path, uintmax_t* size) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  char signature[8] = {};
  if (!in.read(signature, sizeof(signature)))
    return false;
  std::error_code error;
  *size = std::filesystem::file_size(std::filesystem::u8path(path), error);
  return std::string(signature, 8) == "\x89PNG\r\n\x1a\n";
}

// Standard error carries the agent's log records ("[INFO:file(line)] ...")
// and everything the tool writes.
const char* SourceOf(const std::string& line) {
  if (line.rfind("[INFO:", 0) == 0 || line.rfind("[WARNING:", 0) == 0 ||
      line.rfind("[ERROR:", 0) == 0)
    return "agent";
  if (line.rfind("[reference_tool]", 0) == 0 || line.find(": refused: ") != std::string::npos)
    return "tool";
  return "stderr";
}

int RunDemo(const DemoOptions& options) {
  Timeline timeline(stdout);
  StderrCapture capture;
  std::string error;
  if (!capture.Start([&timeline](const std::string& line) { timeline.Print(SourceOf(line), line); },
                     &error)) {
    timeline.Print("host", "cannot capture standard error (" + error + "); its lines go there");
  }

  const std::string library =
      options.library.empty() ? DefaultAgentLibraryPath() : options.library;
  timeline.Print("host", "loading " + library);
  auto factory = reinterpret_cast<GetQuilloSnipingToolAgentFunction>(
      LoadLibraryAndResolve(library, "GetQuilloSnipingToolAgent", &error));
  snipping_tool::ISnippingToolAgent* agent = nullptr;
  if (!factory || !factory(&agent) || !agent) {
    timeline.Print("host", factory ? "GetQuilloSnipingToolAgent gave no agent"
                                   : "cannot load the agent: " + error);
    capture.Stop();
    return kDemoNoAgent;
  }
  timeline.Print("host", "GetQuilloSnipingToolAgent gave the agent");

  task_queue::TaskQueue ui(task_queue::TaskQueue::Clock::kReal);
  ui.RunOnThread();
  DemoDelegate delegate(&timeline, &ui);
  delegate.set_agent(agent);

  snipping_tool::SnippingToolConfig config;
  config.user_id = 10001;
  config.version = "0.1.0-demo";
  config.env = "demo";
  config.dui_config = R"({"lang":"en"})";
  config.pass_channel_port = options.pass_channel_port;
  config.enable_ai_recognize = true;
  if (!options.timeout_config.empty())
    config.extras["timeout_config"] = options.timeout_config;
  if (!options.script.empty())
    config.extras["reference_tool_script"] = options.script;

  ui.RunAndWait([&] {
    timeline.Print("host", std::string("Init use_screen_tool=") +
                               (options.use_screen_tool ? "1" : "0"));
    agent->Init(config, &delegate, options.use_screen_tool);
    agent->SetRecordStartedCallback([&timeline] { timeline.Print("host", "recording started"); });
    agent->SetRecordFinishedCallback([&timeline] { timeline.Print("host", "recording finished"); });
  });

  int status = kDemoSuccess;
  for (int shot = 1; shot <= options.shots && status == kDemoSuccess; ++shot) {
    const std::string path =
        std::filesystem::absolute(std::filesystem::u8path(ShotPath(options.save_path, shot)))
            .u8string();
    std::error_code ignored;
    std::filesystem::remove(std::filesystem::u8path(path), ignored);
    timeline.Restart("shot " + std::to_string(shot) + " of " + std::to_string(options.shots));
    delegate.TakeFailureReason();
    // Shared with the callables: a shot given up on may still end later.
    auto outcome = std::make_shared<Outcome>();
    ui.RunAndWait([&] {
      timeline.Print("host", "SnippingShot image_save_path=" + path);
      agent->SnippingShot(
          path,
          [outcome, &timeline](const snipping_tool::NotifySnippingShot& result) {
            timeline.Print("host", "success callable ran");
            outcome->Succeed(result);
          },
          [outcome, &timeline] {
            timeline.Print("host", "failure callable ran");
            outcome->Fail();
          },
          4, snipping_tool::AIScreenShotRequest());
    });

    std::optional<snipping_tool::NotifySnippingShot> result;
    if (!outcome->Wait(options.wait_ms, &result)) {
      timeline.Print("host", "no outcome within " + std::to_string(options.wait_ms) +
                                 " ms: TerminateSnippingTool");
      ui.RunAndWait([&] { agent->TerminateSnippingTool(); });
      status = kDemoNoOutcome;
      break;
    }
    // The failure callable runs before the agent reports the reason, in
    // the same UI task: let that task finish before asking for it.
    ui.RunAndWait([] {});
    if (!result) {
      const std::string reason = delegate.TakeFailureReason();
      timeline.Print("host", "shot " + std::to_string(shot) + " FAILED: " +
                                 (reason.empty() ? "no reason reported" : reason));
      std::printf("FAILED: %s\n", reason.empty() ? "unknown" : reason.c_str());
      status = kDemoShotFailed;
      break;
    }
    timeline.Print("host", "result image_file_path=\"" + result->image_file_path +
                               "\" snipping_event=" + std::to_string(result->snipping_event) +
                               " (" + EventName(result->snipping_event) + ") ai_skill_data=\"" +
                               result->ai_skill_data + "\" pos_x=" + std::to_string(result->pos_x) +
                               " pos_y=" + std::to_string(result->pos_y));
    uintmax_t size = 0;
    if (result->image_file_path.empty() || !IsPng(result->image_file_path, &size)) {
      timeline.Print("host", "no PNG image came with the result");
      std::printf("FAILED: no image (snipping_event %d, %s)\n", result->snipping_event,
                  EventName(result->snipping_event));
      status = kDemoNoImage;
      break;
    }
    std::printf("saved %s (%ju bytes)\n", result->image_file_path.c_str(), size);
  }

  if (options.linger_ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(options.linger_ms));
  delegate.FinishAiReplies();
  ui.RunAndWait([&] {
    timeline.Print("host", "Uninit");
    agent->Uninit();
  });
  ui.Stop();
  timeline.Print("host", "done, exit status " + std::to_string(status));
  capture.Stop();
  return status;
}

}  // namespace
}  // namespace demo_host

int main(int argc, char** argv) {
  demo_host::DemoOptions options;
  std::string error;
  if (!demo_host::ParseDemoOptions(std::vector<std::string>(argv + 1, argv + argc), &options,
                                   &error)) {
    std::fprintf(stderr, "snipping_demo_host: %s\n%s", error.c_str(), demo_host::kDemoUsage);
    return demo_host::kDemoBadOptions;
  }
  if (options.help) {
    std::fputs(demo_host::kDemoUsage, stdout);
    return 0;
  }
  return demo_host::RunDemo(options);
}
