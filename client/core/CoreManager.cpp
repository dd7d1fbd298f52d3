#include <keel/core/CoreManager.h>

#include <utility>

#include <keel/base/Exception.h>
#include <keel/base/Format.h>
#include <keel/tasks/TaskLibrary.h>

namespace keel {

CoreManager::CoreManager() {
  throw InternalInconsistencyException(
      formatMessage("%@ is not the designated initializer for instances of %@.", "init", "CoreManager"));
}

CoreManager::CoreManager(std::weak_ptr<KeelManager> dataSource)
    : dataSource_(std::move(dataSource)),
      locationManagerAccessQueue_(platform::DispatchQueue::createSerial(std::string(kQueueLabelPrefix) + ".locationManager.access")),
      controllerAccessQueue_(platform::DispatchQueue::createSerial(std::string(kQueueLabelPrefix) + ".controller.access")),
      objectLocalIdStoreAccessQueue_(
          platform::DispatchQueue::createSerial(std::string(kQueueLabelPrefix) + ".objectLocalIdStore.access")) {}

std::shared_ptr<CoreManager> CoreManager::managerWithDataSource(std::weak_ptr<KeelManager> dataSource) {
  return std::make_shared<CoreManager>(std::move(dataSource));
}

void CoreManager::onControllerQueue(const std::function<void()>& work) const {
  if (controllerAccessQueue_->isCurrent()) {
    work();
  } else {
    controllerAccessQueue_->sync(work);
  }
}

std::shared_ptr<void> CoreManager::slot(std::type_index type, const std::function<std::shared_ptr<void>()>& make) {
  std::shared_ptr<void> result;
  onControllerQueue([&] {
    // References into an unordered_map survive the insertions a nested maker makes.
    Slot& slot = slots_[type];
    if (slot.value) {
      result = slot.value;
      return;
    }
    if (slot.making) {
      throw InternalInconsistencyException(
          formatMessage("The controller %@ was asked for while it was being made.", type.name()));
    }
    slot.making = true;
    try {
      slot.value = make();
      slot.making = false;
      result = slot.value;
    } catch (...) {
      slot.making = false;
      throw;
    }
  });
  return result;
}

std::shared_ptr<void> CoreManager::existingSlot(std::type_index type) const {
  std::shared_ptr<void> result;
  onControllerQueue([&] {
    auto found = slots_.find(type);
    if (found != slots_.end()) result = found->second.value;
  });
  return result;
}

void CoreManager::setSlot(std::type_index type, std::shared_ptr<void> value) {
  // The controller that is dropped dies outside the queue: its destructor may ask for others.
  std::shared_ptr<void> dropped;
  onControllerQueue([&] {
    Slot& slot = slots_[type];
    dropped = std::exchange(slot.value, std::move(value));
  });
}

}  // namespace keel
