// CoreManager: holds the library's data controllers (queries, objects, users, sessions,
// installations, configuration, files) one level below the KeelManager. Each controller is made
// on first use under the manager's controller queue and can be replaced through its setter.
// The controllers arrive with the parts of the library that define them; each is one
// LazyComponent member and one getter/setter pair here.
//
// Thread-safety: every member may be called from any thread.
// Ownership: the KeelManager owns the core manager; the core manager holds its data source
// (the KeelManager) weakly, so it never keeps the manager alive.
#pragma once

#include <memory>

#include <keel/platform/Dispatch.h>

namespace keel {

class KeelManager;

class CoreManager {
 public:
  // Throws: the plain initializer is not the designated one.
  CoreManager();
  explicit CoreManager(std::weak_ptr<KeelManager> dataSource);
  static std::shared_ptr<CoreManager> managerWithDataSource(std::weak_ptr<KeelManager> dataSource);

  // Returns the data source, or nullptr once it is gone.
  std::shared_ptr<KeelManager> dataSource() const { return dataSource_.lock(); }

  const platform::DispatchQueuePtr& locationManagerAccessQueue() const { return locationManagerAccessQueue_; }
  const platform::DispatchQueuePtr& controllerAccessQueue() const { return controllerAccessQueue_; }
  const platform::DispatchQueuePtr& objectLocalIdStoreAccessQueue() const { return objectLocalIdStoreAccessQueue_; }

 private:
  std::weak_ptr<KeelManager> dataSource_;
  platform::DispatchQueuePtr locationManagerAccessQueue_;
  platform::DispatchQueuePtr controllerAccessQueue_;
  platform::DispatchQueuePtr objectLocalIdStoreAccessQueue_;
};

}  // namespace keel
