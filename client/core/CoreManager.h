// CoreManager: holds the library's data controllers (queries, objects, users, sessions,
// installations, configuration, files) one level below the KeelManager.
//
// The core layer does not know those controllers: they belong to the subsystems above it. Each
// subsystem keeps its controller in a typed slot here, one slot per type T:
//
//   auto users = core->component<UserController>([](CoreManager& core) {
//     return std::make_shared<UserController>(core.weak_from_this());
//   });
//
// The first caller's maker makes the controller, under the controller queue, so threads asking
// at the same time get one instance; later callers get that instance and their maker is not
// called. setComponent replaces a controller (a test puts a fake in; nullptr drops it, and the
// next component() makes a new one).
//
// Thread-safety: every member may be called from any thread. A maker runs on the controller
// queue; it may ask for other controllers (they are made on the spot, on the same queue), but
// asking for the controller it is making throws InternalInconsistencyException.
// Ownership: the KeelManager owns the core manager; the core manager owns its controllers and
// holds its data source (the KeelManager) weakly. A controller that needs the core manager or
// the KeelManager holds it weakly too, or the graph would keep itself alive.
#pragma once

#include <functional>
#include <memory>
#include <typeindex>
#include <unordered_map>

#include <keel/platform/Dispatch.h>

namespace keel {

class KeelManager;

class CoreManager : public std::enable_shared_from_this<CoreManager> {
 public:
  // Throws: the plain initializer is not the designated one.
  CoreManager();
  explicit CoreManager(std::weak_ptr<KeelManager> dataSource);
  static std::shared_ptr<CoreManager> managerWithDataSource(std::weak_ptr<KeelManager> dataSource);

  // Returns the data source, or nullptr once it is gone.
  std::shared_ptr<KeelManager> dataSource() const { return dataSource_.lock(); }

  // Returns the controller of type T, making it with `make(*this)` when the slot is empty.
  // `make` returns something convertible to std::shared_ptr<T>; a null result leaves the slot
  // empty and is returned as it is.
  template <typename T, typename Make>
  std::shared_ptr<T> component(Make&& make) {
    return std::static_pointer_cast<T>(slot(typeid(T), [&]() -> std::shared_ptr<void> {
      std::shared_ptr<T> made = make(*this);
      return made;
    }));
  }
  // Returns the controller of type T, or nullptr when none has been made or set.
  template <typename T>
  std::shared_ptr<T> existingComponent() const {
    return std::static_pointer_cast<T>(existingSlot(typeid(T)));
  }
  // Replaces the controller of type T (nullptr drops it).
  template <typename T>
  void setComponent(std::shared_ptr<T> controller) {
    setSlot(typeid(T), std::move(controller));
  }

  const platform::DispatchQueuePtr& locationManagerAccessQueue() const { return locationManagerAccessQueue_; }
  const platform::DispatchQueuePtr& controllerAccessQueue() const { return controllerAccessQueue_; }
  const platform::DispatchQueuePtr& objectLocalIdStoreAccessQueue() const { return objectLocalIdStoreAccessQueue_; }

 private:
  struct Slot {
    std::shared_ptr<void> value;
    bool making = false;
  };

  std::shared_ptr<void> slot(std::type_index type, const std::function<std::shared_ptr<void>()>& make);
  std::shared_ptr<void> existingSlot(std::type_index type) const;
  void setSlot(std::type_index type, std::shared_ptr<void> value);
  // Runs `work` on the controller queue, in place when the caller already runs there (a maker
  // asking for another controller).
  void onControllerQueue(const std::function<void()>& work) const;

  std::weak_ptr<KeelManager> dataSource_;
  platform::DispatchQueuePtr locationManagerAccessQueue_;
  platform::DispatchQueuePtr controllerAccessQueue_;
  platform::DispatchQueuePtr objectLocalIdStoreAccessQueue_;
  std::unordered_map<std::type_index, Slot> slots_;  // guarded by controllerAccessQueue_
};

}  // namespace keel
