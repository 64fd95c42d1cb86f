// Writing a captured picture as a PNG file.
#ifndef TOOLS_REFERENCE_TOOL_PNG_WRITER_H_
#define TOOLS_REFERENCE_TOOL_PNG_WRITER_H_

#include <string>

#include "tools/reference_tool/image.h"

namespace reference_tool {

// Writes |image| to |utf8_path| as an 8-bit RGB PNG, replacing what is
// there. False with a reason in |error| when the image is empty or
// inconsistent or the file cannot be written; no partial file is left then.
bool WritePng(const std::string& utf8_path, const RgbImage& image, std::string* error);

}  // namespace reference_tool

#endif  // TOOLS_REFERENCE_TOOL_PNG_WRITER_H_
