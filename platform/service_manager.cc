#include "platform/service_manager.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <utility>

#include "platform/once.h"

namespace kvbase {
namespace {

base::OnceValue g_holder_once;

constexpr char kServiceMissingMessage[] = "GetServiceFromServiceManager. service is null.";
constexpr char kNotKnownServiceMessage[] =
    "GetServiceFromServiceManager. known_service is null. (static_pointer_cast)";

constexpr int kDarkTheme = 1;
constexpr char kDarkThemeName[] = "dark";
constexpr char kLightThemeName[] = "light";

}  // namespace

ServiceManagerHolder* ServiceManagerHolder::GetInstance() {
  return static_cast<ServiceManagerHolder*>(
      g_holder_once.Get([]() -> void* { return new ServiceManagerHolder(); }));
}

std::shared_ptr<IServiceManager> ServiceManagerHolder::GetServiceManager() {
  std::lock_guard<std::mutex> hold(lock_);
  return manager_;
}

void ServiceManagerHolder::SetServiceManager(std::shared_ptr<IServiceManager> manager) {
  std::shared_ptr<IServiceManager> previous;
  {
    std::lock_guard<std::mutex> hold(lock_);
    previous = std::exchange(manager_, std::move(manager));
  }
  // |previous| is released here, outside the lock: its destructor is the
  // host's code.
}

std::string UndecoratedTypeName(const std::type_info& type, bool is_class, bool is_enum) {
  // GCC and Clang, MinGW included, give the mangled name; the host's
  // compiler spells the type as "class model::IGraySwitchMgr", which is what
  // the demangled name and its kind rebuild.
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
  std::string name = status == 0 && demangled ? demangled.get() : type.name();
  if (is_class)
    return "class " + name;
  if (is_enum)
    return "enum " + name;
  return name;
}

namespace internal {

std::shared_ptr<IServiceInterfaceHandle> GetServiceInterface(const std::string& service_name,
                                                             const std::string& type_name) {
  std::shared_ptr<IServiceManager> manager =
      ServiceManagerHolder::GetInstance()->GetServiceManager();
  if (!manager)
    return nullptr;
  std::shared_ptr<IServiceBase> service = manager->GetService(service_name);
  if (!service) {
    manager->WriteLog(kServiceLogLevelServiceMissing, kServiceMissingMessage);
    return nullptr;
  }
  std::shared_ptr<IKnownService> known_service = std::static_pointer_cast<IKnownService>(service);
  if (!known_service) {
    manager->WriteLog(kServiceLogLevelNotKnownService, kNotKnownServiceMessage);
    return nullptr;
  }
  return known_service->GetInterface(type_name);
}

}  // namespace internal

bool GetGraySwitch(const std::string& name) {
  std::shared_ptr<model::IGraySwitchMgr> switches =
      GetServiceFromServiceManager<model::IGraySwitchMgr>(kGraySwitchMgrServiceName);
  if (!switches)
    return false;
  bool out1 = false;
  bool out2 = false;
  return switches->GetGraySwitch(kGraySwitchGroup, name, &out1, &out2);
}

std::string GetAppTheme() {
  // The theme manager is registered under its own type name.
  const std::string name = UndecoratedTypeName<biz::IThemeManager>();
  std::shared_ptr<biz::IThemeManager> themes =
      GetServiceFromServiceManager<biz::IThemeManager>(name);
  return themes && themes->GetCurrentTheme() == kDarkTheme ? kDarkThemeName : kLightThemeName;
}

}  // namespace kvbase
