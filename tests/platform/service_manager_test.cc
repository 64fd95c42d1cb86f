#include "platform/service_manager.h"

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/once.h"
#include "tests/support/fake_service_manager.h"

namespace kvbase {
namespace {

using test_support::FakeGraySwitchMgr;
using test_support::FakeServiceManager;
using test_support::FakeThemeManager;

class ServiceLookupTest : public ::testing::Test {
 protected:
  void SetUp() override { ServiceManagerHolder::GetInstance()->SetServiceManager(manager_); }
  void TearDown() override { ServiceManagerHolder::GetInstance()->SetServiceManager(nullptr); }

  std::shared_ptr<FakeServiceManager> manager_ = std::make_shared<FakeServiceManager>();
};

TEST_F(ServiceLookupTest, MissingServiceIsLoggedThroughTheManagerAtLevel2ButNotAMissingInterface) {
  EXPECT_FALSE(GetGraySwitch("increase_screen_ipc_time"));
  EXPECT_EQ(GetAppTheme(), "light");
  const std::vector<std::pair<int, std::string>> expected(
      2, {2, "GetServiceFromServiceManager. service is null."});
  EXPECT_EQ(manager_->log(), expected);
  manager_->AddService(kGraySwitchMgrServiceName);
  EXPECT_FALSE(GetGraySwitch("increase_screen_ipc_time"));
  EXPECT_EQ(manager_->log(), expected);
}

TEST_F(ServiceLookupTest, SwitchIsReadFromGroupGeneral) {
  auto switches = std::make_shared<FakeGraySwitchMgr>();
  switches->Set("general", "increase_screen_ipc_time", true);
  switches->Set("other", "diable_screen_tool_downgrade", true);
  manager_->AddInterface(kGraySwitchMgrServiceName, "class model::IGraySwitchMgr", switches);

  EXPECT_TRUE(GetGraySwitch("increase_screen_ipc_time"));
  // On, but in another group.
  EXPECT_FALSE(GetGraySwitch("diable_screen_tool_downgrade"));
  EXPECT_FALSE(GetGraySwitch("unknown"));
  EXPECT_TRUE(switches->out_values_started_false());
  EXPECT_TRUE(manager_->log().empty());
}

TEST_F(ServiceLookupTest, ThemeIsDarkOnlyForOneAndALookedUpInterfaceHoldsItsHandle) {
  auto themes = std::make_shared<FakeThemeManager>();
  manager_->AddInterface("class biz::IThemeManager", "class biz::IThemeManager", themes);
  for (const auto& [theme, expected] :
       std::vector<std::pair<int, std::string>>{{1, "dark"}, {0, "light"}, {2, "light"}}) {
    themes->set_theme(theme);
    EXPECT_EQ(GetAppTheme(), expected) << "theme " << theme;
  }
  // A looked-up interface holds its handle, which holds the interface.
  const long references = themes.use_count();
  std::shared_ptr<biz::IThemeManager> found =
      GetServiceFromServiceManager<biz::IThemeManager>("class biz::IThemeManager");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found.get(), themes.get());
  EXPECT_EQ(themes.use_count(), references + 1);
  found.reset();
  EXPECT_EQ(themes.use_count(), references);
}

// OnceValue (behind the holder's instance), with a creation slow enough
// that the other threads arrive while it runs and must wait for its result.
std::atomic<int> g_creations{0};
int g_created_value = 42;

void* SlowCreate() {
  g_creations.fetch_add(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return &g_created_value;
}

TEST(OnceValueTest, EveryConcurrentCallerGetsTheSingleCreation) {
  static base::OnceValue once;
  constexpr int kThreads = 8;
  std::vector<void*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] { seen[i] = once.Get(&SlowCreate); });
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(g_creations.load(), 1);
  for (void* value : seen)
    EXPECT_EQ(value, &g_created_value);
  EXPECT_EQ(once.Get(&SlowCreate), &g_created_value);
  EXPECT_EQ(g_creations.load(), 1);
}

}  // namespace
}  // namespace kvbase
