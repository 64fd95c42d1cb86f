// Windows only: setenv and unsetenv for test files written against POSIX,
// force-included into them by the Windows build. _putenv_s changes both the
// C runtime's copy of the environment and the process's own, so getenv,
// GetEnvironmentVariable and child processes all see the change.
#ifndef TESTS_WINDOWS_POSIX_SETENV_WIN_H_
#define TESTS_WINDOWS_POSIX_SETENV_WIN_H_

#include <stdlib.h>

inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && getenv(name))
    return 0;
  return _putenv_s(name, value) == 0 ? 0 : -1;
}

// An empty value removes the variable.
inline int unsetenv(const char* name) {
  return _putenv_s(name, "") == 0 ? 0 : -1;
}

#endif  // TESTS_WINDOWS_POSIX_SETENV_WIN_H_
