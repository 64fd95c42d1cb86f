// One-time creation of a process-wide object, safe under concurrent first use
// (InitOnceBeginInitialize/InitOnceComplete on Windows).
#ifndef PLATFORM_ONCE_H_
#define PLATFORM_ONCE_H_

#if !defined(_WIN32)
#include <mutex>
#endif

namespace base {

// Holds the result of a creation that runs at most once. Meant for objects
// of static storage duration.
class OnceValue {
 public:
  using Create = void* (*)();

  constexpr OnceValue() = default;
  OnceValue(const OnceValue&) = delete;
  OnceValue& operator=(const OnceValue&) = delete;

  // The first caller runs |create| and every caller, concurrent ones
  // included, gets its result once it has returned. Ends the process with
  // abort() if the system's one-time initialisation fails.
  void* Get(Create create);

 private:
#if defined(_WIN32)
  void* init_once_ = nullptr;  // an INIT_ONCE, pointer-sized
#else
  std::once_flag flag_;
  void* value_ = nullptr;
#endif
};

}  // namespace base

#endif  // PLATFORM_ONCE_H_
