#include "tests/process/test_support.h"

namespace test_support {

std::vector<int> LaunchedChildPids() {
  // Windows jobs need no helper process: every child was launched.
  return ChildProcesses();
}

}  // namespace test_support
