// The dispatch layer: the queues the rest of the system runs its work on.
//
//  - Serial queues run one work item at a time, in posting order.
//  - Concurrent queues run items side by side; a barrier item waits for the items before it,
//    runs alone, and holds back the items after it (synchronous reads, barrier writes).
//  - The global queue is the process-wide default-priority concurrent queue (its barriers are
//    plain items).
//  - The main queue runs its items on the main thread, from the main loop. The main loop can be
//    run, pumped for a while, or replaced by another loop (the application installs Qt's).
//  - Delayed work (`after`) fires after a delay in milliseconds and can be cancelled.
//  - Semaphore is a counting semaphore with timed waits.
//  - DataAddSource coalesces several merges made before its handler runs into one run.
//
// All queues run on one process-wide Boost.Asio thread pool of 16 threads; delays are steady
// timers of that pool. Labels are kept for messages.
//
// sync() runs the work on the calling thread once every item posted before it has run (the main
// queue: on the main thread, with the caller blocked). A caller that is itself a pool thread
// runs the queue's pending work while it waits, so sync never needs a free pool thread and
// cannot starve the pool. A synchronous dispatch onto a queue that the calling thread is already
// running work of (also through a chain of sync calls, A -> B -> A) would deadlock; it is
// detected and throws keel::InternalInconsistencyException naming the queue instead.
//
// An exception escaping async work is logged at error level and dropped; one escaping sync work
// propagates to the caller.
//
// Process exit: the pool is never destroyed. When exit begins, work that has not started is
// dropped (timers included), and work that is running gets up to one second to finish. So: work
// that must happen before exit has to be waited for (sync, a semaphore) before main returns, and
// work that may run past exit must not use objects with static storage that get destroyed.
//
// Thread-safety: every member of every class here may be called from any thread, unless its
// comment says otherwise. Queues are held by std::shared_ptr; work already posted keeps its
// queue alive until it has run.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include <keel/base/Value.h>

namespace platform {

using Work = std::function<void()>;
using Milliseconds = std::chrono::milliseconds;

class DispatchQueue;
using DispatchQueuePtr = std::shared_ptr<DispatchQueue>;

// A handle to delayed work. Cancelling before the work starts keeps it from running; cancelling
// afterwards does nothing. Dropping the handle does not cancel.
class DelayedWork {
 public:
  virtual ~DelayedWork() = default;
  // Returns true iff this call kept the work from running.
  virtual bool cancel() = 0;
  virtual bool isCancelled() const = 0;
};
using DelayedWorkPtr = std::shared_ptr<DelayedWork>;

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
 public:
  enum class Kind { Serial, Concurrent, Main };

  virtual ~DispatchQueue() = default;

  static DispatchQueuePtr createSerial(std::string label);
  static DispatchQueuePtr createConcurrent(std::string label);
  // Returns the global default-priority concurrent queue.
  static DispatchQueuePtr global();
  // Returns the main queue.
  static DispatchQueuePtr main();
  // Returns the queue whose work item is running on this thread (the innermost one when sync
  // calls nest), or nullptr.
  static DispatchQueue* current();

  virtual const std::string& label() const = 0;
  virtual Kind kind() const = 0;

  // Posts `work` to run later on this queue.
  virtual void async(Work work) = 0;
  // Runs `work` on this queue and returns when it is done. Exceptions thrown by `work`
  // propagate to the caller. Throws keel::InternalInconsistencyException when the calling
  // thread is already running work of this queue.
  virtual void sync(const Work& work) = 0;
  // As async/sync, but on a concurrent queue the work runs alone (a barrier); on a serial
  // queue these are async/sync.
  virtual void barrierAsync(Work work) = 0;
  virtual void barrierSync(const Work& work) = 0;
  // Posts `work` to run on this queue after `delay` (a delay <= 0 posts it at once).
  virtual DelayedWorkPtr after(Milliseconds delay, Work work) = 0;

  // Returns true iff the calling thread is running work of this queue.
  virtual bool isCurrent() const = 0;

  // Runs `f` with sync and returns its result.
  template <typename F>
  auto syncResult(F&& f) -> decltype(f()) {
    using R = decltype(f());
    if constexpr (std::is_void_v<R>) {
      sync(std::forward<F>(f));
    } else {
      std::optional<R> out;
      sync([&] { out.emplace(f()); });
      return std::move(*out);
    }
  }
};

// Posts `work` to `queue` after `delay`.
DelayedWorkPtr dispatchAfter(Milliseconds delay, const DispatchQueuePtr& queue, Work work);

// Returns true iff the caller runs on the main thread (the thread that started the process).
bool isMainThread();

// Returns the calling thread's own dictionary (per-thread storage, created empty on first use).
keel::Dictionary& threadDictionary();

// Counting semaphore.
class Semaphore {
 public:
  explicit Semaphore(long value = 0);
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  void signal();
  void wait();
  // Returns true iff the semaphore was taken within `timeout`.
  bool waitFor(Milliseconds timeout);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A source of the "data add" kind: merge() adds to a pending value; the handler then runs once,
// on the target queue, with the sum of every merge made before it started, and the pending value
// goes back to 0. A new source is suspended: nothing runs until resume(). cancel() stops the
// handler from running again.
class DataAddSource : public std::enable_shared_from_this<DataAddSource> {
 public:
  using Handler = std::function<void(std::uintptr_t data)>;
  static std::shared_ptr<DataAddSource> create(DispatchQueuePtr target, Handler handler);
  virtual ~DataAddSource() = default;

  virtual void merge(std::uintptr_t value) = 0;
  virtual void resume() = 0;
  virtual void suspend() = 0;
  virtual void cancel() = 0;
  virtual bool isCancelled() const = 0;
};

// What actually runs the main queue's work on the main thread. The built-in one is the main
// loop below; the application replaces it with one that posts into Qt's event loop.
class MainQueueDriver {
 public:
  virtual ~MainQueueDriver() = default;
  // Arranges for `work` to run on the main thread soon, in posting order.
  virtual void post(Work work) = 0;
};

// The built-in main loop. REQUIRES for run/runFor/runUntil: called on the main thread.
class MainLoop {
 public:
  // Runs main-queue work until quit() is called.
  static void run();
  // Asks run() or runFor() to return after the item it is running. A quit() while neither runs
  // makes the next one return at once, so that a quit posted just before run() is not lost.
  static void quit();
  // Runs main-queue work for `duration` (or until quit()), then returns.
  static void runFor(Milliseconds duration);
  // Runs main-queue work until `done()` is true or `timeout` passes; returns done().
  static bool runUntil(const std::function<bool()>& done, Milliseconds timeout);
  // Runs the main-queue work that is waiting now (not what that work posts); returns the number
  // of items run.
  static std::size_t drain();

  // Replaces the driver of the main queue (nullptr restores the built-in loop). Work already
  // posted to the built-in loop is handed to the new driver.
  static void installDriver(std::shared_ptr<MainQueueDriver> driver);
};

}  // namespace platform
