// The reference tool's own PNG encoder as the Windows build writes it: to a
// path that is no ANSI text. What it encodes, and what it refuses, is
// checked through libpng by png_writer_win_tests on Linux.
#include "tools/reference_tool/png_writer.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_os.h"
#include "tests/support/test_text.h"

namespace reference_tool {
namespace {

RgbImage TestImage() {
  RgbImage image;
  image.width = 3;
  image.height = 2;
  image.pixels.assign(3 * 2 * 3, 0x7f);
  return image;
}

TEST(PngWriterWinTest, WritesToAWidePath) {
  test_os::TempDir dir;
  const std::string path = dir.File("shot \xC3\xA9\xE6\x88\xAA.png");
  std::string error;
  ASSERT_TRUE(WritePng(path, TestImage(), &error)) << error;
  const std::string png = test_support::ReadFile(path);
  ASSERT_GE(png.size(), 24u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(png.substr(12, 12), std::string("IHDR\0\0\0\3\0\0\0\2", 12));
}

}  // namespace
}  // namespace reference_tool
