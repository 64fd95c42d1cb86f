#include <sys/stat.h>

#include <cerrno>
#include <fstream>

#include "tests/tool_process/unlaunchable_tool.h"

namespace snipping_tool {

std::vector<UnlaunchableTool> UnlaunchableTools() {
  return {{"a file that may not be executed", "plain text", false, EACCES},
          {"an executable of no known format", std::string("\x7f\x01\x02garbage", 10), true, ENOEXEC}};
}

bool WriteUnlaunchableTool(const UnlaunchableTool& tool, const std::string& path) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << tool.content;
    if (!out)
      return false;
  }
  return chmod(path.c_str(), tool.executable ? 0700 : 0600) == 0;
}

}  // namespace snipping_tool
