// POSIX only.
#include "platform/file_util.h"

#include <sys/stat.h>

namespace base {

bool PathExists(const FilePath& path) {
  struct stat info;
  return !path.empty() && stat(path.value().c_str(), &info) == 0;
}

}  // namespace base
