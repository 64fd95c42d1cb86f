// Windows only.
#include "platform/file_util.h"

#include <windows.h>

namespace base {

bool PathExists(const FilePath& path) {
  return !path.empty() && GetFileAttributesW(path.value().c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace base
