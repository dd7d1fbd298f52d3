#include <keel/tasks/Executor.h>

#include <keel/base/Exception.h>

namespace keel {

namespace detail {
void dispatchToGlobalQueue(platform::Work work) {
  platform::DispatchQueue::global()->async(std::move(work));
}
}  // namespace detail

// The standard executors are never destroyed: continuations may still be handed to them while
// static destructors run at exit.
const ExecutorPtr* Executor::keepForever(ExecutorPtr executor) {
  executor->processWide_ = true;
  return new ExecutorPtr(std::move(executor));
}

const ExecutorPtr& Executor::defaultExecutor() {
  static const ExecutorPtr* executor = keepForever(ExecutorPtr(new Executor(Kind::Default, {})));
  return *executor;
}

const ExecutorPtr& Executor::immediateExecutor() {
  static const ExecutorPtr* executor = keepForever(ExecutorPtr(new Executor(Kind::Immediate, {})));
  return *executor;
}

const ExecutorPtr& Executor::mainThreadExecutor() {
  static const ExecutorPtr* executor = keepForever(executorWithBlock([](Work work) {
    if (platform::isMainThread()) {
      work();
    } else {
      platform::DispatchQueue::main()->async(std::move(work));
    }
  }));
  return *executor;
}

const ExecutorPtr& Executor::defaultPriorityBackgroundExecutor() {
  static const ExecutorPtr* executor =
      keepForever(executorWithDispatchQueue(platform::DispatchQueue::global()));
  return *executor;
}

ExecutorPtr Executor::executorWithBlock(Block block) {
  parameterAssert(static_cast<bool>(block), "An executor needs a block.");
  return ExecutorPtr(new Executor(Kind::Block, std::move(block)));
}

ExecutorPtr Executor::executorWithDispatchQueue(platform::DispatchQueuePtr queue) {
  parameterAssert(queue != nullptr, "An executor needs a queue.");
  return executorWithBlock([queue = std::move(queue)](Work work) { queue->async(std::move(work)); });
}

ExecutorPtr Executor::executorWithOperationQueue(platform::DispatchQueuePtr queue) {
  return executorWithDispatchQueue(std::move(queue));
}

}  // namespace keel
