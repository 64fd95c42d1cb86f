#include "tests/tools/tool_test_os.h"

#include <cstdlib>

namespace reference_tool_test {

std::string NoScreenReason() {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display)
    return "no X display to capture (the test suite runs under xvfb-run)";
  return "";
}

std::string RendezvousVariable() {
  // Taken only when it is closed to everyone but the user.
  return "XDG_RUNTIME_DIR";
}

}  // namespace reference_tool_test
