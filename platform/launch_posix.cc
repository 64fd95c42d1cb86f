// POSIX only (Linux): launching with posix_spawn. A process launched into a
// kill-on-close job is launched by the job's keeper (snipping_tool_keeper,
// next to this module), which holds it and all its descendants; see
// job_internal_posix.h and keeper_protocol_posix.h.
#include "platform/launch.h"

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_path.h"
#include "platform/job_internal_posix.h"
#include "platform/keeper_protocol_posix.h"
#include "platform/last_error.h"
#include "platform/logging.h"
#include "platform/path_service_internal.h"
#include "platform/process_testing.h"
#include "platform/spawn_posix.h"

extern char** environ;

namespace base {
namespace {

// A keeper answers a launch as soon as the program has been exec'd; this
// only bounds a keeper that stopped answering.
constexpr int kKeeperReplyTimeoutSeconds = 10;

std::vector<std::string> BuildEnvironment(const std::map<std::string, std::string>& extra) {
  std::vector<std::string> result;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string variable(*entry);
    const std::string name = variable.substr(0, variable.find('='));
    if (extra.count(name) == 0)
      result.push_back(std::move(variable));
  }
  for (const auto& [name, value] : extra)
    result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> PointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& s : strings)
    pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Ends a child just spawned whose pidfd could not be opened.
void KillAndReapChild(pid_t pid) {
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// The keeper ships next to the module that holds this code (the agent's
// library, or a program linking the layer statically).
const std::string& KeeperPath() {
  static const std::string* const path = [] {
    FilePath module;
    if (!internal::GetModulePath(&module))
      return new std::string();
    return new std::string(
        module.DirName().Append(FilePath::FromUTF8Unsafe(keeper::kKeeperExecutable)).value());
  }();
  return *path;
}

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent > 0) {
      data += sent;
      size -= static_cast<size_t>(sent);
    } else if (sent == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

// Asks the keeper of |job| to launch. Requires |job->lock|. On success the
// pid and a pidfd of the new process; otherwise the errno, and the keeper
// is ended when it can no longer be talked to.
bool LaunchThroughKeeper(PosixJob* job, const std::vector<std::string>& strings, uint32_t argc,
                         pid_t* pid, int* pidfd, int* error) {
  keeper::KeeperRequest request;
  request.argc = argc;
  request.envc = static_cast<uint32_t>(strings.size()) - 1 - argc;
  std::string message(sizeof(request), '\0');
  for (const std::string& text : strings)
    message.append(text.c_str(), text.size() + 1);  // cut at an embedded NUL, as exec would
  request.bytes = static_cast<uint32_t>(message.size() - sizeof(request));
  if (message.size() - sizeof(request) > keeper::kMaxRequestBytes ||
      strings.size() > 1 + 2 * static_cast<size_t>(keeper::kMaxStrings)) {
    *error = E2BIG;
    return false;
  }
  std::memcpy(message.data(), &request, sizeof(request));

  keeper::KeeperReply reply;
  bool answered = SendAll(job->keeper_socket, message.data(), message.size());
  int channel_error = answered ? 0 : errno;
  int received_fd = -1;
  if (answered) {
    struct iovec part = {&reply, sizeof(reply)};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr in = {};
    in.msg_iov = &part;
    in.msg_iovlen = 1;
    in.msg_control = control;
    in.msg_controllen = sizeof(control);
    ssize_t got;
    do {
      got = recvmsg(job->keeper_socket, &in, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    for (struct cmsghdr* header = got > 0 ? CMSG_FIRSTHDR(&in) : nullptr; header;
         header = CMSG_NXTHDR(&in, header)) {
      if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
          header->cmsg_len == CMSG_LEN(sizeof(int))) {
        std::memcpy(&received_fd, CMSG_DATA(header), sizeof(int));
      }
    }
    channel_error = got < 0 ? errno : EPIPE;
    answered = got == static_cast<ssize_t>(sizeof(reply)) && !(in.msg_flags & MSG_CTRUNC);
  }
  if (!answered || reply.error == EPROTO) {
    *error = !answered && channel_error ? channel_error : EPROTO;
    if (received_fd >= 0)
      close(received_fd);
    LOG(ERROR) << "LaunchProcess lost the job keeper errno:" << *error;
    internal::EndJobKeeper(job);
    return false;
  }
  if (reply.error != 0 || received_fd < 0 || reply.pid <= 0) {
    *error = reply.error ? reply.error : EPROTO;
    if (received_fd >= 0)
      close(received_fd);
    return false;
  }
  *pid = reply.pid;
  *pidfd = received_fd;
  return true;
}

}  // namespace

namespace internal {

bool StartJobKeeper(PosixJob* job, int* error) {
  const std::string& path = KeeperPath();
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    *error = errno;
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], keeper::kKeeperControlFd);
  posix_spawn_file_actions_addclosefrom_np(&actions, keeper::kKeeperControlFd + 1);
  std::string program = path;
  char* const argv[] = {program.data(), nullptr};
  pid_t pid = -1;
  *error = path.empty() ? ENOENT
                        : internal::SpawnWithDefaultSignals(path.c_str(), argv, environ, false,
                                                            &actions, &pid);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  if (*error) {
    close(ends[0]);
    LOG(ERROR) << "LaunchProcess cannot start the job keeper path:" << path
               << " errno:" << *error;
    return false;
  }
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    *error = errno;
    close(ends[0]);  // the keeper ends at once, holding nothing
    KillAndReapChild(pid);
    return false;
  }
  const struct timeval bound = {kKeeperReplyTimeoutSeconds, 0};
  setsockopt(ends[0], SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound));
  setsockopt(ends[0], SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound));
  job->keeper_socket = ends[0];
  job->keeper_pidfd = pidfd;
  return true;
}

Process LaunchProcessOS(const CommandLine& command_line, const LaunchOptions& options) {
  std::vector<std::string> strings;  // path, arguments, environment
  strings.push_back(command_line.GetProgram().value());
  strings.insert(strings.end(), command_line.argv().begin(), command_line.argv().end());
  if (strings.size() == 1)
    strings.push_back(strings[0]);
  const uint32_t argc = static_cast<uint32_t>(strings.size() - 1);
  std::vector<std::string> environment = BuildEnvironment(options.environment);

  PosixJob* const job = options.job_handle;
  if (IsValidJobHandle(job)) {
    std::unique_lock<std::mutex> hold(job->lock);
    if (job->limit_flags & kJobObjectLimitKillOnJobClose) {
      int error = 0;
      pid_t pid = -1;
      int pidfd = -1;
      strings.insert(strings.end(), std::make_move_iterator(environment.begin()),
                     std::make_move_iterator(environment.end()));
      if ((job->keeper_socket < 0 && !StartJobKeeper(job, &error)) ||
          !LaunchThroughKeeper(job, strings, argc, &pid, &pidfd, &error)) {
        SetLastSystemError(static_cast<SystemErrorCode>(error));
        return Process();
      }
      SetLastSystemError(0);
      return Process(pid, pidfd);
    }
  }

  // Outside a kill-on-close job the child is our own. In a job it leads a
  // process group of its own, as it would under a keeper.
  std::vector<char*> argv = PointersTo(strings);
  std::vector<char*> envp = PointersTo(environment);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = -1;
  const int error =
      SpawnWithDefaultSignals(argv[0], argv.data() + 1, envp.data(), IsValidJobHandle(job),
                              &actions, &pid);
  posix_spawn_file_actions_destroy(&actions);
  if (error) {
    SetLastSystemError(static_cast<SystemErrorCode>(error));
    return Process();
  }
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    const int open_error = errno;
    KillAndReapChild(pid);
    SetLastSystemError(static_cast<SystemErrorCode>(open_error));
    return Process();
  }
  SetLastSystemError(0);
  return Process(pid, pidfd);
}

}  // namespace internal

}  // namespace base
