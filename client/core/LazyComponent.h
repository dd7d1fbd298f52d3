// LazyComponent: one long-lived component of a manager, made on first use under a serial queue
// of its own, so that threads asking at the same time get the same instance. Adding a component
// to a manager is one member of this type and one getter that says how to make it.
//
// Thread-safety: every member may be called from any thread. The maker runs on the component's
// queue and may ask for other components (each has its own queue), but never for itself.
#pragma once

#include <memory>
#include <string>

#include <keel/platform/Dispatch.h>

namespace keel {

template <typename T>
class LazyComponent {
 public:
  explicit LazyComponent(std::string label) : queue_(platform::DispatchQueue::createSerial(std::move(label))) {}

  // Returns the component, making it with `make()` when there is none.
  template <typename Make>
  std::shared_ptr<T> get(Make&& make) {
    return queue_->syncResult([&] {
      if (!value_) value_ = make();
      return value_;
    });
  }
  // Returns the component, or nullptr when none has been made.
  std::shared_ptr<T> peek() const {
    return queue_->syncResult([&] { return value_; });
  }
  // Replaces the component (nullptr drops it; the next get makes a new one).
  void set(std::shared_ptr<T> value) {
    queue_->sync([&] { value_ = std::move(value); });
  }
  const platform::DispatchQueuePtr& queue() const { return queue_; }

 private:
  platform::DispatchQueuePtr queue_;
  std::shared_ptr<T> value_;
};

}  // namespace keel
