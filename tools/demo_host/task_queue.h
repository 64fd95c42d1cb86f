// The demo host's UI thread: one thread running posted tasks in the order of
// their due time, tasks due at the same time in the order they were posted.
#ifndef TOOLS_DEMO_HOST_TASK_QUEUE_H_
#define TOOLS_DEMO_HOST_TASK_QUEUE_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace demo_host {

class TaskQueue {
 public:
  TaskQueue();
  // Stops the thread (see Stop).
  ~TaskQueue();
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;

  // Runs |task| on the queue's thread no earlier than |delay_ms| from now.
  // After Stop the task is destroyed without running.
  void PostTask(std::function<void()> task, uint32_t delay_ms);

  // Runs |task| on the queue's thread, after every task already due, and
  // returns when it has run (true) or was dropped by Stop (false). Runs it
  // at once when called on that thread.
  bool RunAndWait(const std::function<void()>& task);

  bool IsCurrentThread() const;

  // Ends the thread once the running task returns. Tasks that have not run
  // are destroyed here, on the caller's thread, after the thread has ended:
  // their captured references are released while nothing else runs them.
  void Stop();

 private:
  struct Entry {
    std::chrono::steady_clock::time_point due;
    uint64_t sequence;
    std::function<void()> task;
  };
  struct Later {
    bool operator()(const Entry& a, const Entry& b) const {
      return a.due != b.due ? a.due > b.due : a.sequence > b.sequence;
    }
  };

  void Run();

  std::mutex lock_;
  std::condition_variable wake_;
  std::priority_queue<Entry, std::vector<Entry>, Later> entries_;
  uint64_t next_sequence_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace demo_host

#endif  // TOOLS_DEMO_HOST_TASK_QUEUE_H_
