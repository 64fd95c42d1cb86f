// POSIX only: the one way this layer and the job keeper start a program.
// Header-only, C library only: the keeper program links nothing else.
#ifndef PLATFORM_SPAWN_POSIX_H_
#define PLATFORM_SPAWN_POSIX_H_

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>

namespace base {
namespace internal {

// posix_spawn with every signal at its default and none blocked in the
// child; with |own_group| the child leads a process group of its own.
// |actions| may be null. Returns 0 or the errno, an exec failure's included
// (the C library reports those through posix_spawn's result).
inline int SpawnWithDefaultSignals(const char* path, char* const* argv, char* const* envp,
                                   bool own_group, const posix_spawn_file_actions_t* actions,
                                   pid_t* pid) {
  posix_spawnattr_t attributes;
  int error = posix_spawnattr_init(&attributes);
  if (error)
    return error;
  sigset_t all_signals;
  sigset_t no_signals;
  sigfillset(&all_signals);
  sigemptyset(&no_signals);
  posix_spawnattr_setsigdefault(&attributes, &all_signals);
  posix_spawnattr_setsigmask(&attributes, &no_signals);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (own_group) {
    posix_spawnattr_setpgroup(&attributes, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&attributes, flags);
  error = posix_spawn(pid, path, actions, &attributes, argv, envp);
  posix_spawnattr_destroy(&attributes);
  return error;
}

}  // namespace internal
}  // namespace base

#endif  // PLATFORM_SPAWN_POSIX_H_
