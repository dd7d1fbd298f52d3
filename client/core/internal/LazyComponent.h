// LazyComponent: one long-lived component of a manager, made on first use under a serial queue
// of its own, so that threads asking at the same time get the same instance. Internal to the
// core layer (not installed): the managers keep their components in these behind their public
// headers.
//
// Thread-safety: every member may be called from any thread. The maker runs on the component's
// queue and may ask for other components (each has its own queue), but never for itself.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include <keel/platform/Dispatch.h>

namespace keel::internal {

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
  // Runs `work(component)` on the component's queue, with nullptr when none has been made; no
  // component is made or replaced meanwhile.
  template <typename Work>
  void withComponent(Work&& work) {
    queue_->sync([&] { work(value_); });
  }
  // Replaces the component (nullptr drops it; the next get makes a new one). The old one is
  // released outside the queue.
  void set(std::shared_ptr<T> value) {
    std::shared_ptr<T> old;
    queue_->sync([&] { old = std::exchange(value_, std::move(value)); });
  }
  const platform::DispatchQueuePtr& queue() const { return queue_; }

 private:
  platform::DispatchQueuePtr queue_;
  std::shared_ptr<T> value_;
};

}  // namespace keel::internal
