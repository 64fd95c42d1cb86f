#include <windows.h>

#include <fstream>

#include "tests/tool_process/unlaunchable_tool.h"

namespace snipping_tool {

std::vector<UnlaunchableTool> UnlaunchableTools() {
  // Windows has no execute mark on files: what it refuses is what is no
  // program image.
  return {{"an executable of no known format", std::string("MZ\x01\x02garbage", 11), true,
           static_cast<int>(ERROR_BAD_EXE_FORMAT)}};
}

bool WriteUnlaunchableTool(const UnlaunchableTool& tool, const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << tool.content;
  return static_cast<bool>(out);
}

}  // namespace snipping_tool
