// KeelModuleCollection: add-on modules that want to know when the library has been configured.
// Modules are held weakly (a released module simply drops out) and are told on the main queue.
//
// Thread-safety: every member may be called from any thread; the list is guarded by a serial
// queue. Callbacks arrive on the main queue.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <keel/platform/Dispatch.h>

namespace keel {

class KeelModule {
 public:
  virtual ~KeelModule() = default;
  virtual void keelDidInitializeWithApplicationId(const std::string& applicationId, const std::string& clientKey) = 0;
};

class KeelModuleCollection {
 public:
  KeelModuleCollection();

  // Null modules are ignored.
  void addKeelModule(const std::shared_ptr<KeelModule>& module);
  void removeKeelModule(const std::shared_ptr<KeelModule>& module);
  bool containsModule(const std::shared_ptr<KeelModule>& module);
  // Returns the number of live modules.
  std::size_t modulesCount();
  // Tells each live module, in order, on the main queue.
  void keelDidInitializeWithApplicationId(const std::string& applicationId, const std::string& clientKey);
  // Calls `block(module, stop, remove)` for each live module in order; entries flagged for
  // removal and released entries are dropped after the pass.
  void enumerateModulesWithBlock(const std::function<void(const std::shared_ptr<KeelModule>&, bool& stop, bool& remove)>& block);

 private:
  platform::DispatchQueuePtr queue_;
  std::vector<std::weak_ptr<KeelModule>> modules_;
};

}  // namespace keel
