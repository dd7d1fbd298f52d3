#include <keel/core/CoreManager.h>

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

}  // namespace keel
