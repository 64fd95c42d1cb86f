// What the tests of the reference tool and the demo host ask of the
// operating system beyond tests/support/test_os.h: one interface,
// implemented in tool_test_os_posix.cc and tool_test_os_win.cc.
#ifndef TESTS_TOOLS_TOOL_TEST_OS_H_
#define TESTS_TOOLS_TOOL_TEST_OS_H_

#include <string>

namespace reference_tool_test {

// Empty when the tool started from this process has a screen to capture;
// otherwise why it has none (POSIX: no X display; a Windows desktop is
// always there).
std::string NoScreenReason();

}  // namespace reference_tool_test

#endif  // TESTS_TOOLS_TOOL_TEST_OS_H_
