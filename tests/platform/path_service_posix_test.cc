// POSIX only.
#include "platform/path_service.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace base {
namespace {

FilePath ExecutableDir() {
  char buffer[PATH_MAX] = {};
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  EXPECT_GT(length, 0);
  return FilePath(std::string(buffer, length > 0 ? static_cast<size_t>(length) : 0)).DirName();
}

TEST(PathServiceTest, ModuleDirOfTheExecutable) {
  FilePath dir;
  ASSERT_TRUE(PathService::Get(DIR_MODULE, &dir));
  EXPECT_EQ(dir, ExecutableDir());

  // The loader names the main executable by argv[0], which may be relative
  // to a directory we have left; the answer must not depend on that.
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(chdir("/"), 0);
  FilePath after_chdir;
  const bool found = PathService::Get(DIR_MODULE, &after_chdir);
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_TRUE(found);
  EXPECT_EQ(after_chdir, dir);
}

TEST(PathServiceTest, ModuleDirOfASharedLibrary) {
  const FilePath probe_dir = ExecutableDir().Append("path_probe");
  void* library = dlopen(probe_dir.Append(PATH_PROBE_FILE_NAME).value().c_str(), RTLD_NOW);
  ASSERT_NE(library, nullptr) << dlerror();
  using ProbeFunction = bool (*)(char*, size_t);
  auto probe = reinterpret_cast<ProbeFunction>(dlsym(library, "PathProbeModuleDir"));
  ASSERT_NE(probe, nullptr) << dlerror();
  char buffer[PATH_MAX] = {};
  EXPECT_TRUE(probe(buffer, sizeof(buffer)));
  EXPECT_EQ(FilePath(buffer), probe_dir);
  dlclose(library);
}

TEST(PathServiceTest, OverrideForTesting) {
  FilePath real;
  ASSERT_TRUE(PathService::Get(DIR_MODULE, &real));
  PathService::OverrideForTesting(DIR_MODULE, FilePath("/override/dir"));
  FilePath dir;
  EXPECT_TRUE(PathService::Get(DIR_MODULE, &dir));
  EXPECT_EQ(dir.value(), "/override/dir");
  PathService::OverrideForTesting(DIR_MODULE, FilePath());
  EXPECT_TRUE(PathService::Get(DIR_MODULE, &dir));
  EXPECT_EQ(dir, real);
}

TEST(PathServiceTest, UnknownKey) {
  FilePath dir("untouched");
  EXPECT_FALSE(PathService::Get(12345, &dir));
  EXPECT_EQ(dir.value(), "untouched");
}

}  // namespace
}  // namespace base
