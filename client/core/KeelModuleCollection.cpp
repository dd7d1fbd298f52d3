#include <keel/core/KeelModuleCollection.h>

#include <algorithm>

#include <keel/tasks/TaskLibrary.h>

namespace keel {

KeelModuleCollection::KeelModuleCollection()
    : queue_(platform::DispatchQueue::createSerial(std::string(kQueueLabelPrefix) + ".modulecollection.access")) {}

void KeelModuleCollection::addKeelModule(const std::shared_ptr<KeelModule>& module) {
  if (!module) return;
  queue_->sync([&] { modules_.push_back(module); });
}

void KeelModuleCollection::removeKeelModule(const std::shared_ptr<KeelModule>& module) {
  if (!module) return;
  enumerateModulesWithBlock([&](const std::shared_ptr<KeelModule>& m, bool&, bool& remove) { remove = m == module; });
}

bool KeelModuleCollection::containsModule(const std::shared_ptr<KeelModule>& module) {
  bool found = false;
  enumerateModulesWithBlock([&](const std::shared_ptr<KeelModule>& m, bool& stop, bool&) {
    if (m == module) found = stop = true;
  });
  return found;
}

std::size_t KeelModuleCollection::modulesCount() {
  std::size_t count = 0;
  enumerateModulesWithBlock([&](const std::shared_ptr<KeelModule>&, bool&, bool&) { ++count; });
  return count;
}

void KeelModuleCollection::keelDidInitializeWithApplicationId(const std::string& applicationId,
                                                              const std::string& clientKey) {
  enumerateModulesWithBlock([&](const std::shared_ptr<KeelModule>& module, bool&, bool&) {
    std::weak_ptr<KeelModule> weak = module;
    platform::DispatchQueue::main()->async([weak, applicationId, clientKey] {
      if (auto m = weak.lock()) m->keelDidInitializeWithApplicationId(applicationId, clientKey);
    });
  });
}

void KeelModuleCollection::enumerateModulesWithBlock(
    const std::function<void(const std::shared_ptr<KeelModule>&, bool& stop, bool& remove)>& block) {
  queue_->sync([&] {
    std::vector<bool> drop(modules_.size(), false);
    for (std::size_t i = 0; i < modules_.size(); ++i) {
      auto module = modules_[i].lock();
      if (!module) {
        drop[i] = true;
        continue;
      }
      bool stop = false, remove = false;
      block(module, stop, remove);
      drop[i] = remove;
      if (stop) break;
    }
    // Entries after a stop are kept unless already released.
    for (std::size_t i = 0; i < modules_.size(); ++i) {
      if (modules_[i].expired()) drop[i] = true;
    }
    std::size_t k = 0;
    modules_.erase(std::remove_if(modules_.begin(), modules_.end(), [&](const auto&) { return drop[k++]; }),
                   modules_.end());
  });
}

}  // namespace keel
