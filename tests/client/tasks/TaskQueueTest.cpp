#include <keel/tasks/TaskQueue.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <keel/tasks/AsyncTaskQueue.h>
#include <keel/tasks/Task.h>

namespace keel {
namespace {

// Records how many operations run at once.
struct OverlapMeter {
  std::atomic<int> active{0};
  std::atomic<int> most{0};
  std::atomic<int> runs{0};
  void enter() {
    int now = ++active;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    // Give another thread the chance to overlap if the queue let it.
    std::this_thread::yield();
  }
  void leave() {
    ++runs;
    --active;
  }
};

TEST(TaskQueueTest, SerialisesOperationsEnqueuedFromSeveralThreadsWhateverTheirOutcome) {
  TaskQueue queue;
  OverlapMeter meter;
  std::mutex mutex;
  std::vector<Task<int>> tasks;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        auto task = queue.enqueue([&, t, i](const Task<>& toAwait) {
          return toAwait.continueAsyncWithBlock([&, t, i](const Task<>&) -> int {
            meter.enter();
            meter.leave();
            if (i % 5 == 0) throw InvalidArgumentException("failing operation");
            if (i % 7 == 0) return Task<int>::cancelledTask().result();
            return t * 100 + i;
          });
        });
        std::lock_guard lock(mutex);
        tasks.push_back(task);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::vector<Task<>> all(tasks.begin(), tasks.end());
  auto whole = Task<>::taskForCompletionOfAllTasks(all);
  whole.waitUntilFinished();
  EXPECT_TRUE(whole.isFaulted());
  EXPECT_EQ(meter.runs.load(), 100);
  EXPECT_EQ(meter.most.load(), 1);
}

TEST(AsyncTaskQueueTest, RunsClosuresOneAfterAnotherAndForwardsTheirOutcome) {
  auto queue = AsyncTaskQueue::taskQueue();
  OverlapMeter meter;
  std::mutex mutex;
  std::vector<Task<int>> tasks;
  std::atomic<int> sawIncompletePrevious{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        auto task = queue->enqueue([&, t, i](const Task<>& previous) {
          if (!previous.isCompleted()) sawIncompletePrevious++;
          meter.enter();
          meter.leave();
          if (i == 3) return Task<int>::taskWithError(Error::keel(i, "failed"));
          return Task<int>::taskWithResult(t * 100 + i);
        });
        std::lock_guard lock(mutex);
        tasks.push_back(task);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::vector<Task<>> all(tasks.begin(), tasks.end());
  Task<>::taskForCompletionOfAllTasks(all).waitForResult(nullptr, false);
  EXPECT_EQ(meter.runs.load(), 100);
  EXPECT_EQ(meter.most.load(), 1);
  EXPECT_EQ(sawIncompletePrevious.load(), 0);
  int failed = 0;
  for (const auto& task : tasks) {
    if (task.isFaulted()) {
      EXPECT_EQ(task.error()->code(), 3);
      ++failed;
    } else {
      EXPECT_EQ(task.result() % 100 == 3, false);
    }
  }
  EXPECT_EQ(failed, 4);
}

TEST(AsyncTaskQueueTest, ForwardsExceptionsAndCancellation) {
  auto queue = AsyncTaskQueue::taskQueue();
  auto thrown = queue->enqueue([](const Task<>&) -> Task<int> { throw InvalidArgumentException("x"); });
  auto cancelled = queue->enqueue([](const Task<>&) { return Task<>::cancelledTask(); });
  auto next = queue->enqueue([](const Task<>& previous) { return Task<bool>::taskWithResult(previous.isCancelled()); });
  // The next closure may run before the tasks that enqueue returned have taken on their
  // outcome: both follow the same tail, on the background executor. So wait for all three.
  Task<>::taskForCompletionOfAllTasks({thrown, cancelled, next})
      .continueWithBlock([](const Task<>&) {})
      .waitForResult(nullptr, false);
  EXPECT_TRUE(next.result());
  EXPECT_EQ(Exception::describe(thrown.exception()).second, "x");
  EXPECT_TRUE(cancelled.isCancelled());
}

}  // namespace
}  // namespace keel
