#include "tools/reference_tool/png_writer.h"

#include <cstring>

#include <gtest/gtest.h>
#include <png.h>

#include "tests/support/test_os.h"
#include "tests/support/test_text.h"

namespace reference_tool {
namespace {

RgbImage TestImage() {
  RgbImage image;
  image.width = 3;
  image.height = 2;
  // Every byte distinct, so a swapped channel, row or column shows.
  for (int i = 0; i < image.width * image.height * 3; ++i)
    image.pixels.push_back(static_cast<uint8_t>(i * 13 + 7));
  return image;
}

// Reads |path| back through libpng as 8-bit RGB.
bool ReadPng(const std::string& path, RgbImage* image) {
  png_image png;
  std::memset(&png, 0, sizeof(png));
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str()))
    return false;
  png.format = PNG_FORMAT_RGB;
  image->width = static_cast<int>(png.width);
  image->height = static_cast<int>(png.height);
  image->pixels.assign(PNG_IMAGE_SIZE(png), 0);
  return png_image_finish_read(&png, nullptr, image->pixels.data(), 0, nullptr) != 0;
}

class PngWriterTest : public ::testing::Test {
 protected:
  test_os::TempDir dir_;
  const std::string path_ = dir_.File("shot.png");
};

TEST_F(PngWriterTest, WritesPixelsThatReadBackUnchanged) {
  // A small image, and one of over a megabyte of pixels: many compression
  // blocks and data chunks.
  RgbImage large;
  large.width = 701;
  large.height = 503;
  large.pixels.resize(static_cast<size_t>(large.width) * large.height * 3);
  uint32_t state = 12345;
  for (uint8_t& byte : large.pixels) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(state >> 24);
  }
  for (const RgbImage& image : {TestImage(), large}) {
    std::string error;
    ASSERT_TRUE(WritePng(path_, image, &error)) << error;
    RgbImage read;
    ASSERT_TRUE(ReadPng(path_, &read));
    EXPECT_EQ(read.width, image.width);
    EXPECT_EQ(read.height, image.height);
    EXPECT_TRUE(read.pixels == image.pixels);
  }
}

TEST_F(PngWriterTest, ReplacesALargerFileCompletely) {
  ASSERT_TRUE(test_support::WriteFile(path_, std::string(100000, 'x')));
  std::string error;
  ASSERT_TRUE(WritePng(path_, TestImage(), &error)) << error;
  RgbImage read;
  EXPECT_TRUE(ReadPng(path_, &read)) << "left-over bytes of the old file would corrupt the PNG";
  EXPECT_LT(test_support::ReadFile(path_).size(), 1000u);
}

TEST_F(PngWriterTest, RefusesInconsistentImagesAndPathsItCannotWrite) {
  RgbImage empty;
  RgbImage short_buffer = TestImage();
  short_buffer.pixels.pop_back();
  RgbImage negative = TestImage();
  negative.width = -3;
  negative.height = -2;
  for (const RgbImage* image : {&empty, &short_buffer, &negative}) {
    std::string error;
    EXPECT_FALSE(WritePng(path_, *image, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(test_os::FileHasContent(path_));
  }
  // A path that cannot be written is named in the error.
  std::string error;
  const std::string path = test_os::JoinPath(dir_.File("no_such_dir"), "shot.png");
  EXPECT_FALSE(WritePng(path, TestImage(), &error));
  EXPECT_NE(error.find(path), std::string::npos) << error;
  EXPECT_FALSE(WritePng("", TestImage(), &error));
}

}  // namespace
}  // namespace reference_tool
