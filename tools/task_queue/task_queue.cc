#include "tools/task_queue/task_queue.h"

#include <algorithm>
#include <memory>

namespace task_queue {

namespace {
constexpr std::chrono::milliseconds kPollPeriod{5};
}  // namespace

TaskQueue::TaskQueue(Clock clock) : clock_(clock) {}

TaskQueue::~TaskQueue() {
  Stop();
}

TaskQueue::Duration TaskQueue::NowLocked() const {
  return clock_ == Clock::kVirtual ? virtual_now_ : std::chrono::steady_clock::now() - epoch_;
}

void TaskQueue::PostTask(std::function<void()> task, uint32_t delay_ms) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_)
      return;  // |task| is destroyed on return, here
    tasks_.emplace(Key{NowLocked() + std::chrono::milliseconds(delay_ms), next_sequence_++},
                   std::move(task));
  }
  wake_.notify_all();
}

bool TaskQueue::TakeDueLocked(std::function<void()>* task, Duration* next_due) {
  *next_due = Duration::max();
  if (tasks_.empty())
    return false;
  auto first = tasks_.begin();
  if (first->first.first > NowLocked()) {
    *next_due = first->first.first;
    return false;
  }
  *task = std::move(first->second);
  tasks_.erase(first);
  return true;
}

void TaskQueue::RunUntilIdle() {
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard<std::mutex> guard(lock_);
      Duration next_due;
      if (!TakeDueLocked(&task, &next_due))
        return;
    }
    task();
  }
}

bool TaskQueue::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    RunUntilIdle();
    // Checked without the lock: |done| may post or read what tasks wrote.
    if (done())
      return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline)
      return done();
    std::unique_lock<std::mutex> guard(lock_);
    auto wake_at = std::min(deadline, now + kPollPeriod);
    if (clock_ == Clock::kReal && !tasks_.empty())
      wake_at = std::min(wake_at, epoch_ + tasks_.begin()->first.first);
    const uint64_t sequence = next_sequence_;
    const uint64_t wakes = wakes_;
    wake_.wait_until(guard, wake_at,
                     [&] { return next_sequence_ != sequence || wakes_ != wakes; });
  }
}

void TaskQueue::AdvanceTime(uint32_t ms) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    virtual_now_ += std::chrono::milliseconds(ms);
  }
  RunUntilIdle();
}

void TaskQueue::Drain() {
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (tasks_.empty())
        return;
      task = std::move(tasks_.begin()->second);
      tasks_.erase(tasks_.begin());
    }
    // Run and destroyed outside the lock: a task may post, and may hold the
    // last reference to something whose destruction waits for other threads.
    task();
  }
}

void TaskQueue::Discard() {
  std::map<Key, std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> guard(lock_);
    dropped.swap(tasks_);
  }
  // Destroyed outside the lock, for the same reason as in Drain.
}

void TaskQueue::Wake() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    ++wakes_;
  }
  wake_.notify_all();
}

size_t TaskQueue::size() {
  std::lock_guard<std::mutex> guard(lock_);
  return tasks_.size();
}

size_t TaskQueue::delayed_count() {
  std::lock_guard<std::mutex> guard(lock_);
  const Duration now = NowLocked();
  return static_cast<size_t>(std::count_if(
      tasks_.begin(), tasks_.end(), [now](const auto& entry) { return entry.first.first > now; }));
}

uint64_t TaskQueue::now_ms() {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(NowLocked()).count());
}

void TaskQueue::RunOnThread() {
  if (clock_ != Clock::kReal || thread_.joinable())
    return;
  thread_ = std::thread([this] { ThreadMain(); });
}

void TaskQueue::ThreadMain() {
  std::unique_lock<std::mutex> guard(lock_);
  while (!stopping_) {
    std::function<void()> task;
    Duration next_due;
    if (!TakeDueLocked(&task, &next_due)) {
      // A task posted meanwhile may be due earlier: wake and look again.
      if (next_due == Duration::max())
        wake_.wait(guard);
      else
        wake_.wait_until(guard, epoch_ + next_due);
      continue;
    }
    guard.unlock();
    task();
    task = nullptr;  // release what it holds before taking the lock again
    guard.lock();
  }
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
      std::lock_guard<std::mutex> guard(completion->lock);
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
        std::lock_guard<std::mutex> guard(notifier->completion->lock);
        notifier->completion->ran = true;
      },
      0);
  notifier.reset();
  std::unique_lock<std::mutex> guard(completion->lock);
  completion->signal.wait(guard, [&] { return completion->finished; });
  return completion->ran;
}

bool TaskQueue::IsCurrentThread() const {
  return thread_.joinable() && std::this_thread::get_id() == thread_.get_id();
}

void TaskQueue::Stop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_)
      return;
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable() && !IsCurrentThread())
    thread_.join();
  Discard();
}

}  // namespace task_queue
