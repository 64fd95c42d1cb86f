#include "platform/path_service.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_os.h"

namespace base {
namespace {

FilePath ExecutableDir() {
  return FilePath::FromUTF8Unsafe(test_os::ExecutableDir());
}

TEST(PathServiceTest, ModuleDirOfTheExecutableWhateverTheWorkingDirectory) {
  FilePath dir;
  ASSERT_TRUE(PathService::Get(DIR_MODULE, &dir));
  EXPECT_EQ(dir, ExecutableDir());
  // The loader may name the executable relative to a directory we have
  // left; the answer must not depend on that.
  const std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path(std::filesystem::temp_directory_path());
  FilePath after_chdir;
  const bool found = PathService::Get(DIR_MODULE, &after_chdir);
  std::filesystem::current_path(cwd);
  ASSERT_TRUE(found);
  EXPECT_EQ(after_chdir, dir);
}

TEST(PathServiceTest, ModuleDirInsideASharedLibraryIsTheLibrarysOwn) {
  // path_probe, built into a directory of its own with its own copy of the
  // platform layer, reports its DIR_MODULE as UTF-8.
  const std::string probe_dir = test_os::JoinPath(test_os::ExecutableDir(), "path_probe");
  using ProbeFunction = bool (*)(char*, size_t);
  auto probe = reinterpret_cast<ProbeFunction>(
      test_os::LibrarySymbol(test_os::JoinPath(probe_dir, PATH_PROBE_FILE_NAME), "PathProbeModuleDir"));
  ASSERT_NE(probe, nullptr);
  char buffer[4096] = {};
  EXPECT_TRUE(probe(buffer, sizeof(buffer)));
  EXPECT_EQ(FilePath::FromUTF8Unsafe(buffer), FilePath::FromUTF8Unsafe(probe_dir));
}

}  // namespace
}  // namespace base
