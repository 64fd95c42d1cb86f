// Loading the agent library at run time, the way the messaging client does:
// by path, then the factory by name. loader_posix.cc and loader_win.cc.
#ifndef TOOLS_DEMO_HOST_LIBRARY_LOADER_H_
#define TOOLS_DEMO_HOST_LIBRARY_LOADER_H_

#include <string>

namespace demo_host {

// The agent library next to this executable (libsnipping_tool_agent.so,
// snipping_tool_agent.dll), as UTF-8.
std::string DefaultAgentLibraryPath();

// Loads the library at |utf8_path| and returns the address of |symbol| in
// it, or null with a reason in |error|. The library stays loaded for the
// life of the process: the agent's runtime threads live as long as that.
void* LoadLibraryAndResolve(const std::string& utf8_path, const char* symbol, std::string* error);

}  // namespace demo_host

#endif  // TOOLS_DEMO_HOST_LIBRARY_LOADER_H_
