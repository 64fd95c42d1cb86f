#include <dirent.h>

#include <cstdlib>

#include "tests/support/test_child.h"

namespace test_support {

std::vector<std::string> OwnArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::string OwnProgramPath(int, char** argv) {
  return argv[0];
}

std::vector<std::string> OwnDescriptors() {
  std::vector<std::string> fds;
  // /proc/self/fd lists the descriptor of its own directory stream too.
  DIR* dir = opendir("/proc/self/fd");
  const int own = dir ? dirfd(dir) : -1;
  while (struct dirent* entry = dir ? readdir(dir) : nullptr) {
    if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own)
      continue;
    fds.push_back(entry->d_name);
  }
  if (dir)
    closedir(dir);
  return fds;
}

}  // namespace test_support
