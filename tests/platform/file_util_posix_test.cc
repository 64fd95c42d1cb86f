// POSIX only.
#include "platform/file_util.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>

namespace base {
namespace {

TEST(FileUtilTest, PathExists) {
  char dir_template[] = "/tmp/platform_test_XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const FilePath dir(dir_template);
  const FilePath file = dir.Append("file.txt");
  EXPECT_TRUE(PathExists(dir));
  EXPECT_FALSE(PathExists(file));
  std::ofstream(file.value()) << "x";
  EXPECT_TRUE(PathExists(file));
  EXPECT_FALSE(PathExists(FilePath()));
  EXPECT_FALSE(PathExists(dir.Append("missing").Append("file.txt")));
  unlink(file.value().c_str());
  rmdir(dir.value().c_str());
  EXPECT_FALSE(PathExists(dir));
}

}  // namespace
}  // namespace base
