#include "platform/path_service.h"

#include <map>
#include <mutex>

#include "platform/path_service_internal.h"

namespace base {
namespace {

std::mutex g_overrides_lock;

// Never destroyed, so that a lookup made while static objects are being
// destroyed still finds a valid map.
std::map<int, FilePath>& Overrides() {
  static auto* overrides = new std::map<int, FilePath>();
  return *overrides;
}

}  // namespace

bool PathService::Get(int key, FilePath* result) {
  {
    std::lock_guard<std::mutex> lock(g_overrides_lock);
    const auto it = Overrides().find(key);
    if (it != Overrides().end()) {
      *result = it->second;
      return true;
    }
  }
  if (key != DIR_MODULE)
    return false;
  FilePath module;
  if (!internal::GetModulePath(&module))
    return false;
  *result = module.DirName();
  return true;
}

void PathService::OverrideForTesting(int key, const FilePath& path) {
  std::lock_guard<std::mutex> lock(g_overrides_lock);
  if (path.empty())
    Overrides().erase(key);
  else
    Overrides()[key] = path;
}

}  // namespace base
