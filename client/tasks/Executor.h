// Executor: decides where and when a task continuation runs. An executor holds one block that
// receives each closure to run; the standard executors (default, immediate) are recognised
// and run without going through a std::function, because they sit on the hot path of every
// continuation chain.
//
//  - defaultExecutor runs the closure inline on the calling thread, unless that thread is
//    already 21 inline executions deep (the outermost plus 20 nested), in which case the
//    closure goes to the global default-priority queue. This bounds the stack that a long
//    chain of already-completed continuations can build. The depth is per thread and is
//    restored also when the closure throws.
//  - immediateExecutor always runs inline (unbounded depth: use only for short chains).
//  - mainThreadExecutor runs inline on the main thread, else posts to the main queue.
//  - executorWithDispatchQueue / executorWithOperationQueue post to the given queue; an
//    operation queue is a concurrent dispatch queue here.
//  - defaultPriorityBackgroundExecutor posts to the global default-priority queue.
//
// Thread-safety: executors are immutable and may be used from any thread. The process-wide
// executors are created once and live for the whole process; others are held by ExecutorPtr.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include <keel/platform/Dispatch.h>

namespace keel {

class Executor;
using ExecutorPtr = std::shared_ptr<Executor>;

namespace detail {
// Returns the calling thread's count of nested inline default-executor executions.
inline int& taskDepth() {
  thread_local int depth = 0;
  return depth;
}
inline constexpr int kMaxInlineTaskDepth = 20;
void dispatchToGlobalQueue(platform::Work work);
}  // namespace detail

class Executor {
 public:
  using Work = platform::Work;
  using Block = std::function<void(Work)>;

  static const ExecutorPtr& defaultExecutor();
  static const ExecutorPtr& immediateExecutor();
  static const ExecutorPtr& mainThreadExecutor();
  static const ExecutorPtr& defaultPriorityBackgroundExecutor();

  // Returns an executor that hands each closure to `block`. REQUIRES: block is not empty.
  static ExecutorPtr executorWithBlock(Block block);
  // Returns an executor that posts each closure asynchronously to `queue`.
  static ExecutorPtr executorWithDispatchQueue(platform::DispatchQueuePtr queue);
  // Returns an executor that adds each closure as one operation to `queue` (a concurrent
  // queue stands in for an operation queue).
  static ExecutorPtr executorWithOperationQueue(platform::DispatchQueuePtr queue);

  // Hands `closure` to this executor. Any callable works; it is wrapped in a Work only when
  // the executor has to store it, so it must then be copyable.
  template <typename F>
  void execute(F&& closure) {
    switch (kind_) {
      case Kind::Immediate:
        closure();
        return;
      case Kind::Default: {
        int& depth = detail::taskDepth();
        if (depth > detail::kMaxInlineTaskDepth) {
          detail::dispatchToGlobalQueue(Work(std::forward<F>(closure)));
          return;
        }
        DepthRestorer restore(depth);
        closure();
        return;
      }
      case Kind::Block:
        block_(Work(std::forward<F>(closure)));
        return;
    }
  }

  bool isDefault() const { return kind_ == Kind::Default; }
  // Returns true iff this is one of the process-wide executors, which are never destroyed, so
  // that a pending continuation may refer to it without keeping it alive.
  bool isProcessWide() const { return processWide_; }

 private:
  enum class Kind { Default, Immediate, Block };

  struct DepthRestorer {
    explicit DepthRestorer(int& d) : depth(d), previous(d) { depth = previous + 1; }
    ~DepthRestorer() { depth = previous; }
    DepthRestorer(const DepthRestorer&) = delete;
    DepthRestorer& operator=(const DepthRestorer&) = delete;
    int& depth;
    int previous;
  };

  Executor(Kind kind, Block block) : kind_(kind), block_(std::move(block)) {}
  // Marks `executor` process-wide and keeps it for the life of the process.
  static const ExecutorPtr* keepForever(ExecutorPtr executor);

  Kind kind_;
  Block block_;
  bool processWide_ = false;
};

}  // namespace keel
