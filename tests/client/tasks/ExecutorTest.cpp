#include <keel/tasks/Executor.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <keel/tasks/Task.h>
#include <keel/platform/Dispatch.h>

namespace keel {
namespace {

TEST(DefaultExecutorTest, RunsTheOutermostAndTwentyNestedContinuationsInlineThenHops) {
  // A chain attached to a pending task runs nested, each continuation completing the next.
  constexpr int kChain = 22;
  std::vector<std::thread::id> ranOn(kChain);
  TaskCompletionSource<> source;
  Task<> tail = source.task();
  for (int i = 0; i < kChain; ++i) {
    tail = tail.continueWithBlock([&ranOn, i](const Task<>&) { ranOn[i] = std::this_thread::get_id(); });
  }
  source.setResult();
  tail.waitForResult(nullptr, false);
  auto self = std::this_thread::get_id();
  for (int i = 0; i <= 20; ++i) EXPECT_EQ(ranOn[i], self) << "continuation " << i;
  EXPECT_NE(ranOn[21], self);
  EXPECT_EQ(detail::taskDepth(), 0);
}

TEST(DefaultExecutorTest, RestoresTheDepthWhenTheClosureThrows) {
  EXPECT_THROW(Executor::defaultExecutor()->execute([] {
    Executor::defaultExecutor()->execute([] { throw std::runtime_error("inner"); });
  }),
               std::runtime_error);
  EXPECT_EQ(detail::taskDepth(), 0);
}

TEST(DefaultExecutorTest, StartsEachThreadAtDepthZero) {
  std::atomic<int> seen{-1};
  Executor::defaultExecutor()->execute([&] {
    std::thread other([&] { seen = detail::taskDepth(); });
    other.join();
  });
  EXPECT_EQ(seen.load(), 0);
}

TEST(ExecutorTest, MainThreadExecutorRunsInlineOnTheMainThreadAndPostsFromElsewhere) {
  ASSERT_TRUE(platform::isMainThread());
  bool inlineRun = false;
  Executor::mainThreadExecutor()->execute([&] { inlineRun = true; });
  EXPECT_TRUE(inlineRun);

  std::atomic<bool> onMain{false};
  std::atomic<bool> done{false};
  std::thread other([&] {
    Executor::mainThreadExecutor()->execute([&] {
      onMain = platform::isMainThread();
      done = true;
    });
  });
  other.join();
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return done.load(); }, std::chrono::seconds(10)));
  EXPECT_TRUE(onMain.load());
}

TEST(ExecutorTest, QueueExecutorsRunOnTheirQueue) {
  auto queue = platform::DispatchQueue::createSerial("executor.test");
  for (const auto& executor :
       {Executor::executorWithDispatchQueue(queue), Executor::executorWithOperationQueue(queue)}) {
    auto task = Task<>::taskFromExecutor(executor, [&] { return queue->isCurrent(); });
    EXPECT_TRUE(task.waitForResult(nullptr, false));
  }
}

TEST(ExecutorTest, PendingContinuationKeepsItsExecutorAlive) {
  auto queue = platform::DispatchQueue::createSerial("executor.lifetime");
  TaskCompletionSource<> source;
  std::weak_ptr<Executor> weak;
  Task<bool> ranOnQueue;
  {
    auto executor = Executor::executorWithDispatchQueue(queue);
    weak = executor;
    ranOnQueue = source.task().continueWithExecutor(executor, [queue](const Task<>&) { return queue->isCurrent(); });
  }
  EXPECT_FALSE(weak.expired());
  source.setResult();
  EXPECT_TRUE(ranOnQueue.waitForResult(nullptr, false));
}

TEST(ExecutorTest, BlockExecutorReceivesEveryClosure) {
  std::vector<Executor::Work> held;
  auto executor = Executor::executorWithBlock([&](Executor::Work work) { held.push_back(std::move(work)); });
  auto task = Task<>::taskFromExecutor(executor, [] { return 3; });
  ASSERT_EQ(held.size(), 1u);
  EXPECT_FALSE(task.isCompleted());
  held[0]();
  EXPECT_EQ(task.result(), 3);
}

}  // namespace
}  // namespace keel
