// What the child program of the process tests asks of its system.
#ifndef TESTS_PROCESS_TEST_CHILD_OS_H_
#define TESTS_PROCESS_TEST_CHILD_OS_H_

#include <string>
#include <vector>

namespace test_child {

// The arguments as the system hands them to the program, UTF-8.
std::vector<std::string> Arguments(int argc, char** argv);
// The path this program was started under (a link or copy keeps its own
// name), whose "<path>.actions" file holds its orders.
std::string ProgramPath(int argc, char** argv);
// "NAME=value" entries of the environment, UTF-8.
std::vector<std::string> EnvironmentEntries();
// The open descriptors, where the system numbers them; empty elsewhere.
std::vector<std::string> OpenDescriptors();
// Starts |program| again with the order to wait forever; its pid, or 0.
int StartWaitingCopy(const std::string& program);
// The same copy, cut loose from this program the way daemons do: with
// |daemon| false it starts a session of its own (POSIX setsid); with
// |daemon| true it is double-forked as well, so that its parent has ended
// before it runs. Windows starts it detached, in a new process group.
int StartDetachedCopy(const std::string& program, bool daemon);
[[noreturn]] void WaitForever();

}  // namespace test_child

#endif  // TESTS_PROCESS_TEST_CHILD_OS_H_
