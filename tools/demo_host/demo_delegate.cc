#include "tools/demo_host/demo_delegate.h"

#include <chrono>

namespace demo_host {
namespace {

constexpr char kBrokenEventPrefix[] = "pc_snipping_shot_broken_";
// How long the "user" takes with the select-user window, and the "AI
// service" with a request: long enough to see the order of events.
constexpr uint32_t kSelectUserWindowMs = 300;
constexpr auto kAiServiceTime = std::chrono::milliseconds(200);

}  // namespace

DemoDelegate::DemoDelegate(Timeline* timeline, task_queue::TaskQueue* ui)
    : timeline_(timeline), ui_(ui) {}

DemoDelegate::~DemoDelegate() {
  FinishAiReplies();
}

std::string DemoDelegate::TakeFailureReason() {
  std::lock_guard<std::mutex> lock(lock_);
  return std::move(failure_reason_);
}

void DemoDelegate::FinishAiReplies() {
  std::vector<std::thread> replies;
  {
    std::lock_guard<std::mutex> lock(lock_);
    replies.swap(ai_replies_);
  }
  for (std::thread& reply : replies)
    reply.join();
}

void DemoDelegate::Log(int severity, const std::string& file, int line, int64_t value,
                       const std::string& message) {
  timeline_->Print("ipc", "Log severity=" + std::to_string(severity) + " " + file + ":" +
                              std::to_string(line) + " connection=" + std::to_string(value) +
                              " " + message);
}

void DemoDelegate::ReportBIEvent(const std::string& key) {
  timeline_->Print("delegate", "ReportBIEvent key=\"" + key + "\"");
  if (key.compare(0, sizeof(kBrokenEventPrefix) - 1, kBrokenEventPrefix) == 0) {
    std::lock_guard<std::mutex> lock(lock_);
    failure_reason_ = key.substr(sizeof(kBrokenEventPrefix) - 1);
  }
}

void DemoDelegate::ApplySnippingToolConfig(const std::string& config_json) {
  timeline_->Print("delegate", "ApplySnippingToolConfig config_json=" + config_json);
}

void DemoDelegate::ShowVipWindow() {
  timeline_->Print("delegate", "ShowVipWindow (the membership window would open now)");
}

void DemoDelegate::ShowSelectUserWindow(const snipping_tool::SelectUserWndSnippingShot& request) {
  timeline_->Print("delegate", "ShowSelectUserWindow parent_wnd=" +
                                   std::to_string(request.parent_wnd) + " file_path=\"" +
                                   request.file_path +
                                   "\" file_type=" + std::to_string(request.file_type));
  // The "user" closes the window a little later, on the UI thread.
  snipping_tool::ISnippingToolAgent* agent = agent_;
  Timeline* timeline = timeline_;
  ui_->PostTask(
      [agent, timeline] {
        timeline->Print("host", "select-user window closed: OnSelectUserWndHide(false)");
        agent->OnSelectUserWndHide(false);
      },
      kSelectUserWindowMs);
}

void DemoDelegate::OnSnippingShotResultArrived() {
  timeline_->Print("delegate", "OnSnippingShotResultArrived");
}

void DemoDelegate::PostTask(const std::function<void()>& task, uint32_t delay_ms) {
  timeline_->Print("delegate", "PostTask delay_ms=" + std::to_string(delay_ms));
  ui_->PostTask(task, delay_ms);
}

void DemoDelegate::RequestAI(
    const snipping_tool::RequestAISnippingShot& request,
    const std::function<void(const snipping_tool::ResponseAISnippingShot&)>& reply) {
  timeline_->Print("delegate", "RequestAI seq_id=" + std::to_string(request.seq_id) +
                                   " ai_type=" + std::to_string(request.ai_type) + " text=\"" +
                                   request.text + "\" src_lan=" + request.src_lan +
                                   " dest_lan=" + request.dest_lan + " image_type=" +
                                   request.image_type + " image_save_path=\"" +
                                   request.image_save_path + "\"");
  snipping_tool::ResponseAISnippingShot response;
  response.succ = true;
  response.seq_id = request.seq_id;
  response.ai_type = request.ai_type;
  response.data = "canned answer to \"" + request.text + "\"";
  response.dest_lan = request.dest_lan;
  response.image_type = request.image_type;
  response.image_save_path = request.image_save_path;
  Timeline* timeline = timeline_;
  // Answered from a thread of its own, as a real AI service would.
  std::lock_guard<std::mutex> lock(lock_);
  ai_replies_.emplace_back([timeline, reply, response] {
    std::this_thread::sleep_for(kAiServiceTime);
    timeline->Print("host", "answering RequestAI seq_id=" + std::to_string(response.seq_id) +
                                " data=\"" + response.data + "\"");
    reply(response);
  });
}

}  // namespace demo_host
