// POSIX only: what the platform layer and the job keeper
// (snipping_tool_keeper) say to each other over the keeper's control socket.
//
// The keeper is started with its end of a unix stream socket as descriptor
// kKeeperControlFd. For each launch the platform layer sends one request: a
// KeeperRequest header, then |bytes| bytes holding |1 + argc + envc|
// NUL-terminated strings (the program's path, its arguments, its
// environment). The keeper answers with one KeeperReply; when |error| is 0
// the message carries a pidfd of the new process (SCM_RIGHTS), opened before
// the keeper could have reaped it, so that the pid names that process.
//
// The keeper kills every process it holds (the tools, and every descendant,
// which a child subreaper inherits when its parent dies) and exits when the
// socket closes: because the job was closed, or because the process that
// started the keeper ended in any way, SIGKILL included.
#ifndef PLATFORM_KEEPER_PROTOCOL_POSIX_H_
#define PLATFORM_KEEPER_PROTOCOL_POSIX_H_

#include <cstdint>

namespace base {
namespace keeper {

inline constexpr char kKeeperExecutable[] = "snipping_tool_keeper";
inline constexpr int kKeeperControlFd = 3;

inline constexpr uint32_t kRequestMagic = 0x4b505231;  // "KPR1"
// Larger than any command line plus environment the system accepts.
inline constexpr uint32_t kMaxRequestBytes = 16u << 20;
inline constexpr uint32_t kMaxStrings = 1u << 16;

struct KeeperRequest {
  uint32_t magic = kRequestMagic;
  uint32_t argc = 0;
  uint32_t envc = 0;
  uint32_t bytes = 0;
};

struct KeeperReply {
  int32_t error = 0;  // an errno value; 0 on success
  int32_t pid = 0;    // the new process's pid when |error| is 0
};

}  // namespace keeper
}  // namespace base

#endif  // PLATFORM_KEEPER_PROTOCOL_POSIX_H_
