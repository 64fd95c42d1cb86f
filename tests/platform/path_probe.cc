// A shared library holding its own copy of the platform layer, so that the
// test sees DIR_MODULE resolved from inside a module that is not the main
// executable.
#include <cstring>

#include "platform/path_service.h"

extern "C" __attribute__((visibility("default"))) bool PathProbeModuleDir(char* out,
                                                                         size_t size) {
  base::FilePath dir;
  if (!base::PathService::Get(base::DIR_MODULE, &dir) || dir.value().size() >= size)
    return false;
  std::memcpy(out, dir.value().c_str(), dir.value().size() + 1);
  return true;
}
