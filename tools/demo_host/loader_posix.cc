// POSIX only.
#include "tools/demo_host/library_loader.h"

#include <dlfcn.h>
#include <unistd.h>

namespace demo_host {

std::string DefaultAgentLibraryPath() {
  constexpr char kFileName[] = "libsnipping_tool_agent.so";
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0)
    return std::string("./") + kFileName;
  const std::string self(path, static_cast<size_t>(length));
  return self.substr(0, self.rfind('/') + 1) + kFileName;
}

void* LoadLibraryAndResolve(const std::string& utf8_path, const char* symbol, std::string* error) {
  // RTLD_LOCAL: the agent's symbols must not leak into the host, and the
  // host's must not satisfy the agent's; only the one export is looked up.
  void* library = dlopen(utf8_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* reason = dlerror();
    *error = reason ? reason : "dlopen failed";
    return nullptr;
  }
  void* address = dlsym(library, symbol);
  if (!address) {
    const char* reason = dlerror();
    *error = std::string(symbol) + " not found: " + (reason ? reason : "dlsym failed");
    return nullptr;
  }
  return address;
}

}  // namespace demo_host
