// Catches everything written to the process's standard error (the agent's
// log lines, and those of the tool, which inherits it) so that the demo can
// show each line in its timeline. stderr_capture_posix.cc and
// stderr_capture_win.cc.
#ifndef TOOLS_DEMO_HOST_STDERR_CAPTURE_H_
#define TOOLS_DEMO_HOST_STDERR_CAPTURE_H_

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace demo_host {

class StderrCapture {
 public:
  using LineCallback = std::function<void(const std::string& line)>;

  StderrCapture() = default;
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Points descriptor 2 at a pipe and calls |on_line| on a reader thread for
  // each line written to it. False with |error| when that is not possible.
  bool Start(LineCallback on_line, std::string* error);

  // Points descriptor 2 back where it was and ends the reader once it has
  // passed on what was written before. Children that still hold the pipe do
  // not keep it waiting.
  void Stop();

 private:
  void Read();

  LineCallback on_line_;
  int saved_fd_ = -1;
  int read_fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread reader_;
};

}  // namespace demo_host

#endif  // TOOLS_DEMO_HOST_STDERR_CAPTURE_H_
