// POSIX only.
#include "tools/demo_host/stderr_capture.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

namespace demo_host {

StderrCapture::~StderrCapture() {
  Stop();
}

bool StderrCapture::Start(LineCallback on_line, std::string* error) {
  int fds[2];
  // Close-on-exec on our end only: the write end becomes descriptor 2 below,
  // which children inherit as their standard error on purpose.
  if (pipe(fds) != 0) {
    *error = std::string("pipe: ") + strerror(errno);
    return false;
  }
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  saved_fd_ = fcntl(2, F_DUPFD_CLOEXEC, 3);
  if (saved_fd_ < 0 || dup2(fds[1], 2) < 0) {
    *error = std::string("redirecting descriptor 2: ") + strerror(errno);
    close(fds[0]);
    close(fds[1]);
    if (saved_fd_ >= 0)
      close(saved_fd_);
    saved_fd_ = -1;
    return false;
  }
  close(fds[1]);
  read_fd_ = fds[0];
  on_line_ = std::move(on_line);
  stopping_ = false;
  reader_ = std::thread([this] { Read(); });
  return true;
}

void StderrCapture::Stop() {
  if (read_fd_ < 0)
    return;
  // Restoring descriptor 2 drops our write end; the reader drains what is
  // left and stops at the next quiet moment even if a child still holds
  // a copy of the write end.
  dup2(saved_fd_, 2);
  close(saved_fd_);
  saved_fd_ = -1;
  stopping_ = true;
  reader_.join();
  close(read_fd_);
  read_fd_ = -1;
}

void StderrCapture::Read() {
  std::string pending;
  char buffer[4096];
  for (;;) {
    pollfd poll_fd = {read_fd_, POLLIN, 0};
    const int ready = poll(&poll_fd, 1, 50);
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0) {
      if (stopping_)
        break;
      continue;
    }
    const ssize_t count = read(read_fd_, buffer, sizeof(buffer));
    if (count < 0 && errno == EINTR)
      continue;
    if (count <= 0)
      break;
    pending.append(buffer, static_cast<size_t>(count));
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      on_line_(pending.substr(0, end));
      pending.erase(0, end + 1);
    }
  }
  if (!pending.empty())
    on_line_(pending);
}

}  // namespace demo_host
