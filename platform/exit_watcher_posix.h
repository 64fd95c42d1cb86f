// POSIX only: the process-wide thread behind exit waits, which also reaps
// children that were let go while still running.
#ifndef PLATFORM_EXIT_WATCHER_POSIX_H_
#define PLATFORM_EXIT_WATCHER_POSIX_H_

namespace base {
namespace internal {

// Takes ownership of |pidfd|, the pidfd of a child of this process that is
// still running, and reaps the child once it has ended.
void ReapWhenExited(int pidfd);

}  // namespace internal
}  // namespace base

#endif  // PLATFORM_EXIT_WATCHER_POSIX_H_
