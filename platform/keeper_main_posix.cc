// snipping_tool_keeper: the keeper of one kill-on-close job (POSIX only).
//
// The platform layer starts it with posix_spawn when the first process is
// launched into a kill-on-close job; see keeper_protocol_posix.h for what
// they say to each other. The keeper
//   - marks itself a child subreaper, so that every descendant of the
//     processes it launches that loses its parent (a double-forked daemon,
//     a child of a tool that was killed) becomes its child, whatever
//     session or process group it moved to;
//   - launches each requested program with posix_spawn, which returns only
//     once the program has been exec'd or has failed to be, and sends back
//     the errno or a pidfd of the new process;
//   - reaps its children as they end;
//   - when its control socket closes (the job was closed, or the process
//     that started it ended in any way, SIGKILL included), kills every child
//     it has, again and again as orphans keep coming to it, until none is
//     left, and exits.
// It ignores the terminal's signals, so that an interrupt meant for the
// host does not end it before it has done its work.
//
// It uses the C library only: it starts once per job, usually readied ahead
// of the launch, but otherwise part of the first launch's cost.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/keeper_protocol_posix.h"
#include "platform/spawn_posix.h"

namespace {

using base::keeper::KeeperReply;
using base::keeper::KeeperRequest;
using base::keeper::kKeeperControlFd;

constexpr int kControl = kKeeperControlFd;

// Reads exactly |size| bytes; false on end of stream or error.
bool ReadFully(int fd, void* buffer, size_t size) {
  char* at = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t n = read(fd, at, size);
    if (n > 0) {
      at += n;
      size -= static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

bool SendReply(int error, pid_t pid, int pidfd) {
  KeeperReply reply;
  reply.error = error;
  reply.pid = error ? 0 : pid;
  struct iovec part = {&reply, sizeof(reply)};
  struct msghdr message = {};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (pidfd >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    struct cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(header), &pidfd, sizeof(int));
  }
  ssize_t sent;
  do {
    sent = sendmsg(kControl, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(sizeof(reply));
}

// Splits |count| NUL-terminated strings off |data| into |out| (with a null
// pointer after them). False when the data does not hold exactly that.
bool SplitStrings(char* data, size_t size, uint32_t count, char** out) {
  size_t at = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (at >= size)
      return false;
    char* end = static_cast<char*>(memchr(data + at, '\0', size - at));
    if (!end)
      return false;
    out[i] = data + at;
    at = static_cast<size_t>(end - data) + 1;
  }
  out[count] = nullptr;
  return at == size;
}

// Serves one request. False when the socket is closed or broken, which ends
// the keeper's service.
bool ServeRequest() {
  KeeperRequest request;
  if (!ReadFully(kControl, &request, sizeof(request)))
    return false;
  if (request.magic != base::keeper::kRequestMagic || request.argc == 0 ||
      request.bytes > base::keeper::kMaxRequestBytes || request.argc > base::keeper::kMaxStrings ||
      request.envc > base::keeper::kMaxStrings) {
    // The stream can no longer be trusted to be in step.
    SendReply(EPROTO, 0, -1);
    return false;
  }
  const uint32_t count = 1 + request.argc + request.envc;
  char* data = static_cast<char*>(malloc(request.bytes ? request.bytes : 1));
  char** strings = static_cast<char**>(malloc(sizeof(char*) * (count + 2)));
  bool keep_serving = data && strings && ReadFully(kControl, data, request.bytes);
  if (keep_serving) {
    int error = 0;
    pid_t pid = -1;
    int pidfd = -1;
    // path, argv..., nullptr, envp..., nullptr: the environment starts
    // after the arguments' terminating null pointer.
    if (!SplitStrings(data, request.bytes, count, strings)) {
      error = EINVAL;
    } else {
      char** envp = strings + 1 + request.argc;
      memmove(envp + 1, envp, sizeof(char*) * (request.envc + 1));
      envp[0] = nullptr;
      ++envp;
      // The program leads a process group of its own and inherits the
      // standard streams only (the control socket is close-on-exec).
      error = base::internal::SpawnWithDefaultSignals(strings[0], strings + 1, envp, true,
                                                      nullptr, &pid);
    }
    if (!error) {
      // Not reaped yet (this thread reaps, later), so the pid is still the
      // new process's.
      pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
      if (pidfd < 0) {
        error = errno;
        kill(pid, SIGKILL);
      }
    }
    keep_serving = SendReply(error, pid, pidfd);
    if (pidfd >= 0)
      close(pidfd);
  } else if (data && strings) {
    keep_serving = false;
  } else {
    SendReply(ENOMEM, 0, -1);
    keep_serving = false;
  }
  free(data);
  free(strings);
  return keep_serving;
}

void ReapEnded() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

// Sends SIGKILL to every child of this process. The kernel's list of
// children is read when it exists; otherwise every process's parent is
// looked up.
void KillChildren() {
  char path[64];
  snprintf(path, sizeof(path), "/proc/self/task/%d/children", static_cast<int>(getpid()));
  FILE* list = fopen(path, "re");
  if (list) {
    int pid;
    while (fscanf(list, "%d", &pid) == 1) {
      if (pid > 0)
        kill(pid, SIGKILL);
    }
    fclose(list);
    return;
  }
  const pid_t self = getpid();
  DIR* proc = opendir("/proc");
  if (!proc)
    return;
  while (struct dirent* entry = readdir(proc)) {
    const int pid = atoi(entry->d_name);
    if (pid <= 0)
      continue;
    snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    FILE* stat = fopen(path, "re");
    if (!stat)
      continue;
    char text[512];
    const size_t length = fread(text, 1, sizeof(text) - 1, stat);
    fclose(stat);
    text[length] = '\0';
    // The name in parentheses may hold anything; the fields after the last
    // ')' are the state and the parent's pid.
    const char* after_name = strrchr(text, ')');
    char state;
    int parent;
    if (after_name && sscanf(after_name + 1, " %c %d", &state, &parent) == 2 && parent == self)
      kill(pid, SIGKILL);
  }
  closedir(proc);
}

// Kills and reaps until no child is left. Each child that ends hands its
// own children to this process (a subreaper) before it can be reaped, so
// the next round finds them.
void KillEverything() {
  for (;;) {
    KillChildren();
    const pid_t ended = waitpid(-1, nullptr, 0);
    if (ended < 0 && errno == ECHILD)
      return;
  }
}

}  // namespace

int main() {
  const int ignored[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU};
  for (const int signal_number : ignored)
    signal(signal_number, SIG_IGN);
  if (fcntl(kControl, F_SETFD, FD_CLOEXEC) != 0)
    return 1;
  // Without it, descendants that lose their parent would go to another
  // reaper and could not be killed at the end: refuse to serve.
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
    return 1;

  sigset_t child_ended;
  sigemptyset(&child_ended);
  sigaddset(&child_ended, SIGCHLD);
  sigprocmask(SIG_BLOCK, &child_ended, nullptr);
  const int ended_fd = signalfd(-1, &child_ended, SFD_CLOEXEC | SFD_NONBLOCK);

  for (;;) {
    struct pollfd watched[2] = {{kControl, POLLIN, 0}, {ended_fd, POLLIN, 0}};
    const int ready = poll(watched, ended_fd >= 0 ? 2 : 1, ended_fd >= 0 ? -1 : 100);
    if (ready < 0 && errno != EINTR)
      break;
    if (ended_fd >= 0 && (watched[1].revents & POLLIN)) {
      struct signalfd_siginfo info;
      while (read(ended_fd, &info, sizeof(info)) > 0) {
      }
    }
    ReapEnded();
    if ((watched[0].revents & (POLLIN | POLLHUP | POLLERR)) && !ServeRequest())
      break;
  }
  close(kControl);
  KillEverything();
  return 0;
}
