// POSIX only: the child process and the thread count of the test helpers.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "ipc_test_support.h"

extern char** environ;

namespace ipc_test {

PeerProcess::PeerProcess(const std::vector<std::string>& args, const std::string& secret_env) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    return;
  std::vector<std::string> argv_text = {IPC_CORE_ECHO_PEER};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text)
    argv.push_back(&a[0]);
  argv.push_back(nullptr);

  std::vector<std::string> env_text;
  std::string prefix = std::string(ipc_core::kPeerSecretEnvironmentVariable) + "=";
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, prefix.c_str(), prefix.size()) != 0)
      env_text.emplace_back(*e);
  }
  if (!secret_env.empty())
    env_text.push_back(prefix + secret_env);
  std::vector<char*> envp;
  for (auto& e : env_text)
    envp.push_back(&e[0]);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0)
    pid_ = pid;
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  out_fd_ = fds[0];
}

PeerProcess::~PeerProcess() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0)
    close(out_fd_);
}

int PeerProcess::WaitExit(std::chrono::milliseconds limit) {
  if (pid_ <= 0)
    return -1;
  bool done = exited_ || WaitUntil(
                             [&] {
                               int status;
                               if (waitpid(pid_, &status, WNOHANG) != pid_)
                                 return false;
                               exited_ = true;
                               exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                               return true;
                             },
                             limit);
  return done ? exit_code_ : -1;
}

std::string PeerProcess::Output() {
  for (;;) {
    pollfd p{out_fd_, POLLIN, 0};
    if (out_fd_ < 0 || poll(&p, 1, 0) <= 0)
      break;
    char buffer[4096];
    ssize_t n = read(out_fd_, buffer, sizeof(buffer));
    if (n <= 0)
      break;
    output_.append(buffer, static_cast<size_t>(n));
  }
  return output_;
}

bool PeerProcess::WaitForOutput(const std::string& needle) {
  return WaitUntil([&] { return Output().find(needle) != std::string::npos; });
}
}  // namespace ipc_test
