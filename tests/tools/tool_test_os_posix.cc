#include "tests/tools/tool_test_os.h"

#include <sys/stat.h>

#include <cstdlib>

#include "tests/support/test_os.h"

namespace reference_tool_test {

std::string NoScreenReason() {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display)
    return "no X display to capture (the test suite runs under xvfb-run)";
  return "";
}

std::map<std::string, std::string> NoScreenEnvironment() {
  return {{"DISPLAY", ""}};
}

Rendezvous RendezvousIn(const std::string& dir, const std::string& identity) {
  // The runtime takes XDG_RUNTIME_DIR only when it is closed to everyone
  // but the user.
  chmod(dir.c_str(), 0700);
  return {"XDG_RUNTIME_DIR", test_os::JoinPath(test_os::JoinPath(dir, "quillo-ipc"), identity)};
}

}  // namespace reference_tool_test
