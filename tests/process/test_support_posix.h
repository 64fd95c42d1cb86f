// Helpers of the POSIX process tests: pidfds for processes that are not
// our children, and the state of our children in /proc.
#ifndef TESTS_PROCESS_TEST_SUPPORT_POSIX_H_
#define TESTS_PROCESS_TEST_SUPPORT_POSIX_H_

#include <sys/types.h>

#include <chrono>
#include <vector>

#include "tests/process/test_support.h"

namespace test_support {

// A pidfd for any process (not only children), or -1.
int OpenPidfd(pid_t pid);
// True when the process of |pidfd| ended within |limit|.
bool WaitForPidfdExit(int pidfd, std::chrono::milliseconds limit = kGenerousTimeout);
// Children that ended and wait to be reaped.
std::vector<int> ZombieChildPids();

}  // namespace test_support

#endif  // TESTS_PROCESS_TEST_SUPPORT_POSIX_H_
