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

// Where an agent of |identity| publishes its port once the rendezvous
// location is moved into the directory |dir|: the environment variable that
// moves it (to be set for this process and handed to the tool) and the
// record's path.
struct Rendezvous {
  std::string variable;
  std::string record;
};
Rendezvous RendezvousIn(const std::string& dir, const std::string& identity);

}  // namespace reference_tool_test

#endif  // TESTS_TOOLS_TOOL_TEST_OS_H_
