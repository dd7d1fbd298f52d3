// TaskQueue: serialises asynchronous operations that must not overlap (for example, the
// reads and writes of one file). Each enqueued closure receives the task to wait for - the
// previous operation together with its own predecessor - and must continue from it; the
// next closure then waits for the task it returned, whatever its outcome.
//
// Thread-safety: enqueue may be called from any thread; the closure is called under the
// queue's (re-entrant) mutex, so it must only attach continuations, never wait.
#pragma once

#include <mutex>
#include <type_traits>
#include <utility>

#include <keel/tasks/Task.h>

namespace keel {

class TaskQueue {
 public:
  // Calls `block` with the task to wait for and returns the task it returns.
  // REQUIRES: block returns a non-empty Task.
  template <typename F>
  auto enqueue(F&& block) -> std::decay_t<std::invoke_result_t<F&, const Task<>&>> {
    std::lock_guard lock(mutex_);
    Task<> toAwait = tail_.isValid() ? tail_ : Task<>::taskWithResult();
    auto next = block(toAwait);
    parameterAssert(next.isValid(), "An enqueued operation must return a task.");
    tail_ = Task<>::taskForCompletionOfAllTasks({toAwait, next});
    return next;
  }

 private:
  std::recursive_mutex mutex_;
  Task<> tail_;
};

}  // namespace keel
