// A host service manager for tests: services, their interfaces and the two
// host interfaces the agent uses, all in memory.
#ifndef TESTS_SUPPORT_FAKE_SERVICE_MANAGER_H_
#define TESTS_SUPPORT_FAKE_SERVICE_MANAGER_H_

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/service_manager.h"

namespace test_support {

// Owns a reference to the interface it hands out.
class FakeInterfaceHandle : public kvbase::IServiceInterfaceHandle {
 public:
  FakeInterfaceHandle(std::shared_ptr<void> owner, void* raw)
      : owner_(std::move(owner)), raw_(raw) {}
  void* GetRaw() override { return raw_; }

 private:
  std::shared_ptr<void> owner_;
  void* raw_;
};

class FakeService : public kvbase::IKnownService {
 public:
  std::shared_ptr<kvbase::IServiceInterfaceHandle> GetInterface(
      const std::string& type_name) override {
    std::lock_guard<std::mutex> hold(lock_);
    const auto found = interfaces_.find(type_name);
    if (found == interfaces_.end())
      return nullptr;
    return std::make_shared<FakeInterfaceHandle>(found->second.first, found->second.second);
  }

  template <typename T, typename Impl>
  void Add(const std::string& type_name, const std::shared_ptr<Impl>& impl) {
    std::lock_guard<std::mutex> hold(lock_);
    interfaces_[type_name] = {impl, static_cast<T*>(impl.get())};
  }

 private:
  std::mutex lock_;
  std::map<std::string, std::pair<std::shared_ptr<void>, void*>> interfaces_;
};

class FakeServiceManager : public kvbase::IServiceManager {
 public:
  std::shared_ptr<kvbase::IServiceBase> GetService(const std::string& name) override {
    std::lock_guard<std::mutex> hold(lock_);
    const auto found = services_.find(name);
    return found == services_.end() ? nullptr : found->second;
  }

  void WriteLog(int level, const std::string& message) override {
    std::lock_guard<std::mutex> hold(lock_);
    log_.emplace_back(level, message);
  }

  std::shared_ptr<FakeService> AddService(const std::string& name) {
    std::lock_guard<std::mutex> hold(lock_);
    auto& service = services_[name];
    if (!service)
      service = std::make_shared<FakeService>();
    return service;
  }

  // Offers |impl| as the interface |type_name| of service |service_name|.
  template <typename Impl>
  void AddInterface(const std::string& service_name, const std::string& type_name,
                    const std::shared_ptr<Impl>& impl) {
    AddService(service_name)->template Add<typename Impl::Interface>(type_name, impl);
  }

  std::vector<std::pair<int, std::string>> log() const {
    std::lock_guard<std::mutex> hold(lock_);
    return log_;
  }

 private:
  mutable std::mutex lock_;
  std::map<std::string, std::shared_ptr<FakeService>> services_;
  std::vector<std::pair<int, std::string>> log_;
};

class FakeGraySwitchMgr : public model::IGraySwitchMgr {
 public:
  using Interface = model::IGraySwitchMgr;

  bool GetGraySwitch(const std::string& group, const std::string& name, bool* out1,
                     bool* out2) override {
    std::lock_guard<std::mutex> hold(lock_);
    if (!out1 || !out2 || *out1 || *out2)
      out_values_started_false_ = false;
    // The host may write the out values; the agent must not read them.
    *out1 = true;
    *out2 = true;
    const auto found = switches_.find({group, name});
    return found != switches_.end() && found->second;
  }

  void Set(const std::string& group, const std::string& name, bool on) {
    std::lock_guard<std::mutex> hold(lock_);
    switches_[{group, name}] = on;
  }
  bool out_values_started_false() const {
    std::lock_guard<std::mutex> hold(lock_);
    return out_values_started_false_;
  }

 private:
  mutable std::mutex lock_;
  std::map<std::pair<std::string, std::string>, bool> switches_;
  bool out_values_started_false_ = true;
};

class FakeThemeManager : public biz::IThemeManager {
 public:
  using Interface = biz::IThemeManager;

  int GetCurrentTheme() override { return theme_.load(); }
  void set_theme(int theme) { theme_.store(theme); }

 private:
  std::atomic<int> theme_{0};
};

}  // namespace test_support

#endif  // TESTS_SUPPORT_FAKE_SERVICE_MANAGER_H_
