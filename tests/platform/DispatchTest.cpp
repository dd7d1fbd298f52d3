#include <keel/platform/Dispatch.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <keel/base/Exception.h>
#include <keel/base/Logger.h>
#include <keel/platform/internal/DispatchPool.h>

namespace platform {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

// Long enough never to be reached by a passing test on a loaded machine.
constexpr Milliseconds kPatience = 10s;

void expectSignalled(Semaphore& s, int times = 1) {
  for (int i = 0; i < times; ++i) ASSERT_TRUE(s.waitFor(kPatience)) << "signal " << i;
}

// ---------------------------------------------------------------------------------------------

TEST(SerialQueueTest, RunsTasksOneAtATimeInPostingOrderUnderContention) {
  auto queue = DispatchQueue::createSerial("test.serial.order");
  constexpr int kPosters = 8;
  constexpr int kPerPoster = 2000;
  std::vector<int> lastSeen(kPosters, -1);  // touched only by queue work: TSan checks that
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> outOfOrder{false};

  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kPerPoster; ++i) {
        queue->async([&, p, i] {
          if (inside.fetch_add(1) != 0) overlapped = true;
          if (lastSeen[p] != i - 1) outOfOrder = true;
          lastSeen[p] = i;
          inside.fetch_sub(1);
        });
      }
    });
  }
  for (auto& t : posters) t.join();
  queue->sync([] {});

  EXPECT_FALSE(overlapped);
  EXPECT_FALSE(outOfOrder);
  EXPECT_THAT(lastSeen, ::testing::Each(kPerPoster - 1));
}

TEST(SerialQueueTest, SyncRunsAfterEarlierWorkAndPropagatesExceptions) {
  auto queue = DispatchQueue::createSerial("test.serial.sync");
  std::vector<int> seen;
  for (int i = 0; i < 100; ++i) queue->async([&, i] { seen.push_back(i); });
  EXPECT_EQ(queue->syncResult([&] { return seen.size(); }), 100u);

  EXPECT_THROW(queue->sync([] { throw keel::InvalidArgumentException("bad"); }),
               keel::InvalidArgumentException);
  // The queue is not left owned by the failed call.
  queue->async([&] { seen.push_back(100); });
  EXPECT_EQ(queue->syncResult([&] { return seen.back(); }), 100);
}

// Every pool thread syncs onto a serial queue whose async work has been posted but has no
// thread to run on: the callers must run it themselves instead of waiting for the pool.
TEST(SerialQueueTest, SyncFromEveryPoolThreadAtOnceDoesNotStarveThePool) {
  auto queue = DispatchQueue::createSerial("test.serial.starve");
  const int threads = static_cast<int>(internal::kPoolThreads);
  Semaphore arrived, gate, done;
  std::atomic<int> count{0};
  for (int i = 0; i < threads; ++i) {
    DispatchQueue::global()->async([&] {
      arrived.signal();
      gate.wait();
      queue->sync([&] { count.fetch_add(1); });
      done.signal();
    });
  }
  expectSignalled(arrived, threads);  // the pool is now fully occupied
  queue->async([&] { count.fetch_add(1000); });
  for (int i = 0; i < threads; ++i) gate.signal();
  expectSignalled(done, threads);
  EXPECT_EQ(count.load(), 1000 + threads);
}

// ---------------------------------------------------------------------------------------------

class SyncOnSelfTest : public ::testing::TestWithParam<bool> {
 protected:
  DispatchQueuePtr makeQueue(const std::string& label) {
    return GetParam() ? DispatchQueue::createConcurrent(label)
                      : DispatchQueue::createSerial(label);
  }
};

TEST_P(SyncOnSelfTest, IsRefusedWithTheQueueLabelFromAsyncWork) {
  auto queue = makeQueue("test.self.async");
  Semaphore done;
  std::string message;
  queue->async([&] {
    try {
      queue->barrierSync([] {});
    } catch (const keel::InternalInconsistencyException& e) {
      message = e.reason();
    }
    done.signal();
  });
  expectSignalled(done);
  EXPECT_THAT(message, HasSubstr("test.self.async"));
}

TEST_P(SyncOnSelfTest, IsRefusedThroughAChainOfSyncCalls) {
  auto a = makeQueue("test.chain.a");
  auto b = DispatchQueue::createSerial("test.chain.b");
  bool innerSawChain = false;
  try {
    a->sync([&] {
      b->sync([&] {
        innerSawChain = DispatchQueue::current() == b.get() && a->isCurrent() && b->isCurrent();
        a->sync([] {});
      });
    });
    FAIL() << "A -> B -> A was not refused";
  } catch (const keel::InternalInconsistencyException& e) {
    EXPECT_THAT(e.reason(), HasSubstr("test.chain.a"));
  }
  EXPECT_TRUE(innerSawChain);
  EXPECT_FALSE(a->isCurrent());
  EXPECT_EQ(DispatchQueue::current(), nullptr);
  a->sync([] {});  // both queues are free again
  b->sync([] {});
}

INSTANTIATE_TEST_SUITE_P(SerialAndConcurrent, SyncOnSelfTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Concurrent" : "Serial"; });

TEST(MainQueueSyncTest, IsRefusedOnTheMainThreadAndWorksFromElsewhere) {
  ASSERT_TRUE(isMainThread());
  EXPECT_THROW(DispatchQueue::main()->sync([] {}), keel::InternalInconsistencyException);

  std::atomic<bool> ranOnMain{false};
  std::atomic<int> result{0};
  DispatchQueue::global()->async([&] {
    result = DispatchQueue::main()->syncResult([&] {
      ranOnMain = isMainThread() && DispatchQueue::main()->isCurrent();
      return 42;
    });
  });
  EXPECT_TRUE(MainLoop::runUntil([&] { return result.load() == 42; }, kPatience));
  EXPECT_TRUE(ranOnMain);
}

// ---------------------------------------------------------------------------------------------

TEST(ConcurrentQueueTest, RunsReadersSideBySide) {
  auto queue = DispatchQueue::createConcurrent("test.concurrent.readers");
  Semaphore first, second, done;
  // Each reader waits for the other: run one at a time, they would both time out.
  std::atomic<bool> met{true};
  queue->async([&] {
    first.signal();
    met = met && second.waitFor(kPatience);
    done.signal();
  });
  queue->async([&] {
    second.signal();
    met = met && first.waitFor(kPatience);
    done.signal();
  });
  expectSignalled(done, 2);
  EXPECT_TRUE(met);
}

TEST(ConcurrentQueueTest, BarriersRunAloneAndSplitTheQueueInPostingOrder) {
  auto queue = DispatchQueue::createConcurrent("test.concurrent.barriers");
  constexpr int kWriters = 20;
  constexpr int kReadersPerWriter = 20;
  std::atomic<int> readers{0};
  std::atomic<bool> writing{false};
  std::atomic<bool> excluded{true};
  std::atomic<bool> ordered{true};
  int version = 0;  // written by barriers only; TSan flags any reader overlapping a writer

  for (int w = 0; w < kWriters; ++w) {
    for (int r = 0; r < kReadersPerWriter; ++r) {
      queue->async([&, w] {
        readers.fetch_add(1);
        if (writing) excluded = false;
        if (version != w) ordered = false;
        readers.fetch_sub(1);
      });
    }
    queue->barrierAsync([&, w] {
      if (writing.exchange(true) || readers.load() != 0) excluded = false;
      if (version != w) ordered = false;
      version = w + 1;
      writing = false;
    });
  }
  int seen = -1;
  queue->barrierSync([&] { seen = version; });
  EXPECT_EQ(seen, kWriters);
  EXPECT_TRUE(excluded);
  EXPECT_TRUE(ordered);
  EXPECT_EQ(queue->syncResult([&] { return version; }), kWriters);
}

// ---------------------------------------------------------------------------------------------

TEST(DelayedWorkTest, FiresAfterItsDelayInDelayOrder) {
  auto queue = DispatchQueue::createSerial("test.after");
  std::vector<int> order;
  Semaphore done;
  const auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration firstAt{};
  dispatchAfter(60ms, queue, [&] {
    order.push_back(60);
    done.signal();
  });
  queue->after(20ms, [&] {
    firstAt = std::chrono::steady_clock::now() - start;
    order.push_back(20);
    done.signal();
  });
  expectSignalled(done, 2);
  queue->sync([] {});
  EXPECT_EQ(order, (std::vector<int>{20, 60}));
  EXPECT_GE(firstAt, 20ms);
}

TEST(DelayedWorkTest, CancelKeepsPendingWorkFromRunningAndIsLateAfterItRan) {
  auto queue = DispatchQueue::createSerial("test.after.cancel");
  std::atomic<bool> cancelledRan{false};
  auto cancelled = queue->after(30ms, [&] { cancelledRan = true; });
  EXPECT_TRUE(cancelled->cancel());
  EXPECT_TRUE(cancelled->isCancelled());
  EXPECT_FALSE(cancelled->cancel());

  Semaphore fired;
  auto ran = queue->after(60ms, [&] { fired.signal(); });
  expectSignalled(fired);
  EXPECT_FALSE(ran->cancel());
  EXPECT_FALSE(ran->isCancelled());
  EXPECT_FALSE(cancelledRan);  // its deadline passed well before the later one

  auto immediate = queue->after(0ms, [&] { fired.signal(); });
  expectSignalled(fired);
  EXPECT_FALSE(immediate->cancel());
}

// ---------------------------------------------------------------------------------------------

TEST(DataAddSourceTest, CoalescesMergesUntilTheHandlerStartsAndHonoursSuspendAndCancel) {
  auto queue = DispatchQueue::createSerial("test.source");
  Semaphore handlerEntered, releaseHandler;
  std::vector<std::uintptr_t> runs;  // touched on the queue only
  bool blockFirst = true;
  auto source = DataAddSource::create(queue, [&](std::uintptr_t data) {
    runs.push_back(data);
    if (std::exchange(blockFirst, false)) {
      handlerEntered.signal();
      releaseHandler.wait();
    }
  });

  source->merge(1);
  source->merge(2);
  queue->sync([] {});
  EXPECT_TRUE(queue->syncResult([&] { return runs.empty(); })) << "a new source is suspended";

  source->merge(3);
  source->resume();
  expectSignalled(handlerEntered);
  // Merges while the handler runs make one further run.
  source->merge(4);
  source->merge(5);
  releaseHandler.signal();
  auto firstRuns = queue->syncResult([&] { return runs; });
  EXPECT_EQ(firstRuns, (std::vector<std::uintptr_t>{6, 9}));

  source->suspend();
  source->merge(7);
  queue->sync([] {});
  EXPECT_EQ(queue->syncResult([&] { return runs.size(); }), firstRuns.size());
  source->resume();
  queue->sync([] {});
  EXPECT_EQ(queue->syncResult([&] { return runs.back(); }), 7u);

  source->cancel();
  EXPECT_TRUE(source->isCancelled());
  source->merge(8);
  queue->sync([] {});
  EXPECT_EQ(queue->syncResult([&] { return runs.back(); }), 7u);
}

// ---------------------------------------------------------------------------------------------

TEST(MainLoopTest, RunsMainQueueWorkOnTheMainThreadUntilQuit) {
  std::vector<int> order;  // main thread only
  bool onMain = true;
  for (int i = 0; i < 3; ++i) {
    DispatchQueue::global()->async([&, i] {
      DispatchQueue::main()->after(Milliseconds(5 * i), [&, i] {
        onMain = onMain && isMainThread() && DispatchQueue::current() == DispatchQueue::main().get();
        order.push_back(i);
        if (order.size() == 3) MainLoop::quit();
      });
    });
  }
  MainLoop::run();
  EXPECT_TRUE(onMain);
  EXPECT_EQ(order.size(), 3u);
}

TEST(MainLoopTest, DrainRunsOnlyWhatIsWaitingAndRunForReturns) {
  int runs = 0;
  bool keepPosting = true;
  std::function<void()> again = [&] {
    ++runs;
    if (keepPosting) DispatchQueue::main()->async(again);
  };
  DispatchQueue::main()->async(again);
  DispatchQueue::main()->async([&] { ++runs; });
  EXPECT_EQ(MainLoop::drain(), 2u);
  EXPECT_EQ(runs, 2);
  MainLoop::runFor(20ms);  // returns although `again` keeps posting
  EXPECT_GT(runs, 2);
  keepPosting = false;
  EXPECT_EQ(MainLoop::drain(), 1u);
  EXPECT_EQ(MainLoop::drain(), 0u);
}

// A driver that queues work for the test to run by hand, as an event loop would.
class ManualDriver : public MainQueueDriver {
 public:
  void post(Work work) override {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(work));
  }
  std::size_t runAll() {
    std::size_t n = 0;
    for (;;) {
      Work w;
      {
        std::lock_guard lock(mutex_);
        if (items_.empty()) return n;
        w = std::move(items_.front());
        items_.pop_front();
      }
      w();
      ++n;
    }
  }

 private:
  std::mutex mutex_;
  std::deque<Work> items_;
};

TEST(MainLoopTest, InstalledDriverTakesWaitingAndDelayedWorkAndCanBeRemoved) {
  std::vector<std::string> seen;
  DispatchQueue::main()->async([&] { seen.push_back("before"); });
  auto driver = std::make_shared<ManualDriver>();
  MainLoop::installDriver(driver);
  EXPECT_EQ(MainLoop::drain(), 0u) << "waiting work must move to the new driver";

  DispatchQueue::main()->async([&] { seen.push_back("after"); });
  Semaphore delayedPosted;
  DispatchQueue::main()->after(10ms, [&] { seen.push_back("delayed"); });
  DispatchQueue::global()->after(30ms, [&] { delayedPosted.signal(); });
  expectSignalled(delayedPosted);
  EXPECT_EQ(driver->runAll(), 3u);
  EXPECT_EQ(seen, (std::vector<std::string>{"before", "after", "delayed"}));

  MainLoop::installDriver(nullptr);
  DispatchQueue::main()->async([&] { seen.push_back("builtin"); });
  EXPECT_EQ(driver->runAll(), 0u);
  EXPECT_EQ(MainLoop::drain(), 1u);
  EXPECT_EQ(seen.back(), "builtin");
}

// ---------------------------------------------------------------------------------------------

TEST(SemaphoreTest, CountsSignalsAndTimesOut) {
  Semaphore s(2);
  EXPECT_TRUE(s.waitFor(0ms));
  EXPECT_TRUE(s.waitFor(0ms));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.waitFor(30ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);

  DispatchQueue::global()->async([&] { s.signal(); });
  EXPECT_TRUE(s.waitFor(kPatience));
}

TEST(ThreadDictionaryTest, IsSeparateForEachThread) {
  threadDictionary().set("owner", keel::Value("main"));
  bool otherStartedEmpty = false;
  std::thread other([&] {
    otherStartedEmpty = !threadDictionary().contains("owner");
    threadDictionary().set("owner", keel::Value("other"));
  });
  other.join();
  EXPECT_TRUE(otherStartedEmpty);
  EXPECT_EQ(threadDictionary()["owner"], keel::Value("main"));
}

TEST(AsyncWorkTest, ExceptionIsLoggedWithTheQueueLabelAndTheQueueGoesOn) {
  std::mutex m;
  std::vector<std::string> lines;
  auto previous = keel::Logger::sharedLogger().setSink([&](const std::string& line) {
    std::lock_guard lock(m);
    lines.push_back(line);
  });
  auto queue = DispatchQueue::createSerial("test.throws");
  queue->async([] { throw std::runtime_error("boom"); });
  int after = queue->syncResult([] { return 1; });
  keel::Logger::sharedLogger().setSink(previous);
  EXPECT_EQ(after, 1);
  std::lock_guard lock(m);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr("test.throws"));
  EXPECT_THAT(lines[0], HasSubstr("boom"));
}

}  // namespace
}  // namespace platform
