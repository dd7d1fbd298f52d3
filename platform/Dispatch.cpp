#include <keel/platform/Dispatch.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include <keel/base/Exception.h>
#include <keel/base/Logger.h>
#include <keel/platform/internal/DispatchPool.h>

namespace asio = boost::asio;

namespace platform {

namespace {

// Captured during static initialisation, which runs on the thread that starts the process.
const std::thread::id kMainThreadId = std::this_thread::get_id();

// ---------------------------------------------------------------------------------------------
// Which queues the calling thread is running work of.
//
// Each run of a work item pushes a frame; a sync call runs its work on the calling thread (or,
// for the main queue, on the main thread with the caller blocked), so the frame's parent is the
// caller's chain and a chain A -> B -> A is seen however deep it is. Frames live on the stacks
// of threads that are blocked until the frames are popped, so they are never read after death.

struct Frame {
  const DispatchQueue* queue;
  const Frame* parent;
};

thread_local const Frame* tTop = nullptr;
// Set on the pool's threads when they first run an item. A pool thread that waits in a sync
// call runs the queue's pending work itself, so that waiting never needs another pool thread.
thread_local bool tIsPoolThread = false;
thread_local bool tInPoolItem = false;

class FrameScope {
 public:
  FrameScope(const DispatchQueue* queue, const Frame* parent)
      : frame_{queue, parent}, saved_(tTop) {
    tTop = &frame_;
  }
  ~FrameScope() { tTop = saved_; }
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

 private:
  Frame frame_;
  const Frame* saved_;
};

bool onChain(const DispatchQueue* queue) {
  for (const Frame* f = tTop; f; f = f->parent)
    if (f->queue == queue) return true;
  return false;
}

void refuseSyncOnSelf(const DispatchQueue* queue) {
  if (onChain(queue)) {
    throw keel::InternalInconsistencyException(keel::formatMessage(
        "Synchronous dispatch onto queue \"%@\" from work running on that queue would deadlock.",
        queue->label()));
  }
}

// Runs one asynchronous work item as work of `queue`. Nobody waits for an async item, so an
// exception escaping it has nowhere to go; it is logged instead of taking the pool thread (and
// with it the process) down.
void runAsyncItem(const DispatchQueue* queue, const Work& work) {
  FrameScope scope(queue, nullptr);
  try {
    work();
  } catch (...) {
    auto [name, reason] = keel::Exception::describe(std::current_exception());
    keel::logError("Uncaught %@ in work on queue \"%@\": %@", name, queue->label(), reason);
  }
}

// Runs sync work as work of `queue`, on this thread, below the caller's frames.
std::exception_ptr runSyncItem(const DispatchQueue* queue, const Work& work) {
  FrameScope scope(queue, tTop);
  try {
    work();
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// The pool.

struct Pool {
  asio::thread_pool threads{internal::kPoolThreads};
  std::atomic<bool> stopped{false};
  std::atomic<int> active{0};  // items running now
  std::mutex mutex;
  std::condition_variable idle;
};

void stopPoolAtExit();

}  // namespace

#if defined(__SANITIZE_THREAD__)
// The pool's threads are never joined (see stopPoolAtExit): ThreadSanitizer would report each of
// them as leaked at exit and fail every program that used a queue.
// GLib, GIO and libsecret (the keychain's Secret Service store) are not built with
// ThreadSanitizer: their futex-based locks and atomics are invisible to it, so every hand-over
// between GDBus's worker thread and the calling thread reads as a race.
extern "C" const char* __tsan_default_suppressions() {
  return "thread:boost::asio::thread_pool::thread_pool\n"
         "race:libglib-2.0.so\n"
         "race:libgio-2.0.so\n"
         "race:libgobject-2.0.so\n"
         "race:libsecret-1.so\n";
}
#endif

namespace {

Pool& pool() {
  // Never destroyed (see stopPoolAtExit): a pool destructor would join threads that may be
  // blocked on work that will never come.
  static Pool* p = [] {
    auto* created = new Pool;
    std::atexit(stopPoolAtExit);
    return created;
  }();
  return *p;
}

bool poolStopped() { return pool().stopped.load(std::memory_order_acquire); }

// At exit, work that has not started is dropped; work that is running gets a short grace period
// to finish, so that it does not run on while static objects are destroyed. Waiting longer
// could hang the exit on work that waits for dropped work.
constexpr auto kExitGrace = std::chrono::milliseconds(1000);

void stopPoolAtExit() {
  Pool& p = pool();
  p.stopped.store(true);
  p.threads.stop();
  const int self = tInPoolItem ? 1 : 0;  // exit() called from pool work
  std::unique_lock lock(p.mutex);
  p.idle.wait_for(lock, kExitGrace, [&] { return p.active.load() <= self; });
}

// Posts `f` to the pool. Returns false (and drops `f`) once the pool is stopping.
template <typename F>
bool poolPost(F&& f) {
  Pool& p = pool();
  if (p.stopped.load(std::memory_order_acquire)) return false;
  asio::post(p.threads, [&p, f = std::forward<F>(f)]() mutable {
    tIsPoolThread = true;
    // The increment comes before the look at `stopped` (both sequentially consistent), so
    // the exit hook either sees this item as running or the item sees the pool stopping.
    p.active.fetch_add(1);
    if (!p.stopped.load()) {
      tInPoolItem = true;
      f();
      tInPoolItem = false;
    }
    if (p.active.fetch_sub(1) == 1 && p.stopped.load()) {
      std::lock_guard lock(p.mutex);
      p.idle.notify_all();
    }
  });
  return true;
}

// ---------------------------------------------------------------------------------------------
// Delayed work on a steady timer of the pool.

class TimerWork final : public DelayedWork, public std::enable_shared_from_this<TimerWork> {
 public:
  enum State { Pending, Fired, Cancelled };

  explicit TimerWork(State state) : timer_(pool().threads.get_executor()), state_(state) {}

  void start(Milliseconds delay, std::function<void(Work)> post, Work work) {
    std::lock_guard lock(timerMutex_);
    timer_.expires_after(delay);
    timer_.async_wait([self = shared_from_this(), post = std::move(post),
                       work = std::move(work)](const boost::system::error_code&) mutable {
      int expected = Pending;
      if (self->state_.compare_exchange_strong(expected, Fired)) post(std::move(work));
    });
  }

  bool cancel() override {
    int expected = Pending;
    if (!state_.compare_exchange_strong(expected, Cancelled)) return false;
    // The handler sees Cancelled and drops the work; cancelling the wait only frees it sooner.
    // A timer object is not safe for concurrent use, hence the lock against start().
    std::lock_guard lock(timerMutex_);
    timer_.cancel();
    return true;
  }

  bool isCancelled() const override { return state_.load() == Cancelled; }

 private:
  std::mutex timerMutex_;
  asio::steady_timer timer_;
  std::atomic<int> state_;
};

DelayedWorkPtr scheduleAfter(Milliseconds delay, const std::function<void(Work)>& post,
                             Work work) {
  if (delay.count() <= 0) {
    post(std::move(work));
    return std::make_shared<TimerWork>(TimerWork::Fired);
  }
  auto w = std::make_shared<TimerWork>(TimerWork::Pending);
  w->start(delay, post, std::move(work));
  return w;
}

// ---------------------------------------------------------------------------------------------
// Serial queues.
//
// A FIFO of items drained by one thread at a time. Async items are drained by a pool item that
// runs a batch and reposts itself, much as a strand does. A sync call leaves a marker in the
// FIFO; the queue is handed to the caller when the marker comes up, and the caller runs its work
// itself. A caller on a pool thread does not wait for a drainer that may never get a thread: if
// nobody is draining it drains the items ahead of its marker itself.

class SerialQueue final : public DispatchQueue {
 public:
  explicit SerialQueue(std::string label) : label_(std::move(label)) {}

  const std::string& label() const override { return label_; }
  Kind kind() const override { return Kind::Serial; }

  void async(Work work) override {
    std::lock_guard lock(mutex_);
    items_.push_back(Item{std::move(work), nullptr});
    if (!running_ && !drainPosted_) postDrainLocked();
  }

  void sync(const Work& work) override {
    refuseSyncOnSelf(this);
    acquire();
    auto error = runSyncItem(this, work);
    release();
    if (error) std::rethrow_exception(error);
  }

  void barrierAsync(Work work) override { async(std::move(work)); }
  void barrierSync(const Work& work) override { sync(work); }

  DelayedWorkPtr after(Milliseconds delay, Work work) override {
    auto self = shared_from_this();
    return scheduleAfter(delay, [self](Work w) { self->async(std::move(w)); }, std::move(work));
  }

  bool isCurrent() const override { return onChain(this); }

 private:
  struct Waiter {
    bool granted = false;
  };
  struct Item {
    Work work;
    Waiter* waiter;  // non-null: the place of a sync call
  };

  // A drainer gives its thread back after this many items, so that one busy queue cannot hold
  // a pool thread for ever.
  static constexpr std::size_t kBatch = 64;

  void postDrainLocked() {
    drainPosted_ = true;
    auto self = std::static_pointer_cast<SerialQueue>(shared_from_this());
    if (!poolPost([self] { self->drain(); })) {
      drainPosted_ = false;  // stopping: a sync caller may still run what is left
      cv_.notify_all();
    }
  }

  void drain() {
    std::unique_lock lock(mutex_);
    drainPosted_ = false;
    if (running_) return;  // a sync caller took the queue; it reposts when it leaves
    running_ = true;
    runItemsLocked(lock, nullptr);
  }

  // REQUIRES: running_ (this thread owns the queue), `lock` held. Runs items from the front.
  // Returns true iff it reached `mine` (the thread still owns the queue); otherwise the queue
  // has been handed on or released.
  bool runItemsLocked(std::unique_lock<std::mutex>& lock, Waiter* mine) {
    for (std::size_t n = 0;; ++n) {
      if (items_.empty()) {
        running_ = false;
        return false;
      }
      if (Waiter* w = items_.front().waiter) {
        items_.pop_front();
        if (w == mine) return true;
        w->granted = true;  // the queue passes to that caller
        cv_.notify_all();
        return false;
      }
      if (!mine && (n >= kBatch || poolStopped())) {
        running_ = false;
        if (!poolStopped()) postDrainLocked();
        cv_.notify_all();  // waiting pool threads may take over
        return false;
      }
      Work work = std::move(items_.front().work);
      items_.pop_front();
      lock.unlock();
      runAsyncItem(this, work);
      lock.lock();
    }
  }

  // Takes the queue for a sync call: returns once every item posted before has run and this
  // thread owns the queue.
  void acquire() {
    std::unique_lock lock(mutex_);
    if (!running_ && items_.empty()) {
      running_ = true;
      return;
    }
    Waiter me;
    items_.push_back(Item{Work(), &me});
    for (;;) {
      if (me.granted) return;
      if (!running_ &&
          (tIsPoolThread || poolStopped() || items_.front().waiter == &me)) {
        running_ = true;
        if (runItemsLocked(lock, &me)) return;
        continue;
      }
      cv_.wait(lock);
    }
  }

  void release() {
    std::lock_guard lock(mutex_);
    running_ = false;
    if (items_.empty()) return;
    if (Waiter* w = items_.front().waiter) {
      items_.pop_front();
      running_ = true;
      w->granted = true;
      cv_.notify_all();
      return;
    }
    if (!drainPosted_) postDrainLocked();
    cv_.notify_all();
  }

  std::string label_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Item> items_;
  bool running_ = false;  // some thread owns the queue and is running its items
  bool drainPosted_ = false;
};

// ---------------------------------------------------------------------------------------------
// Concurrent queues.
//
// Items are admitted in posting order: plain items at once, a barrier only when nothing of the
// queue runs, and nothing behind a barrier until it is done. Admitted async items wait in
// `ready_` with one pool item posted for each; a sync caller on a pool thread that waits for
// admission runs ready items itself, so barriers never wait on work that lacks a thread. Sync
// work runs on the calling thread once admitted.

class ConcurrentQueue final : public DispatchQueue {
 public:
  explicit ConcurrentQueue(std::string label) : label_(std::move(label)) {}

  const std::string& label() const override { return label_; }
  Kind kind() const override { return Kind::Concurrent; }

  void async(Work work) override { enqueue(std::move(work), false); }
  void barrierAsync(Work work) override { enqueue(std::move(work), true); }
  void sync(const Work& work) override { syncImpl(work, false); }
  void barrierSync(const Work& work) override { syncImpl(work, true); }

  DelayedWorkPtr after(Milliseconds delay, Work work) override {
    auto self = shared_from_this();
    return scheduleAfter(delay, [self](Work w) { self->async(std::move(w)); }, std::move(work));
  }

  bool isCurrent() const override { return onChain(this); }

 private:
  struct Waiter {
    bool granted = false;
  };
  struct Item {
    Work work;
    bool barrier;
    Waiter* waiter;  // non-null: the place of a sync call
  };

  void enqueue(Work work, bool barrier) {
    std::size_t started;
    {
      std::lock_guard lock(mutex_);
      pending_.push_back(Item{std::move(work), barrier, nullptr});
      started = admitLocked();
    }
    postRunners(started);
  }

  void syncImpl(const Work& work, bool barrier) {
    // A plain sync onto a concurrent queue one is running on would not deadlock by itself, but
    // it would behind a barrier, so the rule is kept simple: no sync onto a queue you are on.
    refuseSyncOnSelf(this);
    Waiter me;
    std::unique_lock lock(mutex_);
    pending_.push_back(Item{Work(), barrier, &me});
    std::size_t started = admitLocked();
    if (started) {
      lock.unlock();
      postRunners(started);
      lock.lock();
    }
    while (!me.granted) {
      if ((tIsPoolThread || poolStopped()) && !ready_.empty()) {
        Item item = std::move(ready_.front());
        ready_.pop_front();
        lock.unlock();
        runAsyncItem(this, item.work);
        finish(item.barrier);
        lock.lock();
        continue;
      }
      cv_.wait(lock);
    }
    lock.unlock();
    auto error = runSyncItem(this, work);
    finish(barrier);
    if (error) std::rethrow_exception(error);
  }

  // REQUIRES: mutex_ held. Admits what may start now; returns how many async items went to
  // `ready_`.
  std::size_t admitLocked() {
    std::size_t started = 0;
    bool granted = false;
    while (!pending_.empty() && !barrierRunning_) {
      Item& front = pending_.front();
      if (front.barrier) {
        if (running_ > 0) break;
        barrierRunning_ = true;
      }
      ++running_;
      if (front.waiter) {
        front.waiter->granted = true;
        granted = true;
      } else {
        ready_.push_back(std::move(front));
        ++started;
      }
      pending_.pop_front();
    }
    if (granted || started) cv_.notify_all();
    return started;
  }

  void postRunners(std::size_t count) {
    auto self = std::static_pointer_cast<ConcurrentQueue>(shared_from_this());
    for (std::size_t i = 0; i < count; ++i) {
      // When the pool is stopping the item stays in ready_: dropped, unless a sync caller
      // runs it first.
      poolPost([self] { self->runOneReady(); });
    }
  }

  void runOneReady() {
    Item item;
    {
      std::lock_guard lock(mutex_);
      if (ready_.empty()) return;  // a waiting sync caller ran it
      item = std::move(ready_.front());
      ready_.pop_front();
    }
    runAsyncItem(this, item.work);
    finish(item.barrier);
  }

  void finish(bool barrier) {
    std::size_t started;
    {
      std::lock_guard lock(mutex_);
      --running_;
      if (barrier) barrierRunning_ = false;
      started = admitLocked();
    }
    postRunners(started);
  }

  std::string label_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Item> pending_;  // not yet admitted
  std::deque<Item> ready_;    // admitted async items waiting for a thread
  int running_ = 0;           // admitted and not finished (ready, running, or granted sync)
  bool barrierRunning_ = false;
};

// The global queue: nothing waits for anything on it (its barriers are plain items), so it needs
// no bookkeeping: async work goes straight to the pool and sync work runs on the caller.
class GlobalQueue final : public DispatchQueue {
 public:
  const std::string& label() const override { return label_; }
  Kind kind() const override { return Kind::Concurrent; }

  void async(Work work) override {
    poolPost([this, work = std::move(work)] { runAsyncItem(this, work); });
  }
  void sync(const Work& work) override {
    refuseSyncOnSelf(this);
    if (auto error = runSyncItem(this, work)) std::rethrow_exception(error);
  }
  void barrierAsync(Work work) override { async(std::move(work)); }
  void barrierSync(const Work& work) override { sync(work); }

  DelayedWorkPtr after(Milliseconds delay, Work work) override {
    return scheduleAfter(delay, [this](Work w) { async(std::move(w)); }, std::move(work));
  }

  bool isCurrent() const override { return onChain(this); }

 private:
  std::string label_ = "global.default-priority";
};

// ---------------------------------------------------------------------------------------------
// The main queue and its built-in loop.

class BuiltinMainLoop final : public MainQueueDriver {
 public:
  using Clock = std::chrono::steady_clock;

  void post(Work work) override {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(work));
    cv_.notify_all();
  }

  // Runs items until `deadline` (none: Clock::time_point::max()), until `stop()` holds, or, if
  // `honourQuit`, until quit().
  // Returns the number run.
  template <typename Stop>
  std::size_t runLoop(Clock::time_point deadline, Stop stop, bool honourQuit) {
    std::size_t count = 0;
    for (;;) {
      Work next;
      {
        std::unique_lock lock(mutex_);
        if (honourQuit && quit_) {
          quit_ = false;
          return count;
        }
        if (stop()) return count;
        // Checked before each item, so that work that keeps posting cannot hold the loop.
        if (deadline != Clock::time_point::max() && Clock::now() >= deadline) return count;
        if (items_.empty()) {
          auto woken = [&] { return !items_.empty() || (honourQuit && quit_); };
          if (deadline == Clock::time_point::max()) {
            cv_.wait(lock, woken);
          } else if (!cv_.wait_until(lock, deadline, woken)) {
            return count;
          }
          continue;
        }
        next = std::move(items_.front());
        items_.pop_front();
      }
      next();
      ++count;
    }
  }

  // Runs the items that are waiting now, not those they post, so that an item that reposts
  // itself cannot keep drain() from returning.
  std::size_t drainReady() {
    std::size_t ready;
    {
      std::lock_guard lock(mutex_);
      ready = items_.size();
    }
    for (std::size_t i = 0; i < ready; ++i) {
      Work next;
      {
        std::lock_guard lock(mutex_);
        if (items_.empty()) return i;  // handed to a newly installed driver
        next = std::move(items_.front());
        items_.pop_front();
      }
      next();
    }
    return ready;
  }

  void quit() {
    std::lock_guard lock(mutex_);
    quit_ = true;
    cv_.notify_all();
  }

  std::deque<Work> takeAll() {
    std::lock_guard lock(mutex_);
    return std::exchange(items_, {});
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Work> items_;
  bool quit_ = false;
};

class MainQueue final : public DispatchQueue {
 public:
  MainQueue() : builtin_(std::make_shared<BuiltinMainLoop>()) {}

  const std::string& label() const override { return label_; }
  Kind kind() const override { return Kind::Main; }

  // Items carry their own frame, so that they count as main-queue work whichever driver runs
  // them.
  void async(Work work) override {
    postToDriver([this, work = std::move(work)] { runAsyncItem(this, work); });
  }

  void sync(const Work& work) override {
    if (isMainThread()) {
      throw keel::InternalInconsistencyException(keel::formatMessage(
          "Synchronous dispatch onto queue \"%@\" from the main thread would deadlock.", label_));
    }
    refuseSyncOnSelf(this);
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::exception_ptr error;
    const Frame* callerChain = tTop;
    postToDriver([&] {
      {
        FrameScope scope(this, callerChain);
        try {
          work();
        } catch (...) {
          error = std::current_exception();
        }
      }
      std::lock_guard lock(m);
      done = true;
      cv.notify_one();
    });
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return done; });
    if (error) std::rethrow_exception(error);
  }

  void barrierAsync(Work work) override { async(std::move(work)); }
  void barrierSync(const Work& work) override { sync(work); }

  DelayedWorkPtr after(Milliseconds delay, Work work) override {
    // Posted through whatever driver is installed when the delay is over.
    return scheduleAfter(delay, [this](Work w) { async(std::move(w)); }, std::move(work));
  }

  // The main thread runs nothing but main-queue work and the sync work it is blocked in, so
  // the main queue is current exactly on the main thread.
  bool isCurrent() const override { return isMainThread(); }

  void install(std::shared_ptr<MainQueueDriver> driver) {
    std::lock_guard lock(mutex_);
    driver_ = std::move(driver);
    if (driver_) {
      // Under the lock, so that nothing posted later overtakes what was waiting.
      for (auto& w : builtin_->takeAll()) driver_->post(std::move(w));
    }
  }

  BuiltinMainLoop& builtin() { return *builtin_; }

 private:
  void postToDriver(Work work) {
    // Posting under the lock keeps posting order across a driver change; a driver's post only
    // queues the work.
    std::lock_guard lock(mutex_);
    if (driver_) {
      driver_->post(std::move(work));
    } else {
      builtin_->post(std::move(work));
    }
  }

  std::string label_ = "main";
  std::mutex mutex_;
  std::shared_ptr<BuiltinMainLoop> builtin_;
  std::shared_ptr<MainQueueDriver> driver_;
};

MainQueue& mainQueueImpl() {
  static auto* q = new std::shared_ptr<MainQueue>(std::make_shared<MainQueue>());
  return **q;
}

// ---------------------------------------------------------------------------------------------

class DataAddSourceImpl final : public DataAddSource {
 public:
  DataAddSourceImpl(DispatchQueuePtr target, Handler handler)
      : target_(std::move(target)), handler_(std::move(handler)) {}

  void merge(std::uintptr_t value) override {
    std::lock_guard lock(mutex_);
    pending_ += value;
    scheduleLocked();
  }

  void resume() override {
    std::lock_guard lock(mutex_);
    if (suspendCount_ > 0) --suspendCount_;
    scheduleLocked();
  }

  void suspend() override {
    std::lock_guard lock(mutex_);
    ++suspendCount_;
  }

  void cancel() override {
    Handler dropped;
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    // The handler often holds the source's owner; dropping it breaks that cycle.
    dropped = std::exchange(handler_, nullptr);
  }

  bool isCancelled() const override {
    std::lock_guard lock(mutex_);
    return cancelled_;
  }

 private:
  void scheduleLocked() {
    if (cancelled_ || suspendCount_ > 0 || scheduled_ || pending_ == 0) return;
    scheduled_ = true;
    auto self = std::static_pointer_cast<DataAddSourceImpl>(shared_from_this());
    target_->async([self] { self->fire(); });
  }

  void fire() {
    std::uintptr_t data;
    Handler handler;
    {
      std::lock_guard lock(mutex_);
      scheduled_ = false;
      if (cancelled_ || suspendCount_ > 0 || pending_ == 0) return;
      data = std::exchange(pending_, 0);
      handler = handler_;
    }
    handler(data);
  }

  DispatchQueuePtr target_;
  mutable std::mutex mutex_;
  Handler handler_;
  std::uintptr_t pending_ = 0;
  int suspendCount_ = 1;  // a new source is suspended
  bool scheduled_ = false;
  bool cancelled_ = false;
};

}  // namespace

namespace internal {

asio::thread_pool& sharedPool() { return pool().threads; }

}  // namespace internal

DispatchQueuePtr DispatchQueue::createSerial(std::string label) {
  return std::make_shared<SerialQueue>(std::move(label));
}

DispatchQueuePtr DispatchQueue::createConcurrent(std::string label) {
  return std::make_shared<ConcurrentQueue>(std::move(label));
}

DispatchQueuePtr DispatchQueue::global() {
  static auto* q = new DispatchQueuePtr(std::make_shared<GlobalQueue>());
  return *q;
}

DispatchQueuePtr DispatchQueue::main() { return mainQueueImpl().shared_from_this(); }

DispatchQueue* DispatchQueue::current() {
  return tTop ? const_cast<DispatchQueue*>(tTop->queue) : nullptr;
}

DelayedWorkPtr dispatchAfter(Milliseconds delay, const DispatchQueuePtr& queue, Work work) {
  return queue->after(delay, std::move(work));
}

bool isMainThread() { return std::this_thread::get_id() == kMainThreadId; }

keel::Dictionary& threadDictionary() {
  thread_local keel::Dictionary dictionary;
  return dictionary;
}

// ---------------------------------------------------------------------------------------------

struct Semaphore::State {
  std::mutex mutex;
  std::condition_variable cv;
  long value;
};

Semaphore::Semaphore(long value) : state_(std::make_unique<State>()) { state_->value = value; }
Semaphore::~Semaphore() = default;

void Semaphore::signal() {
  std::lock_guard lock(state_->mutex);
  ++state_->value;
  state_->cv.notify_one();
}

void Semaphore::wait() {
  std::unique_lock lock(state_->mutex);
  state_->cv.wait(lock, [&] { return state_->value > 0; });
  --state_->value;
}

bool Semaphore::waitFor(Milliseconds timeout) {
  std::unique_lock lock(state_->mutex);
  if (!state_->cv.wait_for(lock, timeout, [&] { return state_->value > 0; })) return false;
  --state_->value;
  return true;
}

std::shared_ptr<DataAddSource> DataAddSource::create(DispatchQueuePtr target, Handler handler) {
  keel::parameterAssert(target != nullptr, "A data-add source needs a target queue.");
  return std::make_shared<DataAddSourceImpl>(std::move(target), std::move(handler));
}

// ---------------------------------------------------------------------------------------------

namespace {

void requireMainThread(const char* what) {
  keel::consistencyAssert(isMainThread(), "MainLoop::%@ must be called on the main thread.",
                          std::string(what));
}

}  // namespace

void MainLoop::run() {
  requireMainThread("run");
  mainQueueImpl().builtin().runLoop(BuiltinMainLoop::Clock::time_point::max(),
                                    [] { return false; }, true);
}

void MainLoop::quit() { mainQueueImpl().builtin().quit(); }

void MainLoop::runFor(Milliseconds duration) {
  requireMainThread("runFor");
  mainQueueImpl().builtin().runLoop(BuiltinMainLoop::Clock::now() + duration,
                                    [] { return false; }, true);
}

bool MainLoop::runUntil(const std::function<bool()>& done, Milliseconds timeout) {
  requireMainThread("runUntil");
  using Clock = BuiltinMainLoop::Clock;
  const auto deadline = Clock::now() + timeout;
  auto& loop = mainQueueImpl().builtin();
  // The condition often turns true on another thread without anything being posted to the
  // main queue, so the loop wakes at short intervals to look at it.
  constexpr Milliseconds kPoll(2);
  while (!done()) {
    const auto now = Clock::now();
    if (now >= deadline) return done();
    loop.runLoop(std::min(deadline, now + kPoll), done, false);
  }
  return true;
}

std::size_t MainLoop::drain() {
  requireMainThread("drain");
  return mainQueueImpl().builtin().drainReady();
}

void MainLoop::installDriver(std::shared_ptr<MainQueueDriver> driver) {
  mainQueueImpl().install(std::move(driver));
}

}  // namespace platform
