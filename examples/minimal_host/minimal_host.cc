// A minimal host on the SDK (SnippingToolAgent::agent): it runs a UI thread
// for the agent's posted tasks, takes one shot and checks that a PNG came
// back.
//
//   minimal_host <image-path> [--use-screen-tool]
// Exit status: 0 with a PNG, 1 when the shot failed, 2 for bad arguments,
// 3 when no outcome came within 20 s.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "snipping_tool/snipping_tool_agent.h"

namespace {

using Clock = std::chrono::steady_clock;

// The host's UI thread: runs posted tasks when they are due.
class UiThread {
 public:
  UiThread() : thread_([this] { Run(); }) {}
  ~UiThread() {
    Post([this] { stop_ = true; }, 0);
    thread_.join();
  }
  void Post(std::function<void()> task, uint32_t delay_ms) {
    std::lock_guard<std::mutex> hold(lock_);
    tasks_.emplace(Clock::now() + std::chrono::milliseconds(delay_ms), std::move(task));
    wake_.notify_one();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> hold(lock_);
    while (!stop_) {
      if (tasks_.empty()) {
        wake_.wait(hold);
      } else if (tasks_.begin()->first > Clock::now()) {
        wake_.wait_until(hold, tasks_.begin()->first);
      } else {
        auto task = std::move(tasks_.begin()->second);
        tasks_.erase(tasks_.begin());
        hold.unlock();
        task();
        hold.lock();
      }
    }
  }
  std::mutex lock_;
  std::condition_variable wake_;
  std::multimap<Clock::time_point, std::function<void()>> tasks_;
  bool stop_ = false;
  std::thread thread_;
};

class Delegate : public snipping_tool::ISnippingToolAgentDelegate {
 public:
  explicit Delegate(UiThread* ui) : ui_(ui) {}
  void Log(int, const std::string&, int, int64_t, const std::string&) override {}
  void ReportBIEvent(const std::string& key) override {
    std::printf("event %s\n", key.c_str());
  }
  void ApplySnippingToolConfig(const std::string&) override {}
  void ShowVipWindow() override {}
  void ShowSelectUserWindow(const snipping_tool::SelectUserWndSnippingShot&) override {}
  void OnSnippingShotResultArrived() override {}
  void PostTask(const std::function<void()>& task, uint32_t delay_ms) override {
    ui_->Post(task, delay_ms);
  }
  void RequestAI(const snipping_tool::RequestAISnippingShot&,
                 const std::function<void(const snipping_tool::ResponseAISnippingShot&)>&)
      override {}

 private:
  UiThread* ui_;
};

bool IsPng(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  char signature[8] = {};
  file.read(signature, 8);
  return file.gcount() == 8 && std::memcmp(signature, "\x89PNG\r\n\x1a\n", 8) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2)
    return 2;
  const std::string path = argv[1];
  const bool use_screen_tool = argc > 2 && std::strcmp(argv[2], "--use-screen-tool") == 0;

  snipping_tool::ISnippingToolAgent* agent = nullptr;
  if (!GetQuilloSnipingToolAgent(&agent) || !agent)
    return 2;
  UiThread ui;
  Delegate delegate(&ui);
  snipping_tool::SnippingToolConfig config;
  config.pass_channel_port = true;

  std::mutex lock;
  std::condition_variable done;
  int status = -1;
  auto finish = [&](int code) {
    std::lock_guard<std::mutex> hold(lock);
    status = code;
    done.notify_all();
  };
  ui.Post([&] {
    agent->Init(config, &delegate, use_screen_tool);
    agent->SnippingShot(
        path,
        [&](const snipping_tool::NotifySnippingShot& result) {
          std::printf("result %s event %d\n", result.image_file_path.c_str(),
                      result.snipping_event);
          finish(IsPng(result.image_file_path) ? 0 : 1);
        },
        [&] {
          std::printf("shot failed\n");
          finish(1);
        },
        4, {});
  }, 0);
  {
    std::unique_lock<std::mutex> hold(lock);
    if (!done.wait_for(hold, std::chrono::seconds(20), [&] { return status >= 0; }))
      status = 3;
  }
  std::promise<void> uninitialised;
  ui.Post([&] {
    agent->Uninit();
    uninitialised.set_value();
  }, 0);
  uninitialised.get_future().wait();
  std::fflush(stdout);
  return status;
}
