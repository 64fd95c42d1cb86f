#include "tests/tools/tool_test_os.h"

#include <windows.h>

#include "tests/support/test_os.h"

namespace reference_tool_test {

std::string NoScreenReason() {
  if (GetSystemMetrics(SM_CXVIRTUALSCREEN) <= 0 || GetSystemMetrics(SM_CYVIRTUALSCREEN) <= 0)
    return "the desktop has no size";
  return "";
}

std::map<std::string, std::string> NoScreenEnvironment() {
  return {};
}

Rendezvous RendezvousIn(const std::string& dir, const std::string& identity) {
  return {"LOCALAPPDATA",
          test_os::JoinPath(test_os::JoinPath(test_os::JoinPath(dir, "Quillo"), "ipc"), identity)};
}

}  // namespace reference_tool_test
