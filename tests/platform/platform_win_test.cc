// The last system error is the thread's GetLastError.
#include "platform/last_error.h"

#include <windows.h>

#include <thread>

#include <gtest/gtest.h>

namespace base {
namespace {

TEST(LastErrorWinTest, IsTheThreadsGetLastErrorAndTheKeeperRestoresIt) {
  SetLastSystemError(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetLastSystemError(), static_cast<SystemErrorCode>(ERROR_ACCESS_DENIED));
  // Each thread has its own.
  SystemErrorCode seen_by_other = 1;
  std::thread([&] { seen_by_other = GetLastSystemError(); }).join();
  EXPECT_NE(seen_by_other, static_cast<SystemErrorCode>(ERROR_ACCESS_DENIED));
  SetLastError(ERROR_ACCESS_DENIED);  // Starting and joining the thread may change it.
  {
    ScopedLastErrorKeeper keep;
    // Closing an invalid handle fails and sets its own error.
    CloseHandle(nullptr);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

}  // namespace
}  // namespace base
