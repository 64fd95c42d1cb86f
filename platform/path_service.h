// Well-known directories.
#ifndef PLATFORM_PATH_SERVICE_H_
#define PLATFORM_PATH_SERVICE_H_

#include "platform/file_path.h"

namespace base {

enum BasePathKey {
  // The directory of the module (shared library or executable) that holds
  // the code calling PathService::Get.
  DIR_MODULE = 3,
};

class PathService {
 public:
  // Fills |result| and returns true when |key| is known and resolvable.
  static bool Get(int key, FilePath* result);

  // Tests point DIR_MODULE elsewhere; an empty path removes the override.
  static void OverrideForTesting(int key, const FilePath& path);
};

}  // namespace base

#endif  // PLATFORM_PATH_SERVICE_H_
