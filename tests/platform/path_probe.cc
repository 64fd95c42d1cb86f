// A shared library holding its own copy of the platform layer, so that the
// test sees DIR_MODULE resolved from inside a module that is not the main
// executable. PATH_PROBE_EXPORT is the platform's export mark (the build's).
#include <cstring>

#include "platform/path_service.h"

extern "C" PATH_PROBE_EXPORT bool PathProbeModuleDir(char* out, size_t size) {
  base::FilePath dir;
  if (!base::PathService::Get(base::DIR_MODULE, &dir))
    return false;
  const std::string utf8 = dir.AsUTF8Unsafe();
  if (utf8.size() >= size)
    return false;
  std::memcpy(out, utf8.c_str(), utf8.size() + 1);
  return true;
}
