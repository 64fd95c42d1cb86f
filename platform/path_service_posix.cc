// POSIX only.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/logging.h"
#include "platform/path_service_internal.h"

namespace base {
namespace internal {
namespace {

// An object of the platform layer's own module: its address is what we ask
// the dynamic loader about.
const char kModuleAnchor = 0;

bool ReadSelfExe(FilePath* path) {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) {
    LOG(ERROR) << "GetModulePath readlink /proc/self/exe failed errno:" << errno;
    return false;
  }
  *path = FilePath(FilePath::StringType(buffer, static_cast<size_t>(length)));
  return true;
}

}  // namespace

bool GetModulePath(FilePath* path) {
  Dl_info self = {};
  if (!dladdr(&kModuleAnchor, &self) || !self.dli_fname) {
    LOG(ERROR) << "GetModulePath dladdr found no module";
    return false;
  }
  // For the main executable the loader reports argv[0], which may be
  // relative to a directory we have since left. The program headers of the
  // main executable lie inside it, so comparing load bases tells the two
  // cases apart, and the kernel's link names the executable reliably.
  Dl_info main_program = {};
  const unsigned long phdr = getauxval(AT_PHDR);
  if (phdr && dladdr(reinterpret_cast<const void*>(phdr), &main_program) &&
      main_program.dli_fbase == self.dli_fbase) {
    return ReadSelfExe(path);
  }
  std::unique_ptr<char, decltype(&free)> resolved(realpath(self.dli_fname, nullptr), &free);
  if (!resolved) {
    LOG(ERROR) << "GetModulePath realpath failed for " << self.dli_fname << " errno:" << errno;
    return false;
  }
  *path = FilePath(FilePath::StringType(resolved.get()));
  return true;
}

}  // namespace internal
}  // namespace base
