// Windows only.
#include "tools/demo_host/stderr_capture.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <chrono>

namespace demo_host {

StderrCapture::~StderrCapture() {
  Stop();
}

bool StderrCapture::Start(LineCallback on_line, std::string* error) {
  int fds[2];
  // Children receive our standard-error handle, so the write end must be
  // inheritable; the read end must not be, or a child would keep the pipe
  // from ever reporting that every writer is gone.
  if (_pipe(fds, 65536, _O_BINARY) != 0) {
    *error = "_pipe failed";
    return false;
  }
  SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(fds[0])), HANDLE_FLAG_INHERIT, 0);
  saved_fd_ = _dup(2);
  if (saved_fd_ < 0 || _dup2(fds[1], 2) != 0) {
    *error = "redirecting descriptor 2 failed";
    _close(fds[0]);
    _close(fds[1]);
    if (saved_fd_ >= 0)
      _close(saved_fd_);
    saved_fd_ = -1;
    return false;
  }
  _close(fds[1]);
  // Children are created with the process's standard-error handle, not
  // with the C runtime's descriptor 2: point it at the pipe too.
  SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
  read_fd_ = fds[0];
  on_line_ = std::move(on_line);
  stopping_ = false;
  reader_ = std::thread([this] { Read(); });
  return true;
}

void StderrCapture::Stop() {
  if (read_fd_ < 0)
    return;
  _dup2(saved_fd_, 2);
  SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
  _close(saved_fd_);
  saved_fd_ = -1;
  stopping_ = true;
  reader_.join();
  _close(read_fd_);
  read_fd_ = -1;
}

void StderrCapture::Read() {
  HANDLE pipe = reinterpret_cast<HANDLE>(_get_osfhandle(read_fd_));
  std::string pending;
  char buffer[4096];
  for (;;) {
    // Anonymous pipes cannot be waited on; peek so that a child still
    // holding the write end cannot keep Stop waiting.
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
      break;  // every writer is gone
    if (available == 0) {
      if (stopping_)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    DWORD count = 0;
    if (!ReadFile(pipe, buffer, available < sizeof(buffer) ? available : sizeof(buffer), &count,
                  nullptr) ||
        count == 0)
      break;
    pending.append(buffer, count);
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      on_line_(line);
      pending.erase(0, end + 1);
    }
  }
  if (!pending.empty())
    on_line_(pending);
}

}  // namespace demo_host
