#include "tests/tools/tool_test_os.h"

#include <windows.h>

namespace reference_tool_test {

std::string NoScreenReason() {
  if (GetSystemMetrics(SM_CXVIRTUALSCREEN) <= 0 || GetSystemMetrics(SM_CYVIRTUALSCREEN) <= 0)
    return "the desktop has no size";
  return "";
}

std::string RendezvousVariable() {
  return "LOCALAPPDATA";
}

}  // namespace reference_tool_test
