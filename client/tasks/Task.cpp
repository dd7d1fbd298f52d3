#include <keel/tasks/Task.h>

#include <atomic>
#include <mutex>

#include <keel/base/Format.h>
#include <keel/base/Logger.h>

namespace keel {

// ---------------------------------------------------------------------------------------------
// Exceptions

std::string CapturedException::description() const {
  return Exception::describe(exception_).second;
}

namespace {
Dictionary exceptionsUserInfo(const std::vector<std::exception_ptr>& exceptions) {
  Array list;
  list.reserve(exceptions.size());
  for (const auto& e : exceptions) list.emplace_back(std::make_shared<CapturedException>(e));
  return Dictionary{{"exceptions", Value(std::move(list))}};
}
}  // namespace

MultipleExceptionsException::MultipleExceptionsException(std::vector<std::exception_ptr> exceptions)
    : Exception(kMultipleExceptionsExceptionName, "There were multiple exceptions.",
                exceptionsUserInfo(exceptions)),
      exceptions_(std::move(exceptions)) {}

void warnBlockingOperationOnMainThread() {
  logWarning(
      "Warning: A long-running operation is being executed on the main thread. \n"
      " Break on warnBlockingOperationOnMainThread() to debug.");
}

namespace detail {

// ---------------------------------------------------------------------------------------------
// TaskState

void TaskState::addContinuation(ContinuationNodePtr node) {
  if (status() == TaskStatus::Pending) {
    std::unique_lock lock(mutex_);
    if (status_.load(std::memory_order_relaxed) == TaskStatus::Pending) {
      if (!first_) {
        first_ = std::move(node);
      } else {
        more_.push_back(std::move(node));
      }
      return;
    }
  }
  ContinuationNode* raw = node.get();
  raw->parentCompleted(shared_from_this(), std::move(node));
}

void TaskState::runCompletion(bool waiters, ContinuationNodePtr first,
                              std::vector<ContinuationNodePtr> more) {
  if (waiters) {
    // Under the mutex, so that the broadcast comes after a waiter that checked the status and
    // is about to sleep.
    std::lock_guard lock(mutex_);
    if (condition_) condition_->notify_all();
  }
  if (!first) return;
  TaskStatePtr self = shared_from_this();
  ContinuationNode* raw = first.get();
  raw->parentCompleted(self, std::move(first));
  for (auto& node : more) {
    raw = node.get();
    raw->parentCompleted(self, std::move(node));
  }
}

void TaskState::waitOnCondition() {
  if (isCompleted()) return;
  std::unique_lock lock(mutex_);
  waiters_ = true;
  if (!condition_) condition_ = std::make_unique<std::condition_variable>();
  condition_->wait(lock, [&] { return status_.load(std::memory_order_acquire) != TaskStatus::Pending; });
}

namespace {
class SignalNode final : public ContinuationNode {
 public:
  explicit SignalNode(std::shared_ptr<platform::Semaphore> semaphore) : semaphore_(std::move(semaphore)) {}
  void parentCompleted(const TaskStatePtr&, ContinuationNodePtr) override {
    Executor::defaultExecutor()->execute([semaphore = semaphore_] { semaphore->signal(); });
  }

 private:
  std::shared_ptr<platform::Semaphore> semaphore_;
};
}  // namespace

void TaskState::waitWithContinuation() {
  auto semaphore = std::make_shared<platform::Semaphore>(0);
  addContinuation(std::make_shared<SignalNode>(semaphore));
  semaphore->wait();
}

std::string describeTask(const TaskState& state) {
  auto yesNo = [](bool b) { return b ? "YES" : "NO"; };
  bool completed = state.isCompleted();
  std::string result = completed ? " result:" + state.resultDescription() : std::string();
  return formatMessage("<%@: %p; completed = %@; cancelled = %@; faulted = %@;%@>", "Task",
                       static_cast<const void*>(&state), yesNo(completed), yesNo(state.isCancelled()),
                       yesNo(state.isFaulted()), result);
}

void logCaughtException(const std::exception_ptr& exception) {
  auto [name, reason] = Exception::describe(exception);
  std::string stack;
  try {
    std::rethrow_exception(exception);
  } catch (const Exception& e) {
    if (!e.callStackSymbols().empty()) {
      Array symbols(e.callStackSymbols().begin(), e.callStackSymbols().end());
      stack = formatMessage(":\n%@.", Value(std::move(symbols)));
    }
  } catch (...) {
  }
  logError("Caught \"%@\" with reason \"%@\"%@", name, reason, stack);
}

// ---------------------------------------------------------------------------------------------
// Creating tasks

Task<void> completedVoidTask() {
  // Completed tasks are immutable, so one shared instance serves every caller.
  static const Task<void>* task = [] {
    TaskCompletionSource<void> source;
    source.setResult();
    return new Task<void>(source.task());
  }();
  return *task;
}

Task<void> delayTask(int millis, const CancellationTokenPtr& token) {
  if (token && token->isCancellationRequested()) return Task<void>::cancelledTask();
  TaskCompletionSource<void> source;
  platform::dispatchAfter(platform::Milliseconds(millis), platform::DispatchQueue::global(),
                          [source, token]() mutable {
                            try {
                              if (token && token->isCancellationRequested()) {
                                source.trySetCancelled();
                              } else {
                                source.trySetResult();
                              }
                            } catch (...) {
                              source.trySetException(std::current_exception());
                            }
                          });
  return source.task();
}

namespace {

// One node attached to every input task: counts them down and completes the combined task.
class WhenAllNode final : public ContinuationNode, public std::enable_shared_from_this<WhenAllNode> {
 public:
  explicit WhenAllNode(std::size_t count) : remaining_(count) {}

  Task<void> task() const { return source_.task(); }

  void parentCompleted(const TaskStatePtr& parent, ContinuationNodePtr node) override {
    Executor::defaultExecutor()->execute(
        [self = std::static_pointer_cast<WhenAllNode>(std::move(node)), parent] { self->record(*parent); });
  }

 private:
  void record(const TaskState& task) {
    if (auto e = task.exception()) {
      std::lock_guard lock(mutex_);
      exceptions_.push_back(std::move(e));
    } else if (auto error = task.error()) {
      std::lock_guard lock(mutex_);
      errors_.push_back(std::move(error));
    } else if (task.isCancelled()) {
      cancelled_.fetch_add(1, std::memory_order_relaxed);
    }
    if (remaining_.fetch_sub(1, std::memory_order_acq_rel) == 1) finish();
  }

  void finish() {
    std::unique_lock lock(mutex_);
    if (!exceptions_.empty()) {
      if (exceptions_.size() == 1) {
        auto e = exceptions_.front();
        lock.unlock();
        source_.trySetException(std::move(e));
      } else {
        auto combined = std::make_exception_ptr(MultipleExceptionsException(exceptions_));
        lock.unlock();
        source_.trySetException(std::move(combined));
      }
    } else if (!errors_.empty()) {
      ErrorPtr error;
      if (errors_.size() == 1) {
        error = errors_.front();
      } else {
        Array list;
        list.reserve(errors_.size());
        for (const auto& e : errors_) list.push_back(Error::toValue(e));
        error = Error::make(kTaskErrorDomain, kMultipleErrorsCode, Dictionary{{"errors", Value(std::move(list))}});
      }
      lock.unlock();
      source_.trySetError(std::move(error));
    } else {
      lock.unlock();
      if (cancelled_.load(std::memory_order_relaxed) > 0) {
        source_.trySetCancelled();
      } else {
        source_.trySetResult();
      }
    }
  }

  std::atomic<std::size_t> remaining_;
  std::atomic<std::size_t> cancelled_{0};
  std::mutex mutex_;
  std::vector<ErrorPtr> errors_;
  std::vector<std::exception_ptr> exceptions_;
  TaskCompletionSource<void> source_;
};

}  // namespace

Task<void> whenAll(const std::vector<Task<void>>& tasks) {
  if (tasks.empty()) return completedVoidTask();
  auto node = std::make_shared<WhenAllNode>(tasks.size());
  Task<void> result = node->task();
  for (const auto& t : tasks) {
    const auto& state = TaskAccess::state(t);
    parameterAssert(state != nullptr, "Cannot wait for an empty task.");
    state->addContinuation(node);
  }
  return result;
}

Task<Array> whenAllWithResults(const std::vector<Task<void>>& tasks) {
  return whenAll(tasks).continueWithSuccessBlock([tasks](const Task<void>&) {
    Array results;
    results.reserve(tasks.size());
    for (const auto& t : tasks) results.push_back(TaskAccess::state(t)->resultValue());
    return results;
  });
}

}  // namespace detail
}  // namespace keel
