// Internals of Task: the shared state behind every Task handle and the nodes that continuations
// attach to it. Not part of the public API; include <keel/tasks/Task.h> instead.
//
// Thread-safety: a TaskState completes once, under its mutex; its outcome is immutable from
// then on and is read after an acquire load of the status, without the mutex. Continuation
// nodes are run by the completing thread after the mutex is released (or at once by the
// attaching thread when the task is already complete), in attachment order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <keel/base/Error.h>
#include <keel/base/Value.h>

namespace keel {

template <typename T>
class Task;

namespace detail {

enum class TaskStatus : std::uint8_t { Pending, Succeeded, FaultedWithError, FaultedWithException, Cancelled };

class TaskState;
using TaskStatePtr = std::shared_ptr<TaskState>;

// Something to do once a task completes. One node may be attached to several tasks.
class ContinuationNode {
 public:
  virtual ~ContinuationNode() = default;
  // Called once per task the node is attached to, with that task, after it completed. `self`
  // is a reference to this node that the caller gives up, so that a node that must outlive
  // the call can keep it without touching the shared count again.
  virtual void parentCompleted(const TaskStatePtr& parent, std::shared_ptr<ContinuationNode> self) = 0;
};
using ContinuationNodePtr = std::shared_ptr<ContinuationNode>;

class TaskState : public std::enable_shared_from_this<TaskState> {
 public:
  TaskState() = default;
  TaskState(const TaskState&) = delete;
  TaskState& operator=(const TaskState&) = delete;
  virtual ~TaskState() = default;

  TaskStatus status() const { return status_.load(std::memory_order_acquire); }
  bool isCompleted() const { return status() != TaskStatus::Pending; }
  bool isCancelled() const { return status() == TaskStatus::Cancelled; }
  bool isFaulted() const {
    auto s = status();
    return s == TaskStatus::FaultedWithError || s == TaskStatus::FaultedWithException;
  }
  ErrorPtr error() const { return status() == TaskStatus::FaultedWithError ? error_ : nullptr; }
  std::exception_ptr exception() const {
    return status() == TaskStatus::FaultedWithException ? exception_ : nullptr;
  }

  // Returns "%@" of the result; "(null)" when there is none.
  virtual std::string resultDescription() const { return "(null)"; }
  // Returns the result as a Value; the null Value when it has no Value form.
  virtual Value resultValue() const { return Value(); }

  bool trySetError(ErrorPtr error) {
    return complete(TaskStatus::FaultedWithError, [&] { error_ = std::move(error); });
  }
  bool trySetException(std::exception_ptr exception) {
    return complete(TaskStatus::FaultedWithException, [&] { exception_ = std::move(exception); });
  }
  bool trySetCancelled() {
    return complete(TaskStatus::Cancelled, [] {});
  }

  // Runs `node` once this task completes: at once on this thread when it already has.
  void addContinuation(ContinuationNodePtr node);
  // Blocks until completion, sleeping on the condition variable.
  void waitOnCondition();
  // Blocks until completion, woken by a default-executor continuation.
  void waitWithContinuation();

 protected:
  template <typename Store>
  bool complete(TaskStatus outcome, Store&& store) {
    std::unique_lock lock(mutex_);
    if (status_.load(std::memory_order_relaxed) != TaskStatus::Pending) return false;
    store();
    status_.store(outcome, std::memory_order_release);
    ContinuationNodePtr first = std::move(first_);
    std::vector<ContinuationNodePtr> more = std::move(more_);
    bool waiters = waiters_;
    lock.unlock();
    if (waiters || first) runCompletion(waiters, std::move(first), std::move(more));
    return true;
  }

 private:
  void runCompletion(bool waiters, ContinuationNodePtr first, std::vector<ContinuationNodePtr> more);

  mutable std::mutex mutex_;
  // Made by the first blocking waiter: few tasks are ever waited for, and building and tearing
  // down a condition variable for every task is a large part of a continuation's cost.
  std::unique_ptr<std::condition_variable> condition_;
  std::atomic<TaskStatus> status_{TaskStatus::Pending};
  bool waiters_ = false;
  ErrorPtr error_;
  std::exception_ptr exception_;
  // Most tasks get one continuation; it is kept out of the vector to save an allocation.
  ContinuationNodePtr first_;
  std::vector<ContinuationNodePtr> more_;
};

template <typename T>
std::string describeResult(const T& v) {
  if constexpr (!std::is_pointer_v<T> && std::is_constructible_v<Value, const T&>) {
    return Value(v).description();
  } else if constexpr (requires { v.has_value(); *v; }) {
    return v.has_value() ? describeResult(*v) : std::string("(null)");
  } else if constexpr (requires { v.description(); }) {
    return std::string(v.description());
  } else if constexpr (requires { v->description(); }) {
    return v ? std::string(v->description()) : std::string("(null)");
  } else {
    return "<result>";
  }
}

template <typename T>
Value resultAsValue(const T& v) {
  if constexpr (!std::is_pointer_v<T> && std::is_constructible_v<Value, const T&>) {
    return Value(v);
  } else if constexpr (requires { v.has_value(); *v; }) {
    return v.has_value() ? resultAsValue(*v) : Value();
  } else {
    return Value();
  }
}

template <typename T>
class TaskStateT : public TaskState {
 public:
  template <typename U>
  bool trySetResult(U&& result) {
    return complete(TaskStatus::Succeeded, [&] { result_.emplace(std::forward<U>(result)); });
  }
  // REQUIRES: status() == Succeeded.
  const T& storedResult() const { return *result_; }

  std::string resultDescription() const override {
    return status() == TaskStatus::Succeeded ? describeResult(*result_) : std::string("(null)");
  }
  Value resultValue() const override {
    return status() == TaskStatus::Succeeded ? resultAsValue(*result_) : Value();
  }

 private:
  std::optional<T> result_;
};

template <>
class TaskStateT<void> : public TaskState {
 public:
  bool trySetResult() {
    return complete(TaskStatus::Succeeded, [] {});
  }
};

// Grants the task machinery access to a handle's state.
struct TaskAccess {
  template <typename H>
  static const TaskStatePtr& state(const H& handle) {
    return handle.state_;
  }
  template <typename H>
  static H make(TaskStatePtr state) {
    return H(std::move(state));
  }
};

}  // namespace detail
}  // namespace keel
