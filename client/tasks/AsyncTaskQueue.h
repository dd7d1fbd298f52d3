// AsyncTaskQueue: runs closures one after another on the background executor. Each closure
// receives the task of the one before it (already complete, in whatever way) and returns a
// task (or a plain value); enqueue returns at once a task that takes on that outcome.
//
// Thread-safety: enqueue may be called from any thread. The tail is only touched on the
// queue's own serial dispatch queue. Work in flight keeps the queue alive.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

#include <keel/tasks/Task.h>
#include <keel/platform/Dispatch.h>

namespace keel {

class AsyncTaskQueue : public std::enable_shared_from_this<AsyncTaskQueue> {
 public:
  // Returns a new queue.
  static std::shared_ptr<AsyncTaskQueue> taskQueue();

  template <typename F>
  auto enqueue(F&& block) {
    using U = detail::ContinuationResult<Task<>, std::decay_t<F>>;
    TaskCompletionSource<U> source;
    auto shared = std::make_shared<std::decay_t<F>>(std::forward<F>(block));
    syncQueue_->async([self = shared_from_this(), shared, source]() mutable {
      Task<U> next = self->tail_.continueAsyncWithBlock(
          [shared](const Task<>& previous) { return (*shared)(previous); });
      self->tail_ = next;
      next.continueAsyncWithBlock([source](const Task<U>& finished) mutable {
        if (finished.isFaulted()) {
          if (auto error = finished.error()) {
            source.trySetError(error);
          } else {
            source.trySetException(finished.exception());
          }
        } else if (finished.isCancelled()) {
          source.trySetCancelled();
        } else if constexpr (std::is_void_v<U>) {
          source.trySetResult();
        } else {
          source.trySetResult(finished.result());
        }
      });
    });
    return source.task();
  }

 private:
  AsyncTaskQueue();

  platform::DispatchQueuePtr syncQueue_;
  Task<> tail_;
};

}  // namespace keel
