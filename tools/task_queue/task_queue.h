// A queue of delayed tasks, run in the order of their due time and, at the
// same due time, in the order they were posted. Its clock is either real
// (steady time; a host's UI thread: RunOnThread starts a thread that runs
// tasks as they fall due) or virtual (it moves only by AdvanceTime, so a
// test decides when a time-out fires and runs due tasks on its own thread).
#ifndef TOOLS_TASK_QUEUE_TASK_QUEUE_H_
#define TOOLS_TASK_QUEUE_TASK_QUEUE_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace task_queue {

class TaskQueue {
 public:
  enum class Clock { kReal, kVirtual };

  explicit TaskQueue(Clock clock);
  // Stops the thread, if any, and destroys the tasks that have not run.
  ~TaskQueue();
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;

  // Queues |task| to run no earlier than |delay_ms| from now on the queue's
  // clock. After Stop the task is destroyed at once, without running.
  void PostTask(std::function<void()> task, uint32_t delay_ms);

  // Driving the queue from the calling thread.
  // Runs every task that is due now, tasks posted by those included.
  void RunUntilIdle();
  // Runs due tasks until |done| holds (true) or |timeout| of real time has
  // passed (false). Sleeps in between until a task is posted, one falls due
  // (real clock), Wake is called, or 5 ms pass (for state that changes
  // without a post).
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  // Virtual clock only: moves the clock forward and runs what became due.
  void AdvanceTime(uint32_t ms);
  // Runs every task, due or not, tasks they post included, until none is left.
  void Drain();
  // Destroys every queued task without running it.
  void Discard();
  // Wakes a RunUntil so that it checks its condition now.
  void Wake();

  size_t size();
  // Tasks not yet due.
  size_t delayed_count();
  // Time on the queue's clock since it was made.
  uint64_t now_ms();

  // A thread of its own (real clock only): runs tasks as they fall due until Stop.
  void RunOnThread();
  // Runs |task| on the queue's thread after every task already due and
  // returns when it has run (true) or was dropped by Stop (false). Runs it
  // at once when called on that thread.
  bool RunAndWait(const std::function<void()>& task);
  bool IsCurrentThread() const;
  // Ends the thread once its running task returns, then destroys the tasks
  // that have not run on the caller's thread, while nothing else runs them.
  void Stop();

 private:
  using Duration = std::chrono::steady_clock::duration;
  using Key = std::pair<Duration, uint64_t>;  // due time, posting order

  Duration NowLocked() const;
  // Takes the first due task; otherwise sets |next_due| (max when none).
  bool TakeDueLocked(std::function<void()>* task, Duration* next_due);
  void ThreadMain();

  const Clock clock_;
  const std::chrono::steady_clock::time_point epoch_ = std::chrono::steady_clock::now();
  std::mutex lock_;
  std::condition_variable wake_;
  std::map<Key, std::function<void()>> tasks_;
  Duration virtual_now_{};
  uint64_t next_sequence_ = 0;
  uint64_t wakes_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace task_queue

#endif  // TOOLS_TASK_QUEUE_TASK_QUEUE_H_
