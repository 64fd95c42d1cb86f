#ifndef PLATFORM_FILE_UTIL_H_
#define PLATFORM_FILE_UTIL_H_

#include "platform/file_path.h"

namespace base {

// True when something (a file or a directory) exists at |path|.
bool PathExists(const FilePath& path);

}  // namespace base

#endif  // PLATFORM_FILE_UTIL_H_
