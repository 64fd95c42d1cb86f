#include "tests/tools/tool_test_os.h"

#include <sys/stat.h>

#include <cstdlib>

namespace reference_tool_test {

std::string NoScreenReason() {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display)
    return "no X display to capture (the test suite runs under xvfb-run)";
  return "";
}

std::string RendezvousVariableFor(const std::string& dir) {
  // The runtime takes XDG_RUNTIME_DIR only when it is closed to everyone
  // but the user.
  chmod(dir.c_str(), 0700);
  return "XDG_RUNTIME_DIR";
}

}  // namespace reference_tool_test
