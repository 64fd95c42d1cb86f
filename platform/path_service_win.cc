// Windows only.
// wingdi.h defines ERROR, which would break LOG(ERROR); nothing here draws.
#define NOGDI
#include <windows.h>

#include <string>

#include "platform/logging.h"
#include "platform/path_service_internal.h"

namespace base {
namespace internal {
namespace {

// An object of the platform layer's own module. Asking which module holds
// its address names the agent DLL when the layer is linked into it, where
// GetModuleFileNameW(nullptr) would name the host's executable.
const char kModuleAnchor = 0;

}  // namespace

bool GetModulePath(FilePath* path) {
  HMODULE module = nullptr;
  // UNCHANGED_REFCOUNT: the module holds this very code, so it cannot be
  // unloaded while we ask; no reference needs to be taken and released.
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&kModuleAnchor), &module)) {
    LOG(ERROR) << "GetModulePath GetModuleHandleExW failed error:" << GetLastError();
    return false;
  }
  // The name may exceed MAX_PATH (long-path prefixes); a full buffer means
  // it was cut short, so grow and ask again.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      LOG(ERROR) << "GetModulePath GetModuleFileNameW failed error:" << GetLastError();
      return false;
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      break;
    }
    if (buffer.size() >= 32768) {
      LOG(ERROR) << "GetModulePath module path too long";
      return false;
    }
    buffer.resize(buffer.size() * 2);
  }
  *path = FilePath(std::move(buffer));
  return true;
}

}  // namespace internal
}  // namespace base
