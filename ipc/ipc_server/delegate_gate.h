// The host's delegate, handed out for one call at a time.
//
// The host may destroy its delegate as soon as Uninit has returned, while
// the runtime's threads may be about to call it (a log record, a task to
// post, an analytics key). Close() clears the delegate and returns only once
// the calls under way on other threads have returned; from then on Use()
// gives nothing. A call under way on the closing thread itself (Uninit from
// inside a delegate call) is not waited for: it is the caller's own frame.
#ifndef IPC_IPC_SERVER_DELEGATE_GATE_H_
#define IPC_IPC_SERVER_DELEGATE_GATE_H_

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "snipping_tool/snipping_tool_agent.h"

namespace snipping_tool {

class DelegateGate {
 public:
  // One call's hold of the delegate; empty when the gate is closed.
  class Use {
   public:
    Use(Use&& other) noexcept : gate_(other.gate_), delegate_(other.delegate_) {
      other.gate_ = nullptr;
      other.delegate_ = nullptr;
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    Use& operator=(Use&&) = delete;
    ~Use() {
      if (gate_)
        gate_->Release();
    }
    explicit operator bool() const { return delegate_ != nullptr; }
    ISnippingToolAgentDelegate* operator->() const { return delegate_; }
    ISnippingToolAgentDelegate* get() const { return delegate_; }

   private:
    friend class DelegateGate;
    Use(DelegateGate* gate, ISnippingToolAgentDelegate* delegate)
        : gate_(gate), delegate_(delegate) {}
    DelegateGate* gate_;
    ISnippingToolAgentDelegate* delegate_;
  };

  DelegateGate() = default;
  DelegateGate(const DelegateGate&) = delete;
  DelegateGate& operator=(const DelegateGate&) = delete;

  void Open(ISnippingToolAgentDelegate* delegate) {
    std::lock_guard<std::mutex> hold(lock_);
    delegate_ = delegate;
  }

  Use Acquire() {
    std::lock_guard<std::mutex> hold(lock_);
    if (!delegate_)
      return Use(nullptr, nullptr);
    users_.push_back(std::this_thread::get_id());
    return Use(this, delegate_);
  }

  void Close() {
    std::unique_lock<std::mutex> hold(lock_);
    delegate_ = nullptr;
    const std::thread::id self = std::this_thread::get_id();
    released_.wait(hold, [&] {
      for (const std::thread::id& user : users_) {
        if (user != self)
          return false;
      }
      return true;
    });
  }

 private:
  void Release() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      for (auto it = users_.begin(); it != users_.end(); ++it) {
        if (*it == std::this_thread::get_id()) {
          users_.erase(it);
          break;
        }
      }
    }
    released_.notify_all();
  }

  std::mutex lock_;
  std::condition_variable released_;
  ISnippingToolAgentDelegate* delegate_ = nullptr;
  // The threads that hold a use, once per use.
  std::vector<std::thread::id> users_;
};

}  // namespace snipping_tool

#endif  // IPC_IPC_SERVER_DELEGATE_GATE_H_
