// The shipped DLL as a host uses it: loaded with LoadLibraryW, the factory
// resolved by name, a shot taken through the Windows reference tool that
// sits next to the DLL.
#include <windows.h>

#include <functional>
#include <mutex>

#include <gtest/gtest.h>

#include "snipping_tool/snipping_tool_agent.h"
#include "platform/utf_string_conversions.h"
#include "tests/support/test_os.h"
#include "tools/task_queue/task_queue.h"

namespace {

using test_os::WaitUntil;

class Delegate final : public snipping_tool::ISnippingToolAgentDelegate {
 public:
  void Log(int, const std::string&, int, int64_t, const std::string&) override {}
  void ReportBIEvent(const std::string&) override {}
  void ApplySnippingToolConfig(const std::string&) override {}
  void ShowVipWindow() override {}
  void ShowSelectUserWindow(const snipping_tool::SelectUserWndSnippingShot&) override {}
  void OnSnippingShotResultArrived() override {}
  void PostTask(const std::function<void()>& task, uint32_t delay_ms) override {
    ui.PostTask(task, delay_ms);
  }
  void RequestAI(const snipping_tool::RequestAISnippingShot&,
                 const std::function<void(const snipping_tool::ResponseAISnippingShot&)>&)
      override {}

  // The host's UI thread.
  task_queue::TaskQueue ui{task_queue::TaskQueue::Clock::kReal};
};

TEST(DllHostWinTest, LoadsTheDllAndTakesAShotThroughTheReferenceTool) {
  const std::string dll = test_os::JoinPath(test_os::ExecutableDir(), "snipping_tool_agent.dll");
  HMODULE library = LoadLibraryW(base::SysUTF8ToWide(dll).c_str());
  ASSERT_NE(library, nullptr) << "LoadLibraryW error " << GetLastError();
  // Resolved by name and by its ordinal, the factory is the same function.
  FARPROC by_name = GetProcAddress(library, "GetQuilloSnipingToolAgent");
  ASSERT_NE(by_name, nullptr);
  EXPECT_EQ(GetProcAddress(library, MAKEINTRESOURCEA(1)), by_name);
  // Through void*: FARPROC and the factory are unrelated function types.
  auto factory = reinterpret_cast<GetQuilloSnipingToolAgentFunction>(
      reinterpret_cast<void*>(by_name));

  EXPECT_FALSE(factory(nullptr));
  snipping_tool::ISnippingToolAgent* agent = nullptr;
  ASSERT_TRUE(factory(&agent));
  ASSERT_NE(agent, nullptr);
  snipping_tool::ISnippingToolAgent* again = nullptr;
  ASSERT_TRUE(factory(&again));
  EXPECT_EQ(again, agent);
  EXPECT_TRUE(agent->IsBroken()) << "not initialised yet";

  // The agent keeps the delegate until Uninit and the process's end; it is
  // never destroyed here.
  static Delegate* const delegate = new Delegate();
  delegate->ui.RunOnThread();
  agent->Init(snipping_tool::SnippingToolConfig(), delegate, false);
  EXPECT_FALSE(agent->IsBroken());

  test_os::TempDir temp;
  const std::string shot_path = temp.File("shot \xC3\xA9.png");
  std::mutex lock;
  bool succeeded = false;
  bool failed = false;
  snipping_tool::NotifySnippingShot result;
  DWORD callback_thread = 0;
  agent->SnippingShot(
      shot_path,
      [&](const snipping_tool::NotifySnippingShot& shot) {
        std::lock_guard<std::mutex> hold(lock);
        result = shot;
        succeeded = true;
        callback_thread = GetCurrentThreadId();
      },
      [&] {
        std::lock_guard<std::mutex> hold(lock);
        failed = true;
      },
      4, snipping_tool::AIScreenShotRequest());
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> hold(lock);
    return succeeded || failed;
  }));
  {
    std::lock_guard<std::mutex> hold(lock);
    ASSERT_TRUE(succeeded) << "the shot failed";
    EXPECT_FALSE(failed);
    EXPECT_EQ(result.image_file_path, shot_path);
    EXPECT_NE(callback_thread, GetCurrentThreadId()) << "the result arrives on the UI thread";
  }

  // The PNG itself is the reference tool's test.
  EXPECT_TRUE(test_os::FileHasContent(shot_path));

  // The tool (our only child) stays up for the next shot until the host
  // lets the agent go.
  EXPECT_EQ(test_os::ChildProcesses().size(), 1u);
  agent->Uninit();
  EXPECT_TRUE(agent->IsBroken());
  EXPECT_TRUE(WaitUntil([] { return test_os::ChildProcesses().empty(); }))
      << "the tool outlived Uninit";
}

}  // namespace
