// The host application's services, reached through its service manager.
//
// The host may hand the agent a service manager; through it the agent reads
// feature ("gray") switches and the UI theme. The shipped library never
// installs one, so every lookup is empty and the defaults hold (switches
// off, theme "light"); the library's own code and its tests can install one
// with ServiceManagerHolder::SetServiceManager.
#ifndef PLATFORM_SERVICE_MANAGER_H_
#define PLATFORM_SERVICE_MANAGER_H_

#include <memory>
#include <mutex>
#include <string>
#include <typeinfo>
#include <type_traits>

namespace model {

// The host's feature switches.
class IGraySwitchMgr {
 public:
  // True when switch |name| of |group| is on. The meaning of the two out
  // values is the host's; the agent reads only the result.
  virtual bool GetGraySwitch(const std::string& group, const std::string& name, bool* out1,
                             bool* out2) = 0;

 protected:
  virtual ~IGraySwitchMgr() = default;
};

}  // namespace model

namespace biz {

// The host's UI theme.
class IThemeManager {
 public:
  // 1 is the dark theme; anything else the light one.
  virtual int GetCurrentTheme() = 0;

 protected:
  virtual ~IThemeManager() = default;
};

}  // namespace biz

namespace kvbase {

// An interface of a service, kept alive by its handle.
class IServiceInterfaceHandle {
 public:
  virtual ~IServiceInterfaceHandle() = default;
  // The raw interface pointer; valid while the handle lives.
  virtual void* GetRaw() = 0;
};

// What the service manager hands out.
class IServiceBase {
 public:
  virtual ~IServiceBase() = default;
};

// The kind of service the agent knows how to use: one that hands out its
// interfaces by type name.
class IKnownService : public IServiceBase {
 public:
  // The interface named |type_name| ("class biz::IThemeManager"), or empty.
  virtual std::shared_ptr<IServiceInterfaceHandle> GetInterface(const std::string& type_name) = 0;
};

// The host's service manager.
class IServiceManager {
 public:
  virtual ~IServiceManager() = default;
  // The service registered as |name|, or empty.
  virtual std::shared_ptr<IServiceBase> GetService(const std::string& name) = 0;
  // Takes a diagnostic message of the lookup; |level| is the host's.
  virtual void WriteLog(int level, const std::string& message) = 0;
};

// The process-wide place of the host's service manager.
class ServiceManagerHolder {
 public:
  // Created on first use, once, also when several threads ask at the same
  // time; lives until the process ends.
  static ServiceManagerHolder* GetInstance();

  // A copy of the current manager's reference; empty when none is set.
  std::shared_ptr<IServiceManager> GetServiceManager();

  // Internal: installs (or, with an empty reference, removes) the manager.
  // The agent's own code and tests use it; it is not exported.
  void SetServiceManager(std::shared_ptr<IServiceManager> manager);

 private:
  ServiceManagerHolder() = default;

  // Guards only the copying of |manager_|, never a call into the host.
  std::mutex lock_;
  std::shared_ptr<IServiceManager> manager_;
};

// Log levels passed to IServiceManager::WriteLog.
inline constexpr int kServiceLogLevelServiceMissing = 2;
inline constexpr int kServiceLogLevelNotKnownService = 3;

// The name under which the host registers its feature switches.
inline constexpr char kGraySwitchMgrServiceName[] =
    "m_gray_switch_mgr{9B63EB2C-3CA5-4210-AC4A-F0BBE3D02D06}";
// The group of every switch the agent reads.
inline constexpr char kGraySwitchGroup[] = "general";

// The type's name as the host's type information spells it: the kind of
// type, a blank, and the fully qualified name ("class biz::IThemeManager"),
// the same text with every compiler.
std::string UndecoratedTypeName(const std::type_info& type, bool is_class, bool is_enum);

template <typename T>
std::string UndecoratedTypeName() {
  return UndecoratedTypeName(typeid(T), std::is_class<T>::value, std::is_enum<T>::value);
}

namespace internal {
// The service found under |service_name| and its interface named
// |type_name|, with the lookup's diagnostics written to the manager.
std::shared_ptr<IServiceInterfaceHandle> GetServiceInterface(const std::string& service_name,
                                                             const std::string& type_name);
}  // namespace internal

// The host's interface T from the service |service_name|, or empty. The
// result keeps the interface's handle alive until its last copy is gone.
template <typename T>
std::shared_ptr<T> GetServiceFromServiceManager(const std::string& service_name) {
  std::shared_ptr<IServiceInterfaceHandle> handle =
      internal::GetServiceInterface(service_name, UndecoratedTypeName<T>());
  if (!handle)
    return nullptr;
  T* raw = static_cast<T*>(handle->GetRaw());
  if (!raw)
    return nullptr;
  return std::shared_ptr<T>(std::move(handle), raw);
}

// Switch |name| of group "general"; off when the host offers no switches.
bool GetGraySwitch(const std::string& name);

// "dark" when the host's theme manager reports the dark theme, else "light".
std::string GetAppTheme();

}  // namespace kvbase

#endif  // PLATFORM_SERVICE_MANAGER_H_
