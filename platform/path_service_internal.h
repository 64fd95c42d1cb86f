// What each platform supplies to PathService.
#ifndef PLATFORM_PATH_SERVICE_INTERNAL_H_
#define PLATFORM_PATH_SERVICE_INTERNAL_H_

#include "platform/file_path.h"

namespace base {
namespace internal {

// The full path of the module (shared library or executable) that holds
// the platform layer's code, hence the caller's module when the layer is
// linked statically into it.
bool GetModulePath(FilePath* path);

}  // namespace internal
}  // namespace base

#endif  // PLATFORM_PATH_SERVICE_INTERNAL_H_
