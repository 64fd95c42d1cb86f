#include "tools/demo_host/task_queue.h"

#include <memory>

namespace demo_host {

TaskQueue::TaskQueue() : thread_([this] { Run(); }) {}

TaskQueue::~TaskQueue() {
  Stop();
}

void TaskQueue::PostTask(std::function<void()> task, uint32_t delay_ms) {
  const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms);
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (stopping_)
      return;  // |task| is destroyed on return, here
    entries_.push(Entry{due, next_sequence_++, std::move(task)});
  }
  wake_.notify_one();
}

bool TaskQueue::RunAndWait(const std::function<void()>& task) {
  if (IsCurrentThread()) {
    task();
    return true;
  }
  struct Completion {
    std::mutex lock;
    std::condition_variable signal;
    bool finished = false;
    bool ran = false;
  };
  // Signals when the posted task is destroyed, whether it ran or was
  // dropped by Stop, so that the caller never waits for a task that is gone.
  struct Notifier {
    explicit Notifier(std::shared_ptr<Completion> c) : completion(std::move(c)) {}
    ~Notifier() {
      std::lock_guard<std::mutex> lock(completion->lock);
      completion->finished = true;
      completion->signal.notify_one();
    }
    std::shared_ptr<Completion> completion;
  };
  auto completion = std::make_shared<Completion>();
  auto notifier = std::make_shared<Notifier>(completion);
  PostTask(
      [&task, notifier] {
        task();
        std::lock_guard<std::mutex> lock(notifier->completion->lock);
        notifier->completion->ran = true;
      },
      0);
  notifier.reset();
  std::unique_lock<std::mutex> lock(completion->lock);
  completion->signal.wait(lock, [&] { return completion->finished; });
  return completion->ran;
}

bool TaskQueue::IsCurrentThread() const {
  return std::this_thread::get_id() == thread_.get_id();
}

void TaskQueue::Stop() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (stopping_)
      return;
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable() && !IsCurrentThread())
    thread_.join();
  std::priority_queue<Entry, std::vector<Entry>, Later> dropped;
  {
    std::lock_guard<std::mutex> lock(lock_);
    dropped.swap(entries_);
  }
}

void TaskQueue::Run() {
  std::unique_lock<std::mutex> lock(lock_);
  while (!stopping_) {
    if (entries_.empty()) {
      wake_.wait(lock);
      continue;
    }
    const auto due = entries_.top().due;
    if (std::chrono::steady_clock::now() < due) {
      // A task posted meanwhile may be due earlier: wake and look again.
      wake_.wait_until(lock, due);
      continue;
    }
    // priority_queue offers only a const top; the entry is popped right
    // after, so moving its task out is safe.
    std::function<void()> task = std::move(const_cast<Entry&>(entries_.top()).task);
    entries_.pop();
    lock.unlock();
    task();
    task = nullptr;  // release what it holds before taking the lock again
    lock.lock();
  }
}

}  // namespace demo_host
