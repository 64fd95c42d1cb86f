// The small Windows pieces of the platform layer: the module directory,
// file existence, the last error, one-time initialisation.
#include "platform/path_service.h"

// wingdi.h defines ERROR, which would break LOG(ERROR).
#define NOGDI
#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/file_util.h"
#include "platform/last_error.h"
#include "platform/logging.h"
#include "platform/once.h"
#include "platform/utf_string_conversions.h"
#include "tests/windows/win_test_util.h"

namespace base {
namespace {

using ProbeFunction = bool (*)(wchar_t*, size_t);

// Case and separators as the system reports them may differ from ours.
bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

TEST(PathServiceWinTest, ModuleDirectoryOfAnExecutableIsItsDirectory) {
  FilePath directory;
  ASSERT_TRUE(PathService::Get(DIR_MODULE, &directory));
  EXPECT_TRUE(SamePath(directory.value(), win_test::ExecutableDirectory()))
      << directory.AsUTF8Unsafe();
}

TEST(PathServiceWinTest, ModuleDirectoryInsideADllIsTheDllsNotTheExecutables) {
  const std::wstring probe_directory = win_test::ExecutableDirectory() + L"\\module_probe";
  HMODULE probe = LoadLibraryW((probe_directory + L"\\module_dir_probe.dll").c_str());
  ASSERT_NE(probe, nullptr) << "LoadLibraryW error " << GetLastError();
  // Through void*: FARPROC and the real signature are unrelated function
  // types.
  auto function = reinterpret_cast<ProbeFunction>(
      reinterpret_cast<void*>(GetProcAddress(probe, "ProbeModuleDirectory")));
  ASSERT_NE(function, nullptr);
  wchar_t answer[MAX_PATH * 2] = {};
  ASSERT_TRUE(function(answer, MAX_PATH * 2));
  EXPECT_TRUE(SamePath(answer, probe_directory)) << base::SysWideToUTF8(answer);
  FreeLibrary(probe);
}

TEST(PathServiceWinTest, OverrideWinsUntilRemoved) {
  PathService::OverrideForTesting(DIR_MODULE, FilePath(L"D:\\elsewhere"));
  FilePath directory;
  ASSERT_TRUE(PathService::Get(DIR_MODULE, &directory));
  EXPECT_EQ(directory.value(), L"D:\\elsewhere");
  PathService::OverrideForTesting(DIR_MODULE, FilePath());
  ASSERT_TRUE(PathService::Get(DIR_MODULE, &directory));
  EXPECT_TRUE(SamePath(directory.value(), win_test::ExecutableDirectory()));
}

TEST(FileUtilWinTest, PathExistsForFilesAndDirectoriesOnly) {
  win_test::TempDir temp;
  const std::wstring file = temp.File(L"shot \u00e9.png");
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  CloseHandle(handle);

  EXPECT_TRUE(PathExists(FilePath(file)));
  EXPECT_TRUE(PathExists(FilePath(temp.path())));
  EXPECT_FALSE(PathExists(FilePath(temp.File(L"missing.exe"))));
  EXPECT_FALSE(PathExists(FilePath(temp.File(L"no\\such\\dir"))));
  EXPECT_FALSE(PathExists(FilePath()));
}

TEST(LastErrorWinTest, IsTheThreadsGetLastError) {
  SetLastSystemError(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetLastSystemError(), static_cast<SystemErrorCode>(ERROR_ACCESS_DENIED));

  // Each thread has its own: a new thread does not see ours, and what it
  // sets stays with it.
  SystemErrorCode seen_by_other = 1;
  SystemErrorCode set_by_other = 0;
  std::thread other([&] {
    seen_by_other = GetLastSystemError();
    SetLastSystemError(ERROR_INVALID_DATA);
    set_by_other = GetLastSystemError();
  });
  other.join();
  EXPECT_NE(seen_by_other, static_cast<SystemErrorCode>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(set_by_other, static_cast<SystemErrorCode>(ERROR_INVALID_DATA));
}

TEST(LastErrorWinTest, KeeperRestoresAcrossACallThatDisturbsIt) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  {
    ScopedLastErrorKeeper keep;
    // Closing an invalid handle fails and sets its own error.
    CloseHandle(nullptr);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(LoggingWinTest, ALogStatementLeavesTheLastErrorAlone) {
  // Logging the error of a failed call must not change what the caller
  // reads next: the record goes through a lock and a file write.
  const logging::LogHandler previous = logging::SetLogHandler(logging::LogHandler());
  for (DWORD code : {DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_FILE_NOT_FOUND}}) {
    SetLastError(code);
    LOG(ERROR) << "LoggingWinTest error:" << GetLastError();
    EXPECT_EQ(GetLastError(), code);
  }
  logging::SetLogHandler(previous);
}

std::atomic<int> g_creations{0};

void* CreateOnce() {
  g_creations.fetch_add(1);
  // Give the other threads time to arrive while the creation runs.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  static int object = 42;
  return &object;
}

TEST(OnceWinTest, ConcurrentFirstCallersShareOneCreation) {
  static OnceValue once;
  std::vector<std::thread> threads;
  std::vector<void*> results(8, nullptr);
  for (size_t i = 0; i < results.size(); ++i)
    threads.emplace_back([&, i] { results[i] = once.Get(&CreateOnce); });
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(g_creations.load(), 1);
  for (void* result : results) {
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(*static_cast<int*>(result), 42);
  }
  EXPECT_EQ(once.Get(&CreateOnce), results[0]);
  EXPECT_EQ(g_creations.load(), 1);
}

}  // namespace
}  // namespace base
