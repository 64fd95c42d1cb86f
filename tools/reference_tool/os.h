// The few operating-system services the reference tool needs, implemented
// in os_posix.cc and os_win.cc.
#ifndef TOOLS_REFERENCE_TOOL_OS_H_
#define TOOLS_REFERENCE_TOOL_OS_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace reference_tool {

// fopen with a UTF-8 path (Windows paths are wide).
std::FILE* OpenFileUtf8(const std::string& utf8_path, const char* mode);
void RemoveFileUtf8(const std::string& utf8_path);

// The arguments after the program name, as UTF-8.
std::vector<std::string> ArgumentsUtf8(int argc, char** argv);

enum class SleeperKind {
  kChild,       // our child
  kNewSession,  // our child, in a session of its own (POSIX setsid)
  kDaemon,      // double-forked into a session of its own: its parent has
                // ended, so it is nobody's child of ours
};

// Starts this executable again as a sleeper that lives |ms| milliseconds,
// with its standard streams on the null device so that it holds no pipe of
// whoever reads ours. Returns its process id, or -1 with |error| set. The
// sleeper is deliberately not tied to our life: whether it dies with the
// tool is what the tests want to observe of the agent's process handling.
// On Windows the two detached kinds start it in a new process group.
int64_t SpawnSleeper(int ms, SleeperKind kind, std::string* error);

int64_t CurrentProcessId();

}  // namespace reference_tool

#endif  // TOOLS_REFERENCE_TOOL_OS_H_
