#include "platform/file_util.h"

#include <gtest/gtest.h>

#include "tests/support/test_os.h"
#include "tests/support/test_text.h"

namespace base {
namespace {

TEST(FileUtilTest, PathExistsForFilesAndDirectoriesOnly) {
  auto exists = [](const std::string& utf8) { return PathExists(FilePath::FromUTF8Unsafe(utf8)); };
  std::string dir;
  {
    test_os::TempDir temp;
    dir = temp.path();
    const std::string file = temp.File("shot \xC3\xA9.png");
    EXPECT_TRUE(exists(dir));
    EXPECT_FALSE(exists(file));
    ASSERT_TRUE(test_support::WriteFile(file, "x"));
    EXPECT_TRUE(exists(file));
    EXPECT_FALSE(exists(test_os::JoinPath(temp.File("missing"), "file.txt")));
    EXPECT_FALSE(PathExists(FilePath()));
  }
  EXPECT_FALSE(exists(dir));
}

}  // namespace
}  // namespace base
