// The dispatch layer against the pool it runs on: async hops per second on a serial queue beside
// a bare asio::post (and an asio strand) on the same thread pool; sync round trips; barrier
// writes on a concurrent queue, alone and mixed with reads.
//
// A "chain" posts each item from the one before it (one item in flight: the cost of a hop);
// a "burst" posts every item from the benchmark thread and waits for the last (queue
// throughput, with the poster and the runners contending).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include <keel/platform/Dispatch.h>
#include <keel/platform/internal/DispatchPool.h>

namespace {

namespace asio = boost::asio;
using platform::DispatchQueue;
using platform::DispatchQueuePtr;
using platform::Semaphore;

constexpr int kHops = 100'000;

void reportPerItem(benchmark::State& state, std::int64_t itemsPerIteration) {
  state.SetItemsProcessed(state.iterations() * itemsPerIteration);
  // Seconds per item, shown with an SI prefix (n = nanoseconds).
  state.counters["per_item"] = benchmark::Counter(
      static_cast<double>(itemsPerIteration),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// ---- Chains: each item posts the next.

// Only one item of a chain is ever in flight, and each is posted by the one before it, so the
// countdown needs no atomics: the queue (or asio's post) orders every step after the last.
struct Chain {
  int remaining = 0;
  Semaphore done;
};

void serialHop(DispatchQueue* queue, Chain* chain) {
  if (--chain->remaining == 0) {
    chain->done.signal();
    return;
  }
  queue->async([queue, chain] { serialHop(queue, chain); });
}

void BM_SerialQueueChain(benchmark::State& state) {
  auto queue = DispatchQueue::createSerial("bench.serial.chain");
  Chain chain;
  for (auto _ : state) {
    chain.remaining = kHops;
    queue->async([q = queue.get(), c = &chain] { serialHop(q, c); });
    chain.done.wait();
  }
  reportPerItem(state, kHops);
}
BENCHMARK(BM_SerialQueueChain)->Unit(benchmark::kMillisecond)->UseRealTime();

template <typename Executor>
void asioHop(const Executor& executor, Chain* chain) {
  if (--chain->remaining == 0) {
    chain->done.signal();
    return;
  }
  asio::post(executor, [executor, chain] { asioHop(executor, chain); });
}

void BM_AsioPostChain(benchmark::State& state) {
  auto executor = platform::internal::sharedPool().get_executor();
  Chain chain;
  for (auto _ : state) {
    chain.remaining = kHops;
    asio::post(executor, [executor, c = &chain] { asioHop(executor, c); });
    chain.done.wait();
  }
  reportPerItem(state, kHops);
}
BENCHMARK(BM_AsioPostChain)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AsioStrandChain(benchmark::State& state) {
  auto strand = asio::make_strand(platform::internal::sharedPool().get_executor());
  Chain chain;
  for (auto _ : state) {
    chain.remaining = kHops;
    asio::post(strand, [strand, c = &chain] { asioHop(strand, c); });
    chain.done.wait();
  }
  reportPerItem(state, kHops);
}
BENCHMARK(BM_AsioStrandChain)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- Bursts: the benchmark thread posts every item.

void BM_SerialQueueBurst(benchmark::State& state) {
  auto queue = DispatchQueue::createSerial("bench.serial.burst");
  Chain chain;
  for (auto _ : state) {
    chain.remaining = kHops;
    for (int i = 0; i < kHops; ++i) {
      queue->async([c = &chain] {
        if (--c->remaining == 0) c->done.signal();
      });
    }
    chain.done.wait();
  }
  reportPerItem(state, kHops);
}
BENCHMARK(BM_SerialQueueBurst)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AsioStrandBurst(benchmark::State& state) {
  auto strand = asio::make_strand(platform::internal::sharedPool().get_executor());
  Chain chain;
  for (auto _ : state) {
    chain.remaining = kHops;
    for (int i = 0; i < kHops; ++i) {
      asio::post(strand, [c = &chain] {
        if (--c->remaining == 0) c->done.signal();
      });
    }
    chain.done.wait();
  }
  reportPerItem(state, kHops);
}
BENCHMARK(BM_AsioStrandBurst)->Unit(benchmark::kMillisecond)->UseRealTime();

// Items of a bare post run side by side, so their countdown is atomic.
struct SharedCountdown {
  std::atomic<int> remaining{0};
  Semaphore done;
};

void BM_AsioPostBurst(benchmark::State& state) {
  auto executor = platform::internal::sharedPool().get_executor();
  SharedCountdown countdown;
  for (auto _ : state) {
    countdown.remaining = kHops;
    for (int i = 0; i < kHops; ++i) {
      asio::post(executor, [c = &countdown] {
        if (c->remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) c->done.signal();
      });
    }
    countdown.done.wait();
  }
  reportPerItem(state, kHops);
}
BENCHMARK(BM_AsioPostBurst)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GlobalQueueBurst(benchmark::State& state) {
  auto queue = DispatchQueue::global();
  SharedCountdown countdown;
  for (auto _ : state) {
    countdown.remaining = kHops;
    for (int i = 0; i < kHops; ++i) {
      queue->async([c = &countdown] {
        if (c->remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) c->done.signal();
      });
    }
    countdown.done.wait();
  }
  reportPerItem(state, kHops);
}
BENCHMARK(BM_GlobalQueueBurst)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- Sync round trips, from a thread outside the pool.

void BM_SerialSyncOnIdleQueue(benchmark::State& state) {
  auto queue = DispatchQueue::createSerial("bench.serial.sync");
  std::int64_t counter = 0;
  for (auto _ : state) queue->sync([&] { ++counter; });
  benchmark::DoNotOptimize(counter);
  reportPerItem(state, 1);
}
BENCHMARK(BM_SerialSyncOnIdleQueue);

// Each sync waits behind one async item, so the round trip includes handing the queue over
// from the pool thread that drains it to the waiting caller.
void BM_SerialSyncBehindAsyncWork(benchmark::State& state) {
  auto queue = DispatchQueue::createSerial("bench.serial.sync.busy");
  std::int64_t counter = 0;
  for (auto _ : state) {
    queue->async([&] { ++counter; });
    queue->sync([&] { ++counter; });
  }
  benchmark::DoNotOptimize(counter);
  reportPerItem(state, 1);
}
BENCHMARK(BM_SerialSyncBehindAsyncWork)->UseRealTime();

void BM_ConcurrentSyncRead(benchmark::State& state) {
  auto queue = DispatchQueue::createConcurrent("bench.concurrent.read");
  std::int64_t value = 42;
  std::int64_t sum = 0;
  for (auto _ : state) queue->sync([&] { sum += value; });
  benchmark::DoNotOptimize(sum);
  reportPerItem(state, 1);
}
BENCHMARK(BM_ConcurrentSyncRead);

// Readers on several threads at once: the figure is the admission bookkeeping under contention.
void BM_ConcurrentSyncReadFromThreads(benchmark::State& state) {
  static DispatchQueuePtr queue = DispatchQueue::createConcurrent("bench.concurrent.read.mt");
  std::atomic<std::int64_t> value{42};
  std::int64_t sum = 0;
  for (auto _ : state) queue->sync([&] { sum += value.load(std::memory_order_relaxed); });
  benchmark::DoNotOptimize(sum);
  reportPerItem(state, 1);
}
BENCHMARK(BM_ConcurrentSyncReadFromThreads)->Threads(2)->Threads(4)->UseRealTime();

void BM_ConcurrentBarrierSync(benchmark::State& state) {
  auto queue = DispatchQueue::createConcurrent("bench.concurrent.barrier.sync");
  std::int64_t value = 0;
  for (auto _ : state) queue->barrierSync([&] { ++value; });
  benchmark::DoNotOptimize(value);
  reportPerItem(state, 1);
}
BENCHMARK(BM_ConcurrentBarrierSync);

// Barrier writes posted asynchronously: each must wait for the one before it, so they run one
// at a time on the pool.
void BM_ConcurrentBarrierAsyncWrites(benchmark::State& state) {
  auto queue = DispatchQueue::createConcurrent("bench.concurrent.barrier.async");
  constexpr int kWrites = 10'000;
  std::int64_t value = 0;
  for (auto _ : state) {
    for (int i = 0; i < kWrites; ++i) queue->barrierAsync([&] { ++value; });
    queue->barrierSync([] {});
  }
  benchmark::DoNotOptimize(value);
  reportPerItem(state, kWrites);
}
BENCHMARK(BM_ConcurrentBarrierAsyncWrites)->Unit(benchmark::kMillisecond)->UseRealTime();

// The pattern the library uses for shared state: many async reads, a barrier write every
// `range(0)` items.
void BM_ConcurrentReadsWithBarrierWrites(benchmark::State& state) {
  auto queue = DispatchQueue::createConcurrent("bench.concurrent.mixed");
  const int writeEvery = static_cast<int>(state.range(0));
  constexpr int kItems = 10'000;
  std::atomic<std::int64_t> value{0};
  std::atomic<std::int64_t> reads{0};
  for (auto _ : state) {
    for (int i = 0; i < kItems; ++i) {
      if (i % writeEvery == 0) {
        queue->barrierAsync([&] { value.fetch_add(1, std::memory_order_relaxed); });
      } else {
        queue->async([&] { reads.fetch_add(value.load(std::memory_order_relaxed), std::memory_order_relaxed); });
      }
    }
    queue->barrierSync([] {});
  }
  benchmark::DoNotOptimize(reads.load());
  reportPerItem(state, kItems);
}
BENCHMARK(BM_ConcurrentReadsWithBarrierWrites)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
