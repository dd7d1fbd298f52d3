#include "platform/Dispatch.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include "core/Exception.h"
#include "platform/internal/DispatchPool.h"

namespace asio = boost::asio;

namespace platform {

namespace {

// Captured during static initialisation, which runs on the thread that starts the process.
const std::thread::id kMainThreadId = std::this_thread::get_id();

// The queues whose work the calling thread is running, innermost last. A sync call hands its
// caller's stack to the thread that runs the work, so that a chain A -> B -> A is seen.
thread_local std::vector<const DispatchQueue*> tCurrentQueues;

class QueueScope {
 public:
  QueueScope(std::vector<const DispatchQueue*> stack, const DispatchQueue* queue)
      : saved_(std::move(tCurrentQueues)) {
    tCurrentQueues = std::move(stack);
    tCurrentQueues.push_back(queue);
  }
  ~QueueScope() { tCurrentQueues = std::move(saved_); }
  QueueScope(const QueueScope&) = delete;
  QueueScope& operator=(const QueueScope&) = delete;

 private:
  std::vector<const DispatchQueue*> saved_;
};

bool onStack(const DispatchQueue* q) {
  for (auto* p : tCurrentQueues)
    if (p == q) return true;
  return false;
}

void refuseSyncOnSelf(const DispatchQueue* q) {
  if (onStack(q)) {
    throw keel::InternalInconsistencyException(keel::formatMessage(
        "Synchronous dispatch onto queue \"%@\" from work running on that queue would deadlock.",
        q->label()));
  }
}

// Runs `work` elsewhere through `post` with the caller's queue stack and waits for it,
// rethrowing what it threw.
void runAndWait(const DispatchQueue* q, const Work& work,
                const std::function<void(Work)>& post) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::exception_ptr error;
  auto stack = tCurrentQueues;
  post([&, stack]() mutable {
    try {
      QueueScope scope(std::move(stack), q);
      work();
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(m);
    done = true;
    cv.notify_one();
  });
  std::unique_lock lock(m);
  cv.wait(lock, [&] { return done; });
  if (error) std::rethrow_exception(error);
}

// ---------------------------------------------------------------------------------------------
// Delayed work on a steady timer of the pool.

class TimerWork final : public DelayedWork, public std::enable_shared_from_this<TimerWork> {
 public:
  enum State { Pending, Fired, Cancelled };

  TimerWork() : timer_(internal::sharedPool().get_executor()) {}

  void start(Milliseconds delay, std::function<void(Work)> post, Work work) {
    timer_.expires_after(delay);
    auto self = shared_from_this();
    timer_.async_wait([self, post = std::move(post), work = std::move(work)](
                          const boost::system::error_code&) mutable {
      int expected = Pending;
      if (self->state_.compare_exchange_strong(expected, Fired)) post(std::move(work));
    });
  }

  bool cancel() override {
    int expected = Pending;
    if (!state_.compare_exchange_strong(expected, Cancelled)) return false;
    // The timer's handler sees Cancelled and drops the work; cancelling the wait only frees it
    // sooner. asio timers are not thread-safe, so the cancel runs on the timer's executor.
    auto self = shared_from_this();
    asio::post(timer_.get_executor(), [self] { self->timer_.cancel(); });
    return true;
  }

  bool isCancelled() const override { return state_.load() == Cancelled; }

 private:
  asio::steady_timer timer_;
  std::atomic<int> state_{Pending};
};

DelayedWorkPtr scheduleAfter(Milliseconds delay, std::function<void(Work)> post, Work work) {
  auto w = std::make_shared<TimerWork>();
  if (delay.count() <= 0) delay = Milliseconds(0);
  w->start(delay, std::move(post), std::move(work));
  return w;
}

// ---------------------------------------------------------------------------------------------
// Serial queues: a strand over the shared pool.

class SerialQueue final : public DispatchQueue {
 public:
  explicit SerialQueue(std::string label)
      : label_(std::move(label)), strand_(asio::make_strand(internal::sharedPool())) {}

  const std::string& label() const override { return label_; }
  Kind kind() const override { return Kind::Serial; }

  void async(Work work) override {
    auto self = std::static_pointer_cast<SerialQueue>(shared_from_this());
    asio::post(strand_, [self, work = std::move(work)] {
      QueueScope scope({}, self.get());
      work();
    });
  }

  void sync(const Work& work) override {
    refuseSyncOnSelf(this);
    auto self = shared_from_this();
    runAndWait(this, work, [this, self](Work w) { asio::post(strand_, std::move(w)); });
  }

  void barrierAsync(Work work) override { async(std::move(work)); }
  void barrierSync(const Work& work) override { sync(work); }

  DelayedWorkPtr after(Milliseconds delay, Work work) override {
    auto self = shared_from_this();
    return scheduleAfter(delay, [self](Work w) { self->async(std::move(w)); }, std::move(work));
  }

  bool isCurrent() const override { return onStack(this); }

 private:
  std::string label_;
  asio::strand<asio::thread_pool::executor_type> strand_;
};

// ---------------------------------------------------------------------------------------------
// Concurrent queues: items go to the pool side by side; a barrier waits until the queue is
// empty of running items, runs alone, and holds back every item behind it.

class ConcurrentQueue final : public DispatchQueue {
 public:
  explicit ConcurrentQueue(std::string label, bool barriersAllowed)
      : label_(std::move(label)), barriersAllowed_(barriersAllowed) {}

  const std::string& label() const override { return label_; }
  Kind kind() const override { return Kind::Concurrent; }

  void async(Work work) override { enqueue(std::move(work), false, {}); }
  void barrierAsync(Work work) override { enqueue(std::move(work), barriersAllowed_, {}); }

  void sync(const Work& work) override { syncImpl(work, false); }
  void barrierSync(const Work& work) override { syncImpl(work, barriersAllowed_); }

  DelayedWorkPtr after(Milliseconds delay, Work work) override {
    auto self = shared_from_this();
    return scheduleAfter(delay, [self](Work w) { self->async(std::move(w)); }, std::move(work));
  }

  bool isCurrent() const override { return onStack(this); }

 private:
  struct Item {
    Work work;
    bool barrier;
    std::vector<const DispatchQueue*> inheritedStack;
  };

  void syncImpl(const Work& work, bool barrier) {
    // Reading from a concurrent queue while running on it does not deadlock unless a barrier
    // is involved, but the rule is kept simple and strict: no sync onto a queue you are on.
    refuseSyncOnSelf(this);
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::exception_ptr error;
    enqueue(
        [&] {
          try {
            work();
          } catch (...) {
            error = std::current_exception();
          }
          std::lock_guard lock(m);
          done = true;
          cv.notify_one();
        },
        barrier, tCurrentQueues);
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return done; });
    if (error) std::rethrow_exception(error);
  }

  void enqueue(Work work, bool barrier, std::vector<const DispatchQueue*> stack) {
    {
      std::lock_guard lock(mutex_);
      pending_.push_back(Item{std::move(work), barrier, std::move(stack)});
    }
    pump();
  }

  // Starts every item that may start now.
  void pump() {
    std::vector<Item> toStart;
    {
      std::lock_guard lock(mutex_);
      while (!pending_.empty() && !barrierRunning_) {
        Item& front = pending_.front();
        if (front.barrier) {
          if (running_ > 0) break;
          barrierRunning_ = true;
        }
        ++running_;
        toStart.push_back(std::move(front));
        pending_.pop_front();
        if (barrierRunning_) break;
      }
    }
    auto self = std::static_pointer_cast<ConcurrentQueue>(shared_from_this());
    for (auto& item : toStart) {
      asio::post(internal::sharedPool(), [self, item = std::move(item)]() mutable {
        {
          QueueScope scope(std::move(item.inheritedStack), self.get());
          try {
            item.work();
          } catch (...) {
            self->finish(item.barrier);
            throw;
          }
        }
        self->finish(item.barrier);
      });
    }
  }

  void finish(bool barrier) {
    {
      std::lock_guard lock(mutex_);
      --running_;
      if (barrier) barrierRunning_ = false;
    }
    pump();
  }

  std::string label_;
  bool barriersAllowed_;
  std::mutex mutex_;
  std::deque<Item> pending_;
  int running_ = 0;
  bool barrierRunning_ = false;
};

// ---------------------------------------------------------------------------------------------
// The main queue and its built-in loop.

class BuiltinMainLoop final : public MainQueueDriver {
 public:
  void post(Work work) override {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(work));
    cv_.notify_all();
  }

  // Runs ready items until `deadline`, `stop()` or quit. Returns the number run.
  template <typename Stop>
  std::size_t runLoop(std::chrono::steady_clock::time_point deadline, Stop stop) {
    std::size_t count = 0;
    for (;;) {
      Work next;
      {
        std::unique_lock lock(mutex_);
        if (quit_) {
          quit_ = false;
          return count;
        }
        if (stop()) return count;
        if (items_.empty()) {
          if (deadline == std::chrono::steady_clock::time_point::min()) return count;
          if (cv_.wait_until(lock, deadline, [&] { return !items_.empty() || quit_; }) == false) {
            return count;
          }
          continue;
        }
        next = std::move(items_.front());
        items_.pop_front();
      }
      runOne(next);
      ++count;
    }
  }

  void quit() {
    std::lock_guard lock(mutex_);
    quit_ = true;
    cv_.notify_all();
  }

  // Wakes a waiting loop so that it re-checks its stop condition.
  void wake() {
    std::lock_guard lock(mutex_);
    cv_.notify_all();
  }

  std::deque<Work> takeAll() {
    std::lock_guard lock(mutex_);
    return std::exchange(items_, {});
  }

  static void runOne(const Work& work);

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

  void async(Work work) override { driver()->post(std::move(work)); }

  void sync(const Work& work) override {
    if (isMainThread()) {
      throw keel::InternalInconsistencyException(keel::formatMessage(
          "Synchronous dispatch onto queue \"%@\" from the main thread would deadlock.", label_));
    }
    refuseSyncOnSelf(this);
    runAndWait(this, work, [this](Work w) { driver()->post(std::move(w)); });
  }

  void barrierAsync(Work work) override { async(std::move(work)); }
  void barrierSync(const Work& work) override { sync(work); }

  DelayedWorkPtr after(Milliseconds delay, Work work) override {
    return scheduleAfter(delay, [this](Work w) { async(std::move(w)); }, std::move(work));
  }

  bool isCurrent() const override { return isMainThread(); }

  std::shared_ptr<MainQueueDriver> driver() {
    std::lock_guard lock(mutex_);
    if (driver_) return driver_;
    return builtin_;
  }

  void install(std::shared_ptr<MainQueueDriver> driver) {
    std::deque<Work> moved;
    {
      std::lock_guard lock(mutex_);
      driver_ = std::move(driver);
      if (driver_) moved = builtin_->takeAll();
    }
    for (auto& w : moved) driver_->post(std::move(w));
  }

  BuiltinMainLoop& builtin() { return *builtin_; }

 private:
  std::string label_ = "main";
  std::mutex mutex_;
  std::shared_ptr<BuiltinMainLoop> builtin_;
  std::shared_ptr<MainQueueDriver> driver_;
};

MainQueue& mainQueueImpl() {
  static auto* q = new std::shared_ptr<MainQueue>(std::make_shared<MainQueue>());
  return **q;
}

void BuiltinMainLoop::runOne(const Work& work) {
  QueueScope scope({}, &mainQueueImpl());
  work();
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
    std::lock_guard lock(mutex_);
    cancelled_ = true;
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
    {
      std::lock_guard lock(mutex_);
      scheduled_ = false;
      if (cancelled_ || suspendCount_ > 0 || pending_ == 0) return;
      data = std::exchange(pending_, 0);
    }
    handler_(data);
  }

  DispatchQueuePtr target_;
  Handler handler_;
  mutable std::mutex mutex_;
  std::uintptr_t pending_ = 0;
  int suspendCount_ = 1;  // a new source is suspended
  bool scheduled_ = false;
  bool cancelled_ = false;
};

struct ThreadDictionaryHolder {
  keel::Dictionary dictionary;
};

}  // namespace

namespace internal {

asio::thread_pool& sharedPool() {
  // Never destroyed: work may still be posted while the process exits, and joining a pool
  // whose items block on each other could hang exit. The threads end with the process.
  static auto* pool = new asio::thread_pool(kPoolThreads);
  return *pool;
}

}  // namespace internal

DispatchQueuePtr DispatchQueue::createSerial(std::string label) {
  return std::make_shared<SerialQueue>(std::move(label));
}

DispatchQueuePtr DispatchQueue::createConcurrent(std::string label) {
  return std::make_shared<ConcurrentQueue>(std::move(label), true);
}

DispatchQueuePtr DispatchQueue::global() {
  // Barriers on the global queue behave as plain items, as on the platform.
  static auto* q = new DispatchQueuePtr(
      std::make_shared<ConcurrentQueue>("global.default-priority", false));
  return *q;
}

DispatchQueuePtr DispatchQueue::main() { return mainQueueImpl().shared_from_this(); }

DispatchQueue* DispatchQueue::current() {
  return tCurrentQueues.empty() ? nullptr : const_cast<DispatchQueue*>(tCurrentQueues.back());
}

DelayedWorkPtr dispatchAfter(Milliseconds delay, const DispatchQueuePtr& queue, Work work) {
  return queue->after(delay, std::move(work));
}

bool isMainThread() { return std::this_thread::get_id() == kMainThreadId; }

keel::Dictionary& threadDictionary() {
  thread_local ThreadDictionaryHolder holder;
  return holder.dictionary;
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
  return std::make_shared<DataAddSourceImpl>(std::move(target), std::move(handler));
}

// ---------------------------------------------------------------------------------------------

void MainLoop::run() {
  mainQueueImpl().builtin().runLoop(std::chrono::steady_clock::time_point::max(),
                                    [] { return false; });
}

void MainLoop::quit() { mainQueueImpl().builtin().quit(); }

void MainLoop::runFor(Milliseconds duration) {
  mainQueueImpl().builtin().runLoop(std::chrono::steady_clock::now() + duration,
                                    [] { return false; });
}

bool MainLoop::runUntil(const std::function<bool()>& done, Milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  auto& loop = mainQueueImpl().builtin();
  // The condition usually turns true on another thread without posting to the main queue, so
  // the loop wakes at short intervals to look at it.
  while (!done()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return done();
    auto slice = std::min(deadline, now + Milliseconds(5));
    loop.runLoop(slice, done);
  }
  return true;
}

std::size_t MainLoop::drain() {
  return mainQueueImpl().builtin().runLoop(std::chrono::steady_clock::time_point::min(),
                                           [] { return false; });
}

void MainLoop::installDriver(std::shared_ptr<MainQueueDriver> driver) {
  mainQueueImpl().install(std::move(driver));
}

}  // namespace platform
