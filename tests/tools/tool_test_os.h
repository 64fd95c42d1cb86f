// What the tests of the reference tool and the demo host share: what they
// ask of the operating system beyond tests/support/test_os.h (in
// tool_test_os_<os>.cc), and where a shot cannot be saved.
#ifndef TESTS_TOOLS_TOOL_TEST_OS_H_
#define TESTS_TOOLS_TOOL_TEST_OS_H_

#include <filesystem>
#include <string>

#include "tests/support/test_os.h"

namespace reference_tool_test {

// Empty when a tool started from this process has a screen to capture;
// otherwise why it has none.
std::string NoScreenReason();

// The environment variable that moves the rendezvous location, for this
// process and the tool, into a directory it names (private to the user, as
// a test_os::TempDir is).
std::string RendezvousVariable();

inline bool PathExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::u8path(path), error);
}

// A file in a subdirectory of |dir| that does not exist: nothing can be
// saved there, on any platform.
inline std::string UnsavableFile(const test_os::TempDir& dir, const std::string& name) {
  return test_os::JoinPath(dir.File("no_such_directory"), name);
}

// The "snipping_event" the tool reports for a shot it is asked to save
// there: the save fails (3) when there is a screen to capture, the capture
// itself (2) when there is none. No file either way.
inline int UnsavableShotEvent() {
  return NoScreenReason().empty() ? 3 : 2;
}

}  // namespace reference_tool_test

#endif  // TESTS_TOOLS_TOOL_TEST_OS_H_
