#include <keel/tasks/Task.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <keel/base/Logger.h>
#include <keel/platform/Dispatch.h>

#include "support/ExceptionTestSupport.h"

namespace keel {
namespace {

using ::testing::HasSubstr;

using testing::reasonOf;

std::exception_ptr invalidArgument(const char* reason) {
  return std::make_exception_ptr(InvalidArgumentException(reason));
}

// Collects log lines for as long as it lives.
class LogCapture {
 public:
  LogCapture() {
    previous_ = Logger::sharedLogger().setSink([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() { Logger::sharedLogger().setSink(previous_); }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
  Logger::Sink previous_;
};

TEST(TaskCompletionSourceTest, CompletesOnceAndKeepsTheFirstOutcome) {
  TaskCompletionSource<int> source;
  source.setResult(7);
  EXPECT_EQ(reasonOf([&] { source.setResult(8); }),
            "InternalInconsistencyException: Cannot set the result on a completed task.");
  EXPECT_EQ(reasonOf([&] { source.setError(Error::keel(1, "x")); }),
            "InternalInconsistencyException: Cannot set the error on a completed task.");
  EXPECT_EQ(reasonOf([&] { source.setException(invalidArgument("x")); }),
            "InternalInconsistencyException: Cannot set the exception on a completed task.");
  EXPECT_EQ(reasonOf([&] { source.cancel(); }), "InternalInconsistencyException: Cannot cancel a completed task.");
  EXPECT_FALSE(source.trySetResult(9));
  EXPECT_FALSE(source.trySetError(Error::keel(1, "x")));
  EXPECT_FALSE(source.trySetException(invalidArgument("x")));
  EXPECT_FALSE(source.trySetCancelled());
  Task<int> task = source.task();
  EXPECT_EQ(task.result(), 7);
  EXPECT_FALSE(task.isFaulted());
  EXPECT_FALSE(task.isCancelled());
}

TEST(TaskCompletionSourceTest, TryFormsReportWhetherTheyCompletedTheTask) {
  TaskCompletionSource<> cancelled;
  EXPECT_TRUE(cancelled.trySetCancelled());
  EXPECT_TRUE(cancelled.task().isCancelled());
  EXPECT_FALSE(cancelled.task().isFaulted());

  TaskCompletionSource<std::string> failed;
  auto error = Error::keel(100, "offline");
  EXPECT_TRUE(failed.trySetError(error));
  EXPECT_TRUE(failed.task().isFaulted());
  EXPECT_EQ(failed.task().error(), error);
  EXPECT_EQ(failed.task().result(), "");
}

TEST(TaskCompletionSourceTest, RacingCompletersLetExactlyOneWin) {
  for (int round = 0; round < 50; ++round) {
    TaskCompletionSource<int> source;
    std::atomic<int> wins{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back([&, i] {
        if (source.trySetResult(i)) wins++;
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wins.load(), 1);
  }
}

TEST(TaskTest, DescriptionShowsFlagsAndTheResultOnlyWhenCompleted) {
  TaskCompletionSource<int> source;
  std::regex pending("<Task: 0x[0-9a-f]+; completed = NO; cancelled = NO; faulted = NO;>");
  EXPECT_TRUE(std::regex_match(source.task().description(), pending)) << source.task().description();
  source.setResult(42);
  std::regex done("<Task: 0x[0-9a-f]+; completed = YES; cancelled = NO; faulted = NO; result:42>");
  EXPECT_TRUE(std::regex_match(source.task().description(), done)) << source.task().description();
  EXPECT_THAT(Task<>::cancelledTask().description(),
              HasSubstr("completed = YES; cancelled = YES; faulted = NO; result:(null)>"));
}

TEST(TaskContinuationTest, YieldsTheBlockValueOrNothing) {
  auto doubled = Task<int>::taskWithResult(21).continueWithBlock([](const Task<int>& t) { return t.result() * 2; });
  static_assert(std::is_same_v<decltype(doubled), Task<int>>);
  EXPECT_EQ(doubled.result(), 42);

  bool ran = false;
  auto none = doubled.continueWithBlock([&](const Task<int>&) { ran = true; });
  static_assert(std::is_same_v<decltype(none), Task<void>>);
  EXPECT_TRUE(ran);
  EXPECT_TRUE(none.isCompleted());
  EXPECT_FALSE(none.isFaulted());
}

TEST(TaskContinuationTest, FlattensAReturnedTaskIntoItsOutcome) {
  TaskCompletionSource<std::string> inner;
  auto outer = Task<>::taskWithResult().continueWithBlock([&](const Task<>&) { return inner.task(); });
  static_assert(std::is_same_v<decltype(outer), Task<std::string>>);
  EXPECT_FALSE(outer.isCompleted());
  inner.setResult("done");
  EXPECT_EQ(outer.result(), "done");

  auto alreadyFailed = Task<>::taskWithResult().continueWithBlock(
      [](const Task<>&) { return Task<int>::taskWithError(Error::keel(1, "inner")); });
  EXPECT_EQ(alreadyFailed.error()->code(), 1);
}

TEST(TaskContinuationTest, IsCancelledWhenTheReturnedTaskIsCancelledLater) {
  TaskCompletionSource<int> inner;
  auto outer = Task<>::taskWithResult().continueWithBlock([&](const Task<>&) { return inner.task(); });
  inner.cancel();
  EXPECT_TRUE(outer.isCancelled());
  EXPECT_FALSE(outer.isFaulted());
}

TEST(TaskContinuationTest, CapturesAnExceptionThrownByTheBlock) {
  auto task = Task<int>::taskWithResult(1).continueWithBlock([](const Task<int>&) -> int {
    throw InvalidArgumentException("bad input");
  });
  ASSERT_TRUE(task.isFaulted());
  EXPECT_EQ(task.error(), nullptr);
  auto [name, reason] = Exception::describe(task.exception());
  EXPECT_EQ(name, "InvalidArgumentException");
  EXPECT_EQ(reason, "bad input");
}

TEST(TaskContinuationTest, RunsAttachedContinuationsInAttachmentOrder) {
  TaskCompletionSource<> source;
  std::vector<int> order;
  for (int i = 0; i < 5; ++i) source.task().continueWithBlock([&order, i](const Task<>&) { order.push_back(i); });
  source.setResult();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(TaskContinuationTest, IsCancelledWithoutRunningWhenTheTokenIsCancelledFirst) {
  TaskCompletionSource<int> source;
  auto tokens = CancellationTokenSource::cancellationTokenSource();
  bool ran = false;
  auto task = source.task().continueWithBlock([&](const Task<int>&) { ran = true; return 1; }, tokens->token());
  tokens->cancel();
  source.setResult(0);
  EXPECT_TRUE(task.isCancelled());
  EXPECT_FALSE(ran);
}

TEST(TaskSuccessContinuationTest, SkipsFaultedAndCancelledTasksAndPassesTheirOutcomeOn) {
  int calls = 0;
  auto error = Error::keel(101, "missing");
  auto fromError = Task<int>::taskWithError(error).continueWithSuccessBlock([&](const Task<int>&) { return ++calls; });
  EXPECT_EQ(fromError.error(), error);

  auto fromException = Task<int>::taskWithException(invalidArgument("x")).continueWithSuccessBlock(
      [&](const Task<int>&) { ++calls; });
  EXPECT_EQ(Exception::describe(fromException.exception()).second, "x");

  auto fromCancelled = Task<int>::cancelledTask().continueWithSuccessResult(std::string("unused"));
  EXPECT_TRUE(fromCancelled.isCancelled());

  auto fromSuccess = Task<int>::taskWithResult(3).continueWithSuccessBlock([&](const Task<int>& t) {
    ++calls;
    return t.result() + 1;
  });
  EXPECT_EQ(fromSuccess.result(), 4);
  EXPECT_EQ(calls, 1);
}

TEST(TaskSuccessContinuationTest, ReturnsACancelledTaskAtOnceForACancelledToken) {
  auto tokens = CancellationTokenSource::cancellationTokenSource();
  tokens->cancel();
  TaskCompletionSource<int> pending;
  auto task = pending.task().continueWithSuccessBlock([](const Task<int>&) { return 1; }, tokens->token());
  EXPECT_TRUE(task.isCancelled());
}

TEST(TaskContinuationTest, ContinueWithResultIgnoresTheOutcome) {
  auto task = Task<int>::taskWithError(Error::keel(1, "x")).continueWithResult(std::string("fallback"));
  EXPECT_EQ(task.result(), "fallback");
}

TEST(TaskCombinatorTest, CompletesAtOnceForAnEmptyList) {
  auto all = Task<>::taskForCompletionOfAllTasks({});
  EXPECT_TRUE(all.isCompleted());
  EXPECT_FALSE(all.isFaulted());
  EXPECT_FALSE(all.isCancelled());
}

TEST(TaskCombinatorTest, PrefersExceptionsToErrorsAndErrorsToCancellation) {
  auto exception = invalidArgument("boom");
  auto withException = Task<>::taskForCompletionOfAllTasks(
      {Task<int>::taskWithError(Error::keel(1, "a")), Task<>::taskWithException(exception),
       Task<std::string>::taskWithError(Error::keel(2, "b")), Task<>::cancelledTask()});
  EXPECT_EQ(withException.exception(), exception);

  auto error = Error::keel(3, "only");
  auto withError = Task<>::taskForCompletionOfAllTasks(
      {Task<>::cancelledTask(), Task<int>::taskWithError(error), Task<int>::taskWithResult(1)});
  EXPECT_EQ(withError.error(), error);

  auto withCancellation = Task<>::taskForCompletionOfAllTasks({Task<int>::taskWithResult(1), Task<>::cancelledTask()});
  EXPECT_TRUE(withCancellation.isCancelled());
}

TEST(TaskCombinatorTest, CombinesSeveralErrorsInCompletionOrder) {
  TaskCompletionSource<> first, second, third;
  auto all = Task<>::taskForCompletionOfAllTasks({first.task(), second.task(), third.task()});
  third.setError(Error::keel(3, "third"));
  second.setResult();
  EXPECT_FALSE(all.isCompleted());
  first.setError(Error::keel(1, "first"));
  ASSERT_TRUE(all.isFaulted());
  auto error = all.error();
  EXPECT_EQ(error->domain(), "tasks");
  EXPECT_EQ(error->code(), 80175001);
  const Array& errors = error->userInfo()["errors"].arrayValue();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(Error::fromValue(errors[0])->code(), 3);
  EXPECT_EQ(Error::fromValue(errors[1])->code(), 1);
}

TEST(TaskCombinatorTest, CombinesSeveralExceptionsIntoOne) {
  auto all = Task<>::taskForCompletionOfAllTasks(
      {Task<>::taskWithException(invalidArgument("one")), Task<>::taskWithException(invalidArgument("two"))});
  ASSERT_TRUE(all.isFaulted());
  try {
    std::rethrow_exception(all.exception());
  } catch (const MultipleExceptionsException& e) {
    EXPECT_EQ(e.name(), "MultipleExceptionsException");
    EXPECT_EQ(e.reason(), "There were multiple exceptions.");
    const Array& list = e.userInfo()["exceptions"].arrayValue();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].description(), "one");
    EXPECT_EQ(e.exceptions().size(), 2u);
  }
}

TEST(TaskCombinatorTest, WaitsForTasksCompletedFromManyThreads) {
  std::vector<TaskCompletionSource<int>> sources(64);
  std::vector<Task<int>> typed;
  for (auto& s : sources) typed.push_back(s.task());
  std::vector<Task<>> untyped(typed.begin(), typed.end());
  auto all = Task<>::taskForCompletionOfAllTasksWithResults(typed);
  auto values = Task<>::taskForCompletionOfAllTasksWithResults(untyped);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t; i < 64; i += 4) sources[i].setResult(i);
    });
  }
  for (auto& th : threads) th.join();
  auto results = all.waitForResult(nullptr, false);
  ASSERT_EQ(results.size(), 64u);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(results[i], i);
  EXPECT_EQ(values.waitForResult(nullptr, false)[63].intValue(), 63);
}

TEST(TaskCombinatorTest, ListsResultsInInputOrderWithNullForNone) {
  TaskCompletionSource<std::string> late;
  auto all = Task<>::taskForCompletionOfAllTasksWithResults(
      {late.task(), Task<>::taskWithResult(), Task<int>::taskWithResult(5)});
  late.setResult("late");
  Array results = all.result();
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0], Value("late"));
  EXPECT_TRUE(results[1].isNull());
  EXPECT_EQ(results[2], Value(5));
}

TEST(TaskWaitTest, ReturnsNothingForACancelledTaskAndLeavesTheErrorAlone) {
  auto marker = Error::keel(9, "untouched");
  ErrorPtr error = marker;
  EXPECT_EQ(Task<std::string>::cancelledTask().waitForResult(&error, false), "");
  EXPECT_EQ(error, marker);
}

TEST(TaskWaitTest, StoresTheErrorAndReturnsNoResult) {
  ErrorPtr error;
  auto failed = Error::keel(100, "offline");
  EXPECT_EQ(Task<int>::taskWithError(failed).waitForResult(&error, false), 0);
  EXPECT_EQ(error, failed);
}

TEST(TaskWaitTest, RethrowsACapturedExceptionInTheWaitingThread) {
  TaskCompletionSource<int> source;
  std::string caught;
  std::thread waiter([&] {
    try {
      source.task().waitForResult(nullptr, false);
    } catch (const InvalidArgumentException& e) {
      caught = e.reason();
    }
  });
  source.setException(invalidArgument("thrown elsewhere"));
  waiter.join();
  EXPECT_EQ(caught, "thrown elsewhere");
}

TEST(TaskWaitTest, WaitsForAResultFromAnotherThread) {
  auto task = Task<>::taskFromExecutor(Executor::defaultPriorityBackgroundExecutor(), [] { return 11; });
  std::string text;
  std::thread waiter([&] { text = std::to_string(task.waitForResult()); });
  waiter.join();
  EXPECT_EQ(text, "11");
}

TEST(TaskWaitTest, WakesEveryThreadBlockedOnOneTask) {
  TaskCompletionSource<int> source;
  std::atomic<int> sum{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] { sum += source.task().waitForResult(); });
  }
  source.setResult(5);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(sum.load(), 20);
}

TEST(TaskWaitTest, WarnsWhenWaitingOnTheMainThreadUnlessAskedNotTo) {
  ASSERT_TRUE(platform::isMainThread());
  LogCapture log;
  Task<int>::taskWithResult(1).waitForResult(nullptr, false);
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(Task<int>::taskWithResult(2).waitForResult(), 2);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0],
            "[Warning]: Warning: A long-running operation is being executed on the main thread. \n"
            " Break on warnBlockingOperationOnMainThread() to debug.");
}

TEST(TaskDelayTest, CompletesAfterTheDelayOrIsCancelledByItsToken) {
  auto tokens = CancellationTokenSource::cancellationTokenSource();
  tokens->cancel();
  EXPECT_TRUE(Task<>::taskWithDelay(10000, tokens->token()).isCancelled());

  auto plain = Task<>::taskWithDelay(5);
  plain.waitForResult(nullptr, false);
  EXPECT_FALSE(plain.isCancelled());

  auto later = CancellationTokenSource::cancellationTokenSource();
  auto delayed = Task<>::taskWithDelay(20, later->token());
  later->cancel();
  delayed.waitForResult(nullptr, false);
  EXPECT_TRUE(delayed.isCancelled());
}

TEST(TaskMainThreadTest, CallsBackOnTheMainThreadWithResultAndError) {
  std::thread::id calledOn;
  int value = 0;
  auto background = Task<>::taskFromExecutor(Executor::defaultPriorityBackgroundExecutor(), [] { return 5; });
  auto done = background.thenCallBackOnMainThreadAsync([&](int result, ErrorPtr error) {
    calledOn = std::this_thread::get_id();
    value = error ? -1 : result;
  });
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return done.isCompleted(); }, std::chrono::seconds(10)));
  EXPECT_EQ(calledOn, std::this_thread::get_id());
  EXPECT_EQ(value, 5);
}

TEST(TaskMainThreadTest, SkipsCancelledTasksUnlessAskedToRunThem) {
  int calls = 0;
  auto block = [&](bool, ErrorPtr) { ++calls; };
  auto skipped = Task<bool>::cancelledTask().thenCallBackOnMainThreadWithBoolValueAsync(block);
  auto run = Task<bool>::cancelledTask().continueWithMainThreadBooleanResultBlock(block, true);
  platform::MainLoop::runUntil([&] { return skipped.isCompleted() && run.isCompleted(); }, std::chrono::seconds(10));
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(run.isCancelled());
}

TEST(TaskMainThreadTest, LogsAndRaisesAnExceptionAgain) {
  LogCapture log;
  bool called = false;
  auto task = Task<int>::taskWithException(invalidArgument("bad"))
                  .thenCallBackOnMainThreadAsync([&](int, ErrorPtr) { called = true; });
  ASSERT_TRUE(task.isCompleted());  // the main-thread executor runs inline here
  EXPECT_FALSE(called);
  EXPECT_EQ(Exception::describe(task.exception()).second, "bad");
  ASSERT_FALSE(log.lines().empty());
  EXPECT_EQ(log.lines()[0], "[Error]: Caught \"InvalidArgumentException\" with reason \"bad\"");
}

TEST(TaskMainThreadTest, ReturnsTheTaskItselfForAnEmptyBlock) {
  auto task = Task<int>::taskWithResult(1);
  EXPECT_EQ(task.thenCallBackOnMainThreadAsync(nullptr), Task<>(task));
  EXPECT_EQ(task.thenCallBackOnMainThreadWithBoolValueAsync(nullptr), Task<>(task));
}

}  // namespace
}  // namespace keel
