// Windows only: the Windows build has no libpng, so the PNG is encoded here.
//
// The picture is a screenshot handed straight to the host, so size matters
// less than having no dependency: the zlib stream uses "stored" deflate
// blocks (no compression), each at most 65535 bytes, with the Adler-32 sum
// of the raw data at its end. Every row starts with filter type 0 (none).
#include "tools/reference_tool/png_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tools/reference_tool/os.h"

namespace reference_tool {
namespace {

constexpr size_t kMaxStoredBlock = 65535;
// Each IDAT chunk carries at most this much of the zlib stream; readers
// accept any split, and smaller chunks keep every length far from 2^31.
constexpr size_t kMaxIdatChunk = 1 << 20;

// CRC-32 as PNG (and zlib) define it: polynomial 0xEDB88320, reflected.
class Crc32 {
 public:
  Crc32() {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k)
        c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table_[n] = c;
    }
  }
  uint32_t Of(const uint8_t* data, size_t size, uint32_t crc = 0) const {
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
      crc = table_[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
  }

 private:
  uint32_t table_[256];
};

void PutBigEndian32(std::vector<uint8_t>* out, uint32_t value) {
  out->push_back(static_cast<uint8_t>(value >> 24));
  out->push_back(static_cast<uint8_t>(value >> 16));
  out->push_back(static_cast<uint8_t>(value >> 8));
  out->push_back(static_cast<uint8_t>(value));
}

// A chunk: length, type, data, and the CRC over type and data.
void PutChunk(std::vector<uint8_t>* out, const Crc32& crc32, const char type[4],
              const uint8_t* data, size_t size) {
  PutBigEndian32(out, static_cast<uint32_t>(size));
  const size_t type_at = out->size();
  out->insert(out->end(), type, type + 4);
  out->insert(out->end(), data, data + size);
  PutBigEndian32(out, crc32.Of(out->data() + type_at, 4 + size));
}

// The rows, each led by its filter byte, as a zlib stream of stored blocks.
std::vector<uint8_t> ZlibStored(const RgbImage& image) {
  const size_t row_bytes = static_cast<size_t>(image.width) * 3;
  std::vector<uint8_t> raw;
  raw.reserve((row_bytes + 1) * static_cast<size_t>(image.height));
  for (int y = 0; y < image.height; ++y) {
    raw.push_back(0);
    const uint8_t* row = image.pixels.data() + row_bytes * static_cast<size_t>(y);
    raw.insert(raw.end(), row, row + row_bytes);
  }

  std::vector<uint8_t> z;
  z.reserve(raw.size() + raw.size() / kMaxStoredBlock * 5 + 16);
  // CMF: deflate with a 32K window; FLG: no dictionary, check bits making
  // CMF*256+FLG a multiple of 31.
  z.push_back(0x78);
  z.push_back(0x01);
  size_t offset = 0;
  do {
    const size_t size = std::min(kMaxStoredBlock, raw.size() - offset);
    const bool last = offset + size == raw.size();
    z.push_back(last ? 1 : 0);  // BFINAL, BTYPE 00: stored
    z.push_back(static_cast<uint8_t>(size));
    z.push_back(static_cast<uint8_t>(size >> 8));
    z.push_back(static_cast<uint8_t>(~size));
    z.push_back(static_cast<uint8_t>(~size >> 8));
    z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(offset),
             raw.begin() + static_cast<std::ptrdiff_t>(offset + size));
    offset += size;
  } while (offset < raw.size());

  // Adler-32; 5552 bytes is the most that can be summed before the 32-bit
  // sums must be reduced.
  uint32_t a = 1, b = 0;
  for (size_t i = 0; i < raw.size();) {
    const size_t end = std::min(raw.size(), i + 5552);
    for (; i < end; ++i) {
      a += raw[i];
      b += a;
    }
    a %= 65521;
    b %= 65521;
  }
  PutBigEndian32(&z, (b << 16) | a);
  return z;
}

std::vector<uint8_t> EncodePng(const RgbImage& image) {
  static const Crc32 crc32;
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

  std::vector<uint8_t> header;
  PutBigEndian32(&header, static_cast<uint32_t>(image.width));
  PutBigEndian32(&header, static_cast<uint32_t>(image.height));
  header.push_back(8);  // bits per channel
  header.push_back(2);  // colour type: RGB
  header.push_back(0);  // compression: deflate
  header.push_back(0);  // filter method 0
  header.push_back(0);  // no interlace
  PutChunk(&png, crc32, "IHDR", header.data(), header.size());

  const std::vector<uint8_t> z = ZlibStored(image);
  for (size_t offset = 0; offset < z.size(); offset += kMaxIdatChunk)
    PutChunk(&png, crc32, "IDAT", z.data() + offset, std::min(kMaxIdatChunk, z.size() - offset));
  PutChunk(&png, crc32, "IEND", nullptr, 0);
  return png;
}

}  // namespace

bool WritePng(const std::string& utf8_path, const RgbImage& image, std::string* error) {
  if (image.width <= 0 || image.height <= 0 ||
      image.pixels.size() != static_cast<size_t>(image.width) * image.height * 3) {
    *error = "the image is empty or its pixel buffer does not match its size";
    return false;
  }
  if (utf8_path.empty()) {
    *error = "no path to write the image to";
    return false;
  }
  const std::vector<uint8_t> png = EncodePng(image);
  std::FILE* file = OpenFileUtf8(utf8_path, "wb");
  if (!file) {
    *error = "cannot open " + utf8_path + " for writing: " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(png.data(), 1, png.size(), file) == png.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    *error = "cannot write " + utf8_path + ": " + std::strerror(errno);
    RemoveFileUtf8(utf8_path);
    return false;
  }
  return true;
}

}  // namespace reference_tool
