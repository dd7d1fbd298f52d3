// Task<T>: a write-once holder of the outcome of asynchronous work, to which continuations can
// be attached. The outcome is one of: a result of type T (none for Task<void>), an Error, a
// captured exception (std::exception_ptr), or cancellation. TaskCompletionSource<T> is the
// producer side and the only way to complete a task from outside.
//
// Ownership: a Task is a cheap handle (one shared pointer) to shared state; copies refer to
// the same task. Pending continuations keep what they capture until they run. A Task<T>
// converts implicitly to Task<void> (Task<>), the untyped view used by combinators and queues;
// the view shares the state and simply does not read the result.
//
// Continuations: a block receives the task (const Task<T>&) and returns
//   - Task<U>: the continuation's task mirrors that inner task (it is flattened) -> Task<U>;
//   - U: the continuation's task succeeds with it -> Task<U>;
//   - void: -> Task<void>.
// An exception thrown by a block is captured in the continuation's task; it never escapes into
// the executor. Forms that take a cancellation token have it as an optional last argument.
// Success forms skip the block for a faulted or cancelled task and pass its outcome on.
//
// Thread-safety: every member may be called from any thread. Continuations attached before
// completion are handed to their executors by the completing thread, in attachment order,
// after the task's lock is released; those attached afterwards are handed over at once by the
// attaching thread. Blocking inside a continuation is a bug: it can starve the executor that
// the awaited work needs.
//
// Results: result() and waitForResult() return T{} when there is no result, so T must be
// default-constructible for them (use std::optional<U>, a shared_ptr or keel::Value where
// "no result" must be told apart).
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <keel/tasks/CancellationToken.h>
#include <keel/base/Error.h>
#include <keel/base/Exception.h>
#include <keel/tasks/Executor.h>
#include <keel/tasks/TaskDetail.h>
#include <keel/base/Value.h>

namespace keel {

template <typename T = void>
class Task;
template <typename T = void>
class TaskCompletionSource;

// The error domain and code of several errors combined by taskForCompletionOfAllTasks.
inline constexpr const char* kTaskErrorDomain = "tasks";
inline constexpr long kMultipleErrorsCode = 80175001;
inline constexpr const char* kMultipleExceptionsExceptionName = "MultipleExceptionsException";

// A captured exception as a Value reference, so that it can sit in a user-info dictionary.
class CapturedException : public ValueReference {
 public:
  explicit CapturedException(std::exception_ptr exception) : exception_(std::move(exception)) {}
  const std::exception_ptr& exception() const { return exception_; }
  std::string className() const override { return "Exception"; }
  // Returns the exception's reason.
  std::string description() const override;

 private:
  std::exception_ptr exception_;
};

// Thrown in place of several exceptions that tasks combined by taskForCompletionOfAllTasks
// captured. userInfo()["exceptions"] lists them as CapturedException references.
class MultipleExceptionsException : public Exception {
 public:
  explicit MultipleExceptionsException(std::vector<std::exception_ptr> exceptions);
  const std::vector<std::exception_ptr>& exceptions() const { return exceptions_; }

 private:
  std::vector<std::exception_ptr> exceptions_;
};

// Logs the warning that a blocking wait runs on the main thread (a place to break on, too).
void warnBlockingOperationOnMainThread();

namespace detail {

template <typename R>
struct ContinuationTraits {
  using Result = R;
  static constexpr bool kFlatten = false;
};
template <typename U>
struct ContinuationTraits<Task<U>> {
  using Result = U;
  static constexpr bool kFlatten = true;
};

template <typename Self, typename F>
using BlockReturn = std::decay_t<std::invoke_result_t<F&, const Self&>>;
template <typename Self, typename F>
using ContinuationResult = typename ContinuationTraits<BlockReturn<Self, F>>::Result;

Task<void> completedVoidTask();
Task<void> whenAll(const std::vector<Task<void>>& tasks);
Task<Array> whenAllWithResults(const std::vector<Task<void>>& tasks);
Task<void> delayTask(int millis, const CancellationTokenPtr& token);
// Logs an exception that reaches a main-thread callback.
void logCaughtException(const std::exception_ptr& exception);

template <typename T>
struct ResultBlockOf {
  using type = std::function<void(T, ErrorPtr)>;
};
template <>
struct ResultBlockOf<void> {
  using type = std::function<void(ErrorPtr)>;
};

template <typename T>
bool booleanValueOf(const T& v) {
  if constexpr (std::is_same_v<T, Value>) {
    return v.boolValue();
  } else if constexpr (std::is_constructible_v<bool, const T&>) {
    return static_cast<bool>(v);
  } else {
    return false;
  }
}

// Copies a failure of `from` into `to`; returns false when `from` succeeded.
inline bool propagateFailure(const TaskState& from, TaskState& to) {
  switch (from.status()) {
    case TaskStatus::FaultedWithError:
      to.trySetError(from.error());
      return true;
    case TaskStatus::FaultedWithException:
      to.trySetException(from.exception());
      return true;
    case TaskStatus::Cancelled:
      to.trySetCancelled();
      return true;
    default:
      return false;
  }
}

// Completes `to` with the outcome of the completed `from`; cancellation requested on `token`
// wins over every outcome.
template <typename U>
void forwardOutcome(const TaskState& from, TaskStateT<U>& to, const CancellationToken* token) {
  try {
    if ((token && token->isCancellationRequested()) || from.isCancelled()) {
      to.trySetCancelled();
    } else if (!propagateFailure(from, to)) {
      if constexpr (std::is_void_v<U>) {
        to.trySetResult();
      } else {
        to.trySetResult(static_cast<const TaskStateT<U>&>(from).storedResult());
      }
    }
  } catch (...) {
    to.trySetException(std::current_exception());
  }
}

template <typename U>
class ForwardNode final : public ContinuationNode {
 public:
  ForwardNode(std::shared_ptr<TaskStateT<U>> target, CancellationTokenPtr token)
      : target_(std::move(target)), token_(std::move(token)) {}
  void parentCompleted(const TaskStatePtr& parent, ContinuationNodePtr) override {
    Executor::defaultExecutor()->execute(
        [target = target_, token = token_, parent] { forwardOutcome(*parent, *target, token.get()); });
  }

 private:
  std::shared_ptr<TaskStateT<U>> target_;
  CancellationTokenPtr token_;
};

// The task of one continuation, and the node that runs its block: one allocation per step.
template <typename Self, typename F>
class ContinuationState final : public TaskStateT<ContinuationResult<Self, F>>,
                                public ContinuationNode {
  using R = BlockReturn<Self, F>;
  using U = ContinuationResult<Self, F>;

 public:
  template <typename G>
  ContinuationState(const ExecutorPtr& executor, G&& block, const CancellationTokenPtr& token,
                    bool successOnly)
      : executor_(executor.get()),
        executorOwner_(executor->isProcessWide() ? nullptr : executor),
        token_(token),
        block_(std::in_place, std::forward<G>(block)),
        successOnly_(successOnly) {}

  void parentCompleted(const TaskStatePtr& parent, ContinuationNodePtr node) override {
    parent_ = parent;
    auto self = std::static_pointer_cast<ContinuationState>(std::move(node));
    executor_->execute([self = std::move(self)] { self->run(); });
  }

 private:
  void run() {
    TaskStatePtr parent = std::move(parent_);
    CancellationTokenPtr token = std::move(token_);
    // The block and what it captured are released as soon as it has run.
    struct Release {
      std::optional<F>& block;
      ~Release() { block.reset(); }
    } release{block_};
    F* block = &*block_;
    try {
      if (token && token->isCancellationRequested()) {
        this->trySetCancelled();
        return;
      }
      if (successOnly_ && propagateFailure(*parent, *this)) return;
      Self handle = TaskAccess::make<Self>(std::move(parent));
      if constexpr (ContinuationTraits<R>::kFlatten) {
        mirror((*block)(handle), std::move(token));
      } else if constexpr (std::is_void_v<R>) {
        (*block)(handle);
        this->trySetResult();
      } else {
        this->trySetResult((*block)(handle));
      }
    } catch (...) {
      this->trySetException(std::current_exception());
    }
  }

  void mirror(const Task<U>& inner, CancellationTokenPtr token) {
    const TaskStatePtr& innerState = TaskAccess::state(inner);
    if (!innerState) {
      throw InternalInconsistencyException("A continuation returned an empty task.");
    }
    if (innerState->isCompleted()) {
      forwardOutcome(*innerState, *this, token.get());
      return;
    }
    auto self = std::static_pointer_cast<TaskStateT<U>>(this->shared_from_this());
    innerState->addContinuation(std::make_shared<ForwardNode<U>>(std::move(self), std::move(token)));
  }

  // The process-wide executors are never destroyed, so only other executors are kept alive
  // here; sparing the shared count of the default executor matters on every step of a chain.
  Executor* executor_;
  ExecutorPtr executorOwner_;
  CancellationTokenPtr token_;
  TaskStatePtr parent_;
  std::optional<F> block_;
  bool successOnly_;
};

template <typename Self, typename F>
auto continueTask(const Self& self, const ExecutorPtr& executor, F&& block,
                  const CancellationTokenPtr& token, bool successOnly) {
  using U = ContinuationResult<Self, std::decay_t<F>>;
  parameterAssert(executor != nullptr, "A continuation needs an executor.");
  auto state = std::make_shared<ContinuationState<Self, std::decay_t<F>>>(
      executor, std::forward<F>(block), token, successOnly);
  Task<U> result = TaskAccess::make<Task<U>>(state);
  const TaskStatePtr& parent = TaskAccess::state(self);
  if (parent->isCompleted()) {
    // The common case in a chain: run at once, without asking the parent for a new reference
    // to itself.
    auto* raw = state.get();
    raw->parentCompleted(parent, std::move(state));
  } else {
    parent->addContinuation(std::move(state));
  }
  return result;
}

}  // namespace detail

template <typename T>
class Task {
 public:
  using ResultType = T;
  // The main-thread callback: (result, error), or (error) for a task without a result.
  using ResultBlock = typename detail::ResultBlockOf<T>::type;
  using BooleanResultBlock = std::function<void(bool, ErrorPtr)>;

  // An empty handle, to be assigned later. REQUIRES for every other member: a non-empty task.
  Task() = default;
  // Views any task as an untyped one.
  template <typename U>
    requires(std::is_void_v<T> && !std::is_void_v<U>)
  Task(const Task<U>& other) : state_(detail::TaskAccess::state(other)) {}

  bool isValid() const { return state_ != nullptr; }
  explicit operator bool() const { return isValid(); }
  bool operator==(const Task& other) const { return state_ == other.state_; }

  // ---- Creating tasks

  // Returns a completed task with `result`.
  template <typename U = T>
    requires(!std::is_void_v<U>)
  static Task taskWithResult(std::type_identity_t<U> result) {
    auto state = std::make_shared<detail::TaskStateT<T>>();
    state->trySetResult(std::move(result));
    return Task(std::move(state));
  }
  // Returns a completed task without a result.
  template <typename U = T>
    requires(std::is_void_v<U>)
  static Task taskWithResult() {
    return detail::completedVoidTask();
  }
  static Task taskWithError(ErrorPtr error) {
    auto state = std::make_shared<detail::TaskStateT<T>>();
    state->trySetError(std::move(error));
    return Task(std::move(state));
  }
  static Task taskWithException(std::exception_ptr exception) {
    auto state = std::make_shared<detail::TaskStateT<T>>();
    state->trySetException(std::move(exception));
    return Task(std::move(state));
  }
  static Task cancelledTask() {
    auto state = std::make_shared<detail::TaskStateT<T>>();
    state->trySetCancelled();
    return Task(std::move(state));
  }
  // Returns a task that succeeds after `millis` milliseconds, timed on the global queue; it is
  // cancelled instead when `token` requests cancellation by then (or already does now).
  static Task<void> taskWithDelay(int millis, const CancellationTokenPtr& token = nullptr) {
    return detail::delayTask(millis, token);
  }
  // Returns the task of calling `block()` on `executor` (flattened like any continuation).
  template <typename F>
  static auto taskFromExecutor(const ExecutorPtr& executor, F&& block) {
    return detail::completedVoidTask().continueWithExecutor(
        executor, [block = std::forward<F>(block)](const Task<void>&) mutable { return block(); });
  }
  // Returns a task that completes when all `tasks` have: with the single exception, else a
  // MultipleExceptionsException, else the single error, else a "tasks" error listing the
  // errors, else cancelled when any was cancelled, else successfully. Lists keep completion
  // order. An empty list gives a completed task.
  static Task<void> taskForCompletionOfAllTasks(const std::vector<Task<void>>& tasks) {
    return detail::whenAll(tasks);
  }
  // As taskForCompletionOfAllTasks, then the results in input order as Values (the null Value
  // for a task without a result or one with no Value form).
  static Task<Array> taskForCompletionOfAllTasksWithResults(const std::vector<Task<void>>& tasks) {
    return detail::whenAllWithResults(tasks);
  }
  // As above for tasks of one type: the results as they are, in input order.
  template <typename U>
    requires(!std::is_void_v<U>)
  static Task<std::vector<U>> taskForCompletionOfAllTasksWithResults(const std::vector<Task<U>>& tasks) {
    std::vector<Task<void>> untyped(tasks.begin(), tasks.end());
    return detail::whenAll(untyped).continueWithSuccessBlock([tasks](const Task<void>&) {
      std::vector<U> results;
      results.reserve(tasks.size());
      for (const auto& t : tasks) results.push_back(t.result());
      return results;
    });
  }

  // ---- Reading a task

  // Returns the result, or T{} when the task has not succeeded.
  T result() const {
    if constexpr (!std::is_void_v<T>) {
      if (state_->status() != detail::TaskStatus::Succeeded) return T{};
      return typedState()->storedResult();
    }
  }
  ErrorPtr error() const { return state_->error(); }
  std::exception_ptr exception() const { return state_->exception(); }
  bool isCancelled() const { return state_->isCancelled(); }
  bool isFaulted() const { return state_->isFaulted(); }
  bool isCompleted() const { return state_->isCompleted(); }
  // Blocks until the task completes; warns first when called on the main thread.
  void waitUntilFinished() const {
    if (platform::isMainThread()) warnBlockingOperationOnMainThread();
    state_->waitOnCondition();
  }
  // Returns "<Task: 0x...; completed = YES; cancelled = NO; faulted = NO; result:...>".
  std::string description() const;

  // ---- Continuations

  template <typename F>
  auto continueWithExecutor(const ExecutorPtr& executor, F&& block,
                            const CancellationTokenPtr& token = nullptr) const {
    return detail::continueTask(*this, executor, std::forward<F>(block), token, false);
  }
  template <typename F>
  auto continueWithBlock(F&& block, const CancellationTokenPtr& token = nullptr) const {
    return continueWithExecutor(Executor::defaultExecutor(), std::forward<F>(block), token);
  }
  template <typename F>
  auto continueWithExecutorSuccessBlock(const ExecutorPtr& executor, F&& block,
                                        const CancellationTokenPtr& token = nullptr) const {
    using U = detail::ContinuationResult<Task, std::decay_t<F>>;
    if (token && token->isCancellationRequested()) return Task<U>::cancelledTask();
    return detail::continueTask(*this, executor, std::forward<F>(block), token, true);
  }
  template <typename F>
  auto continueWithSuccessBlock(F&& block, const CancellationTokenPtr& token = nullptr) const {
    return continueWithExecutorSuccessBlock(Executor::defaultExecutor(), std::forward<F>(block), token);
  }
  // Continues on the default-priority background executor.
  template <typename F>
  auto continueAsyncWithBlock(F&& block) const {
    return continueWithExecutor(Executor::defaultPriorityBackgroundExecutor(), std::forward<F>(block));
  }
  template <typename F>
  auto continueAsyncWithSuccessBlock(F&& block) const {
    return continueWithExecutorSuccessBlock(Executor::defaultPriorityBackgroundExecutor(),
                                            std::forward<F>(block));
  }
  // Returns a task that, once this one completes in any way, succeeds with `value`.
  template <typename V>
  auto continueWithResult(V value) const {
    return continueWithBlock([value = std::move(value)](const Task&) { return value; });
  }
  // As continueWithResult, but a faulted or cancelled task passes its outcome on.
  template <typename V>
  auto continueWithSuccessResult(V value) const {
    return continueWithSuccessBlock([value = std::move(value)](const Task&) { return value; });
  }

  // ---- Main-thread callbacks

  // Calls `block` with (result, error) on the main thread once the task completes, skipping
  // it for a cancelled task unless `executeIfCancelled`. A captured exception is logged and
  // raised again there (so it ends up in the returned task). An empty block returns this task.
  Task<void> continueWithMainThreadResultBlock(ResultBlock block, bool executeIfCancelled) const {
    if (!block) return Task<void>(*this);
    return continueWithExecutor(
        Executor::mainThreadExecutor(),
        [block = std::move(block), executeIfCancelled](const Task& t) {
          if (auto e = t.exception()) {
            detail::logCaughtException(e);
            std::rethrow_exception(e);
          }
          if (t.isCancelled() && !executeIfCancelled) return;
          if constexpr (std::is_void_v<T>) {
            block(t.error());
          } else {
            block(t.result(), t.error());
          }
        });
  }
  // As continueWithMainThreadResultBlock, passing the result's boolean value.
  Task<void> continueWithMainThreadBooleanResultBlock(BooleanResultBlock block,
                                                      bool executeIfCancelled) const {
    if (!block) return Task<void>(*this);
    return continueWithMainThreadResultBlock(
        [block = std::move(block)](auto&&... args) {
          if constexpr (std::is_void_v<T>) {
            block(false, args...);
          } else {
            auto call = [&](const T& result, const ErrorPtr& error) {
              block(detail::booleanValueOf(result), error);
            };
            call(args...);
          }
        },
        executeIfCancelled);
  }
  Task<void> thenCallBackOnMainThreadAsync(ResultBlock block) const {
    return continueWithMainThreadResultBlock(std::move(block), false);
  }
  Task<void> thenCallBackOnMainThreadWithBoolValueAsync(BooleanResultBlock block) const {
    return continueWithMainThreadBooleanResultBlock(std::move(block), false);
  }

  // ---- Blocking waits

  // Waits (warning on the main thread) and returns the result. A cancelled task returns T{}
  // and leaves *error alone; a captured exception is rethrown here; an error is stored in
  // *error when given, and T{} returned.
  T waitForResult(ErrorPtr* error = nullptr) const { return waitForResult(error, true); }
  // As waitForResult; without the warning the wait is woken by a continuation instead.
  T waitForResult(ErrorPtr* error, bool withMainThreadWarning) const {
    if (withMainThreadWarning) {
      waitUntilFinished();
    } else {
      state_->waitWithContinuation();
    }
    if constexpr (std::is_void_v<T>) {
      if (isCancelled()) return;
      if (auto e = exception()) std::rethrow_exception(e);
      if (auto err = this->error(); err && error) *error = err;
    } else {
      if (isCancelled()) return T{};
      if (auto e = exception()) std::rethrow_exception(e);
      if (auto err = this->error()) {
        if (error) *error = err;
        return T{};
      }
      return result();
    }
  }

 private:
  friend struct detail::TaskAccess;
  template <typename>
  friend class Task;
  template <typename>
  friend class TaskCompletionSource;

  explicit Task(detail::TaskStatePtr state) : state_(std::move(state)) {}
  const detail::TaskStateT<T>* typedState() const {
    return static_cast<const detail::TaskStateT<T>*>(state_.get());
  }

  detail::TaskStatePtr state_;
};

namespace detail {
std::string describeTask(const TaskState& state);
}

template <typename T>
std::string Task<T>::description() const {
  return detail::describeTask(*state_);
}

// The producer side of one task. Copies refer to the same task. The set-forms throw
// InternalInconsistencyException when the task is already complete (it keeps its first
// outcome); the try-forms return false instead.
//
// Thread-safety: every member may be called from any thread; exactly one completion wins.
template <typename T>
class TaskCompletionSource {
 public:
  TaskCompletionSource() : state_(std::make_shared<detail::TaskStateT<T>>()) {}
  static TaskCompletionSource taskCompletionSource() { return TaskCompletionSource(); }

  Task<T> task() const { return Task<T>(state_); }

  template <typename U = T>
    requires(!std::is_void_v<U>)
  void setResult(std::type_identity_t<U> result) {
    consistencyAssert(state_->trySetResult(std::move(result)), "Cannot set the result on a completed task.");
  }
  template <typename U = T>
    requires(std::is_void_v<U>)
  void setResult() {
    consistencyAssert(state_->trySetResult(), "Cannot set the result on a completed task.");
  }
  void setError(ErrorPtr error) {
    consistencyAssert(state_->trySetError(std::move(error)), "Cannot set the error on a completed task.");
  }
  void setException(std::exception_ptr exception) {
    consistencyAssert(state_->trySetException(std::move(exception)),
                      "Cannot set the exception on a completed task.");
  }
  void cancel() { consistencyAssert(state_->trySetCancelled(), "Cannot cancel a completed task."); }

  template <typename U = T>
    requires(!std::is_void_v<U>)
  bool trySetResult(std::type_identity_t<U> result) {
    return state_->trySetResult(std::move(result));
  }
  template <typename U = T>
    requires(std::is_void_v<U>)
  bool trySetResult() {
    return state_->trySetResult();
  }
  bool trySetError(ErrorPtr error) { return state_->trySetError(std::move(error)); }
  bool trySetException(std::exception_ptr exception) {
    return state_->trySetException(std::move(exception));
  }
  bool trySetCancelled() { return state_->trySetCancelled(); }

 private:
  std::shared_ptr<detail::TaskStateT<T>> state_;
};

}  // namespace keel
