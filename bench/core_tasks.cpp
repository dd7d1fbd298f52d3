// Tasks per continuation: time and heap allocations for a chain of 1,000,000 continueWithBlock
// steps on the immediate and the default executor, and for 100,000 fan-ins of 10 tasks through
// taskForCompletionOfAllTasks. Beside them, in the same binary, the same chain written with
// std::promise/std::future plus asio::post on the dispatch pool, and plain std::function calls.
//
// Allocations are counted by replacing the global operator new/delete of this program.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <new>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include <keel/tasks/Task.h>
#include <keel/platform/internal/DispatchPool.h>

// ---- Counting allocator: every global new in the process counts once.
//
// Each thread counts in a slot of its own with a plain load and store, so that counting adds
// no locked instruction to the allocations being measured; threads beyond the slots share one
// atomic counter.

namespace {
struct alignas(64) CountSlot {
  std::atomic<std::uint64_t> count{0};
};
constexpr int kCountSlots = 128;
CountSlot gSlots[kCountSlots];
std::atomic<int> gNextSlot{0};
std::atomic<std::uint64_t> gOverflowCount{0};
thread_local int tSlot = -1;

void countAllocation() {
  if (tSlot < 0) tSlot = gNextSlot.fetch_add(1, std::memory_order_relaxed);
  if (tSlot < kCountSlots) {
    auto& c = gSlots[tSlot].count;
    c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  } else {
    gOverflowCount.fetch_add(1, std::memory_order_relaxed);
  }
}

std::uint64_t allocationsSoFar() {
  std::uint64_t total = gOverflowCount.load(std::memory_order_relaxed);
  for (const auto& slot : gSlots) total += slot.count.load(std::memory_order_relaxed);
  return total;
}

void* countedAlloc(std::size_t size) {
  countAllocation();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

void* countedAlignedAlloc(std::size_t size, std::align_val_t align) {
  countAllocation();
  const auto a = static_cast<std::size_t>(align);
  // aligned_alloc wants a size that is a multiple of the alignment.
  const std::size_t rounded = (size + a - 1) / a * a;
  if (void* p = std::aligned_alloc(a, rounded ? rounded : a)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return countedAlloc(size); }
void* operator new[](std::size_t size) { return countedAlloc(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return countedAlloc(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void* operator new(std::size_t size, std::align_val_t align) { return countedAlignedAlloc(size, align); }
void* operator new[](std::size_t size, std::align_val_t align) {
  return countedAlignedAlloc(size, align);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

using keel::Executor;
using keel::ExecutorPtr;
using keel::Task;
using keel::TaskCompletionSource;
namespace asio = boost::asio;

constexpr int kSteps = 1'000'000;
constexpr int kFanIns = 100'000;
constexpr int kFanInWidth = 10;

// Measures allocations over the benchmark loop; reports them and the time per unit of work.
class PerUnit {
 public:
  explicit PerUnit(benchmark::State& state) : state_(state), start_(allocationsSoFar()) {}
  void report(std::int64_t unitsPerIteration, const char* unit) {
    const auto allocations = allocationsSoFar() - start_;
    const auto units = static_cast<double>(state_.iterations() * unitsPerIteration);
    state_.SetItemsProcessed(state_.iterations() * unitsPerIteration);
    // Seconds per unit, shown with an SI prefix (n = nanoseconds).
    state_.counters[std::string("per_") + unit] = benchmark::Counter(
        static_cast<double>(unitsPerIteration),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state_.counters[std::string("allocs_per_") + unit] = static_cast<double>(allocations) / units;
  }

 private:
  benchmark::State& state_;
  std::uint64_t start_;
};

const ExecutorPtr& executorFor(const benchmark::State& state) {
  return state.range(0) == 0 ? Executor::immediateExecutor() : Executor::defaultExecutor();
}

// ---- Chains of continuations

// Each step continues a completed task, so it runs inline as it is attached: the cost of one
// continuation without any thread hop.
void BM_TaskChainOnCompletedTasks(benchmark::State& state) {
  const ExecutorPtr& executor = executorFor(state);
  state.SetLabel(state.range(0) == 0 ? "immediate" : "default");
  PerUnit measure(state);
  for (auto _ : state) {
    Task<int> tail = Task<int>::taskWithResult(0);
    for (int i = 0; i < kSteps; ++i) {
      tail = tail.continueWithExecutor(executor, [](const Task<int>& t) { return t.result() + 1; });
    }
    if (tail.result() != kSteps) state.SkipWithError("the chain lost a step");
  }
  measure.report(kSteps, "step");
}
BENCHMARK(BM_TaskChainOnCompletedTasks)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The chain is built on a pending task and then completed: each step completes the next one
// inside the block before it, so the default executor runs 21 nested steps inline and moves the
// next to the global queue. (On the immediate executor a million nested steps would overflow
// the stack, which is why the default executor has its depth rule.)
void BM_TaskChainAttachedBeforeCompletion(benchmark::State& state) {
  PerUnit measure(state);
  for (auto _ : state) {
    TaskCompletionSource<int> source;
    Task<int> tail = source.task();
    for (int i = 0; i < kSteps; ++i) {
      tail = tail.continueWithBlock([](const Task<int>& t) { return t.result() + 1; });
    }
    source.setResult(0);
    if (tail.waitForResult(nullptr, false) != kSteps) state.SkipWithError("the chain lost a step");
  }
  measure.report(kSteps, "step");
}
BENCHMARK(BM_TaskChainAttachedBeforeCompletion)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same chain with the standard library: every step's value passes through its own
// promise/future, and as a future has no continuation, each step is posted to the pool by the
// one before it.
struct FutureChain {
  asio::thread_pool::executor_type executor;
  std::promise<int> last;
};

void futureStep(FutureChain* chain, std::future<int> previous, int remaining) {
  std::promise<int> step;
  std::future<int> next = step.get_future();
  step.set_value(previous.get() + 1);
  if (remaining == 1) {
    chain->last.set_value(next.get());
    return;
  }
  asio::post(chain->executor, [chain, next = std::move(next), remaining]() mutable {
    futureStep(chain, std::move(next), remaining - 1);
  });
}

void BM_PromiseFutureChainOverAsioPost(benchmark::State& state) {
  PerUnit measure(state);
  for (auto _ : state) {
    FutureChain chain{platform::internal::sharedPool().get_executor(), {}};
    std::future<int> result = chain.last.get_future();
    std::promise<int> first;
    first.set_value(0);
    asio::post(chain.executor, [c = &chain, f = first.get_future()]() mutable {
      futureStep(c, std::move(f), kSteps);
    });
    if (result.get() != kSteps) state.SkipWithError("the chain lost a step");
  }
  measure.report(kSteps, "step");
}
BENCHMARK(BM_PromiseFutureChainOverAsioPost)->Unit(benchmark::kMillisecond)->UseRealTime();

// A plain std::function made and called per step: the floor for a step that runs a block.
void BM_RawFunctionCallPerStep(benchmark::State& state) {
  PerUnit measure(state);
  int one = 1;
  for (auto _ : state) {
    int value = 0;
    for (int i = 0; i < kSteps; ++i) {
      std::function<int(int)> step = [&one](int v) { return v + one; };
      benchmark::DoNotOptimize(step);
      value = step(value);
    }
    if (value != kSteps) state.SkipWithError("lost a step");
  }
  measure.report(kSteps, "step");
}
BENCHMARK(BM_RawFunctionCallPerStep)->Unit(benchmark::kMillisecond);

// The same, with the function kept on the heap the way anything that runs a block later must
// keep it: the floor for a stored callback.
void BM_RawHeldFunctionCallPerStep(benchmark::State& state) {
  PerUnit measure(state);
  int one = 1;
  for (auto _ : state) {
    int value = 0;
    for (int i = 0; i < kSteps; ++i) {
      auto step = std::make_shared<std::function<int(int)>>([&one](int v) { return v + one; });
      benchmark::DoNotOptimize(step);
      value = (*step)(value);
    }
    if (value != kSteps) state.SkipWithError("lost a step");
  }
  measure.report(kSteps, "step");
}
BENCHMARK(BM_RawHeldFunctionCallPerStep)->Unit(benchmark::kMillisecond);

// ---- Fan-ins

// Ten tasks that are already complete: the cost of the combinator alone.
void BM_FanInOfCompletedTasks(benchmark::State& state) {
  std::vector<Task<>> inputs;
  for (int i = 0; i < kFanInWidth; ++i) inputs.push_back(Task<int>::taskWithResult(i));
  PerUnit measure(state);
  for (auto _ : state) {
    for (int n = 0; n < kFanIns; ++n) {
      Task<> all = Task<>::taskForCompletionOfAllTasks(inputs);
      if (!all.isCompleted()) state.SkipWithError("the fan-in did not complete");
    }
  }
  measure.report(kFanIns, "fanin");
}
BENCHMARK(BM_FanInOfCompletedTasks)->Unit(benchmark::kMillisecond);

// Ten pending tasks, completed after the combinator is attached (the counts include making the
// ten sources).
void BM_FanInOfPendingTasks(benchmark::State& state) {
  PerUnit measure(state);
  std::vector<TaskCompletionSource<int>> sources(kFanInWidth);
  std::vector<Task<>> inputs(kFanInWidth);
  for (auto _ : state) {
    for (int n = 0; n < kFanIns; ++n) {
      for (int i = 0; i < kFanInWidth; ++i) {
        sources[i] = TaskCompletionSource<int>();
        inputs[i] = sources[i].task();
      }
      Task<> all = Task<>::taskForCompletionOfAllTasks(inputs);
      for (int i = 0; i < kFanInWidth; ++i) sources[i].setResult(i);
      if (!all.isCompleted()) state.SkipWithError("the fan-in did not complete");
    }
  }
  measure.report(kFanIns, "fanin");
}
BENCHMARK(BM_FanInOfPendingTasks)->Unit(benchmark::kMillisecond);

// The same with results: the combinator followed by the success step that lists the values.
void BM_FanInWithResultsOfPendingTasks(benchmark::State& state) {
  PerUnit measure(state);
  std::vector<TaskCompletionSource<int>> sources(kFanInWidth);
  std::vector<Task<int>> inputs(kFanInWidth);
  for (auto _ : state) {
    for (int n = 0; n < kFanIns; ++n) {
      for (int i = 0; i < kFanInWidth; ++i) {
        sources[i] = TaskCompletionSource<int>();
        inputs[i] = sources[i].task();
      }
      auto all = Task<>::taskForCompletionOfAllTasksWithResults(inputs);
      for (int i = 0; i < kFanInWidth; ++i) sources[i].setResult(i);
      if (all.result().size() != kFanInWidth) state.SkipWithError("the fan-in lost a result");
    }
  }
  measure.report(kFanIns, "fanin");
}
BENCHMARK(BM_FanInWithResultsOfPendingTasks)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
