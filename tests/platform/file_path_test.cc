#include "platform/file_path.h"

#include <gtest/gtest.h>

#include "platform/file_path_rules.h"

namespace base {
namespace {

using internal::PathStyle;

struct PathCase {
  const char* path;
  const char* expected;
};

std::string DirName(PathStyle style, const char* path) {
  return internal::PathDirName<char>(style, path);
}

std::string BaseName(PathStyle style, const char* path) {
  return internal::PathBaseName<char>(style, path);
}

TEST(FilePathRulesTest, WindowsDirName) {
  const PathCase cases[] = {
      {"C:\\a\\b", "C:\\a"},
      {"C:\\a", "C:\\"},
      {"C:\\", "C:\\"},
      {"C:", "C:"},
      {"C:a", "C:"},
      {"C:a\\b", "C:a"},
      {"c:/a/b/", "c:/a"},
      {"C:\\a\\\\", "C:\\"},
      {"C:\\a\\\\b", "C:\\a"},
      {"C:\\\\", "C:\\\\"},
      {"\\\\server\\share\\x", "\\\\server\\share"},
      {"\\\\server\\share\\x\\y\\", "\\\\server\\share\\x"},
      {"\\\\server\\share\\", "\\\\server\\share"},
      {"\\\\server\\share", "\\\\server\\share"},
      {"\\\\server\\", "\\\\server"},
      {"\\\\server", "\\\\server"},
      {"//server/share/x", "//server/share"},
      {"\\a", "\\"},
      {"\\", "\\"},
      {"/a/b", "/a"},
      {"a\\b", "a"},
      {"a/b\\c", "a/b"},
      {"a\\", "."},
      {"a", "."},
      {"", "."},
      {"1:\\a", "1:"},  // not a drive: digits name no drive
  };
  for (const PathCase& c : cases)
    EXPECT_EQ(DirName(PathStyle::kWindows, c.path), c.expected) << c.path;
}

TEST(FilePathRulesTest, PosixDirName) {
  const PathCase cases[] = {
      {"/a/b", "/a"},   {"/a/b/", "/a"}, {"/a", "/"},    {"/", "/"},      {"//", "//"},
      {"//a", "//"},    {"a/b", "a"},    {"a//b", "a"},  {"a/b//", "a"},  {"a", "."},
      {"a/", "."},      {"", "."},       {"a\\b", "."},  {"C:\\a", "."},  {"/a\\b/c", "/a\\b"},
  };
  for (const PathCase& c : cases)
    EXPECT_EQ(DirName(PathStyle::kPosix, c.path), c.expected) << c.path;
}

TEST(FilePathRulesTest, BaseName) {
  const PathCase windows[] = {
      {"C:\\a\\b.log", "b.log"}, {"C:\\a\\", "a"},  {"C:\\", "C:\\"},  {"C:", "C:"},
      {"C:x", "x"},              {"a/b\\c", "c"},   {"\\\\s\\sh", "\\\\s\\sh"},
      {"\\\\s\\sh\\f", "f"},     {"", ""},
  };
  for (const PathCase& c : windows)
    EXPECT_EQ(BaseName(PathStyle::kWindows, c.path), c.expected) << c.path;
  const PathCase posix[] = {
      {"/a/b", "b"}, {"/a/b/", "b"}, {"/", "/"}, {"a", "a"}, {"a\\b", "a\\b"}, {"", ""},
  };
  for (const PathCase& c : posix)
    EXPECT_EQ(BaseName(PathStyle::kPosix, c.path), c.expected) << c.path;
}

TEST(FilePathRulesTest, Append) {
  auto append = [](PathStyle style, const char* path, const char* component, char separator) {
    return internal::PathAppend<char>(style, path, component, separator);
  };
  EXPECT_EQ(append(PathStyle::kPosix, "a", "b", '/'), "a/b");
  EXPECT_EQ(append(PathStyle::kPosix, "a/", "b", '/'), "a/b");
  EXPECT_EQ(append(PathStyle::kPosix, "/", "b", '/'), "/b");
  EXPECT_EQ(append(PathStyle::kPosix, "", "b", '/'), "b");
  EXPECT_EQ(append(PathStyle::kPosix, "a", "/b", '/'), "a/b");
  EXPECT_EQ(append(PathStyle::kPosix, "a", "", '/'), "a");
  EXPECT_EQ(append(PathStyle::kPosix, "a", "b/c", '/'), "a/b/c");
  EXPECT_EQ(append(PathStyle::kWindows, "C:\\a", "b.exe", '\\'), "C:\\a\\b.exe");
  EXPECT_EQ(append(PathStyle::kWindows, "C:\\", "b", '\\'), "C:\\b");
  EXPECT_EQ(append(PathStyle::kWindows, "C:/x/", "y", '\\'), "C:/x/y");
  EXPECT_EQ(append(PathStyle::kWindows, "\\\\s\\sh", "\\f", '\\'), "\\\\s\\sh\\f");
}

TEST(FilePathTest, NativePathFollowsThePlatformRules) {
  // '/' separates on both platforms; Append adds the platform's own.
  const FilePath path = FilePath::FromUTF8Unsafe("dir/\xE5\xBF\xAB/bin/tool");
  EXPECT_EQ(path.AsUTF8Unsafe(), "dir/\xE5\xBF\xAB/bin/tool");
  EXPECT_EQ(path.DirName().AsUTF8Unsafe(), "dir/\xE5\xBF\xAB/bin");
  EXPECT_EQ(path.DirName().DirName().DirName().DirName().AsUTF8Unsafe(), ".");
  EXPECT_EQ(path.BaseName().AsUTF8Unsafe(), "tool");
  EXPECT_EQ(path.DirName().Append(FilePath::FromUTF8Unsafe("other")).AsUTF8Unsafe(),
            "dir/\xE5\xBF\xAB/bin" + std::string(1, static_cast<char>(FilePath::kSeparator)) +
                "other");
  EXPECT_EQ(FilePath().DirName().AsUTF8Unsafe(), ".");
}

}  // namespace
}  // namespace base
