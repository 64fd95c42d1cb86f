// The Windows PNG writer, read back by a decoder of this test's own: chunk
// CRCs computed bit by bit, stored deflate blocks, the Adler-32 sum, and the
// rows with their filter bytes.
#include "tools/reference_tool/png_writer.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/reference_tool/os.h"

namespace reference_tool {
namespace {

uint32_t BigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint32_t BitwiseCrc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

struct Decoded {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;
  int idat_chunks = 0;
  int stored_blocks = 0;
};

// Fails the test (and returns false) at the first thing a reader would
// refuse.
bool Decode(const std::vector<uint8_t>& png, Decoded* out) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  EXPECT_GE(png.size(), 8u);
  if (png.size() < 8 || !std::equal(kSignature, kSignature + 8, png.begin()))
    return false;
  std::vector<uint8_t> z;
  bool ended = false;
  for (size_t at = 8; at < png.size();) {
    if (png.size() - at < 12)
      return false;
    const uint32_t length = BigEndian32(&png[at]);
    const std::string type(png.begin() + at + 4, png.begin() + at + 8);
    if (png.size() - at - 12 < length)
      return false;
    EXPECT_EQ(BitwiseCrc32(&png[at + 4], 4 + length), BigEndian32(&png[at + 8 + length]))
        << type;
    const uint8_t* data = &png[at + 8];
    if (type == "IHDR") {
      EXPECT_EQ(length, 13u);
      out->width = BigEndian32(data);
      out->height = BigEndian32(data + 4);
      EXPECT_EQ(data[8], 8) << "bit depth";
      EXPECT_EQ(data[9], 2) << "colour type RGB";
      EXPECT_EQ(data[12], 0) << "no interlace";
    } else if (type == "IDAT") {
      z.insert(z.end(), data, data + length);
      ++out->idat_chunks;
    } else if (type == "IEND") {
      ended = true;
    }
    at += 12 + length;
  }
  EXPECT_TRUE(ended);
  // zlib header, then stored blocks, then the Adler-32 of the raw data.
  if (z.size() < 6 || ((z[0] << 8) | z[1]) % 31 != 0 || (z[0] & 0x0F) != 8)
    return false;
  std::vector<uint8_t> raw;
  size_t at = 2;
  for (bool last = false; !last;) {
    if (z.size() - at < 5)
      return false;
    last = z[at] & 1;
    EXPECT_EQ(z[at] >> 1, 0) << "stored block";
    const uint16_t length = static_cast<uint16_t>(z[at + 1] | (z[at + 2] << 8));
    const uint16_t complement = static_cast<uint16_t>(z[at + 3] | (z[at + 4] << 8));
    EXPECT_EQ(static_cast<uint16_t>(~length), complement);
    at += 5;
    if (z.size() - at < length)
      return false;
    raw.insert(raw.end(), z.begin() + static_cast<std::ptrdiff_t>(at),
               z.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
    ++out->stored_blocks;
  }
  EXPECT_EQ(z.size() - at, 4u);
  uint32_t a = 1, b = 0;
  for (uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  EXPECT_EQ((b << 16) | a, BigEndian32(&z[at]));

  const size_t row = size_t{out->width} * 3;
  EXPECT_EQ(raw.size(), (row + 1) * out->height);
  if (raw.size() != (row + 1) * out->height)
    return false;
  for (uint32_t y = 0; y < out->height; ++y) {
    EXPECT_EQ(raw[y * (row + 1)], 0) << "filter of row " << y;
    out->pixels.insert(out->pixels.end(), raw.begin() + y * (row + 1) + 1,
                       raw.begin() + (y + 1) * (row + 1));
  }
  return true;
}

RgbImage TestImage(int width, int height) {
  RgbImage image;
  image.width = width;
  image.height = height;
  // Distinct neighbouring bytes, so a swapped channel, row or column shows.
  for (int i = 0; i < width * height * 3; ++i)
    image.pixels.push_back(static_cast<uint8_t>(i * 13 + i / 251));
  return image;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class PngWriterWinTest : public ::testing::Test {
 protected:
  void TearDown() override { RemoveFileUtf8(path_); }
  const std::string path_ = ::testing::TempDir() + "png_writer_win_test.png";
};

TEST_F(PngWriterWinTest, ASmallImageReadsBackUnchanged) {
  const RgbImage image = TestImage(3, 2);
  std::string error;
  ASSERT_TRUE(WritePng(path_, image, &error)) << error;
  Decoded decoded;
  ASSERT_TRUE(Decode(ReadFile(path_), &decoded));
  EXPECT_EQ(decoded.width, 3u);
  EXPECT_EQ(decoded.height, 2u);
  EXPECT_EQ(decoded.pixels, image.pixels);
}

TEST_F(PngWriterWinTest, AScreenSizedImageSpansBlocksAndChunks) {
  // About 1.4 MB of rows: more than one stored block (64 KiB each) and more
  // than one IDAT chunk.
  const RgbImage image = TestImage(800, 600);
  std::string error;
  ASSERT_TRUE(WritePng(path_, image, &error)) << error;
  Decoded decoded;
  ASSERT_TRUE(Decode(ReadFile(path_), &decoded));
  EXPECT_GT(decoded.stored_blocks, 1);
  EXPECT_GT(decoded.idat_chunks, 1);
  EXPECT_EQ(decoded.width, 800u);
  EXPECT_EQ(decoded.height, 600u);
  EXPECT_EQ(decoded.pixels, image.pixels);
}

TEST_F(PngWriterWinTest, RefusesInconsistentImagesAndUnwritablePaths) {
  RgbImage short_buffer = TestImage(3, 2);
  short_buffer.pixels.pop_back();
  std::string error;
  EXPECT_FALSE(WritePng(path_, short_buffer, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(ReadFile(path_).empty());
  const std::string missing = ::testing::TempDir() + "no\\such\\dir\\shot.png";
  EXPECT_FALSE(WritePng(missing, TestImage(3, 2), &error));
  EXPECT_NE(error.find(missing), std::string::npos) << error;
}

}  // namespace
}  // namespace reference_tool
