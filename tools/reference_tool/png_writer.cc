#include "tools/reference_tool/png_writer.h"

#include <cerrno>
#include <cstring>

#include <png.h>

#include "tools/reference_tool/os.h"

namespace reference_tool {

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
  std::FILE* file = OpenFileUtf8(utf8_path, "wb");
  if (!file) {
    *error = "cannot open " + utf8_path + " for writing: " + std::strerror(errno);
    return false;
  }
  // The simplified API reports errors through the image's message instead
  // of longjmp, which keeps C++ objects out of libpng's error path.
  png_image png;
  std::memset(&png, 0, sizeof(png));
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(image.width);
  png.height = static_cast<png_uint_32>(image.height);
  png.format = PNG_FORMAT_RGB;
  const int written = png_image_write_to_stdio(&png, file, 0, image.pixels.data(),
                                               image.width * 3, nullptr);
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    *error = std::string("cannot write ") + utf8_path + ": " +
             (written ? "closing the file failed" : png.message);
    png_image_free(&png);
    RemoveFileUtf8(utf8_path);
    return false;
  }
  png_image_free(&png);
  return true;
}

}  // namespace reference_tool
