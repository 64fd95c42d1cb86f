// Files that sit where a tool should be but that the system refuses to
// start, each with the error the launch reports for it.
#ifndef TESTS_TOOL_PROCESS_UNLAUNCHABLE_TOOL_H_
#define TESTS_TOOL_PROCESS_UNLAUNCHABLE_TOOL_H_

#include <string>
#include <vector>

namespace snipping_tool {

struct UnlaunchableTool {
  std::string what;
  std::string content;
  bool executable;  // Marked as a program, where the system marks them.
  int error;        // What the launch reports: errno or GetLastError().
};

std::vector<UnlaunchableTool> UnlaunchableTools();
bool WriteUnlaunchableTool(const UnlaunchableTool& tool, const std::string& path);

}  // namespace snipping_tool

#endif  // TESTS_TOOL_PROCESS_UNLAUNCHABLE_TOOL_H_
