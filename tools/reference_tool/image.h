// A captured picture: 8-bit RGB, rows top to bottom, no padding.
#ifndef TOOLS_REFERENCE_TOOL_IMAGE_H_
#define TOOLS_REFERENCE_TOOL_IMAGE_H_

#include <cstdint>
#include <vector>

namespace reference_tool {

struct RgbImage {
  int width = 0;
  int height = 0;
  // Where the picture's top-left corner lies on the screen.
  int origin_x = 0;
  int origin_y = 0;
  std::vector<uint8_t> pixels;  // width * height * 3 bytes
};

}  // namespace reference_tool

#endif  // TOOLS_REFERENCE_TOOL_IMAGE_H_
