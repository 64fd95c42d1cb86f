// Counted interfaces and the intrusive pointer over them.
#ifndef IPC_CORE_REF_COUNT_H_
#define IPC_CORE_REF_COUNT_H_

#include <cstddef>
#include <utility>

namespace ipc_core {

// Slots in order: AddRef, Release, destructor. Release that brings the count
// to zero destroys the object.
class IRefCount {
 public:
  virtual void AddRef() = 0;
  virtual void Release() = 0;
  virtual ~IRefCount() = default;
};

// Intrusive counted pointer: copying calls AddRef, destruction calls Release.
template <typename T>
class ipc_core_refptr {
 public:
  ipc_core_refptr() = default;
  ipc_core_refptr(std::nullptr_t) {}
  ipc_core_refptr(T* p) : ptr_(p) {
    if (ptr_)
      ptr_->AddRef();
  }
  ipc_core_refptr(const ipc_core_refptr& other) : ipc_core_refptr(other.ptr_) {}
  template <typename U>
  ipc_core_refptr(const ipc_core_refptr<U>& other) : ipc_core_refptr(other.get()) {}
  ipc_core_refptr(ipc_core_refptr&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
  ~ipc_core_refptr() {
    if (ptr_)
      ptr_->Release();
  }

  ipc_core_refptr& operator=(ipc_core_refptr other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }

  T* get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  T& operator*() const { return *ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

  // Gives up the reference without releasing it.
  T* release() {
    T* p = ptr_;
    ptr_ = nullptr;
    return p;
  }
  // Takes over a reference the caller already owns (no AddRef).
  static ipc_core_refptr Adopt(T* p) {
    ipc_core_refptr r;
    r.ptr_ = p;
    return r;
  }
  void reset() { ipc_core_refptr().swap(*this); }
  void swap(ipc_core_refptr& other) noexcept { std::swap(ptr_, other.ptr_); }

  bool operator==(const ipc_core_refptr& o) const { return ptr_ == o.ptr_; }
  bool operator!=(const ipc_core_refptr& o) const { return ptr_ != o.ptr_; }

 private:
  T* ptr_ = nullptr;
};

}  // namespace ipc_core

#endif  // IPC_CORE_REF_COUNT_H_
