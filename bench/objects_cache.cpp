// What a cached query pays for its result: a hit from memory (the common case, a small reply),
// a hit from the file (a large reply, or the first read in a process), a miss, and the write
// that stores a reply. Arguments are the value's size in bytes.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

#include <keel/objects/KeyValueCache.h>

namespace {

using keel::KeyValueCache;

constexpr const char* kKey = "RESTCommand.1.POST.0cc175b9c0f1b6a831c399e269772661.2.d41d8cd98f00b204e9800998ecf8427e";

std::string makeRoot() {
  char pattern[] = "/tmp/keel-bench-cache-XXXXXX";
  return mkdtemp(pattern);
}

std::string reply(std::int64_t size) { return std::string(static_cast<std::size_t>(size), 'r'); }

void MemoryHit(benchmark::State& state) {
  const std::string root = makeRoot();
  {
    KeyValueCache cache(root + "/cache");
    cache.setObject(reply(state.range(0)), kKey);
    cache.waitForOutstandingOperations();
    for (auto _ : state) benchmark::DoNotOptimize(cache.objectForKey(kKey, KeyValueCache::kNoMaxAge));
    state.SetItemsProcessed(state.iterations());
  }
  std::filesystem::remove_all(root);
}
BENCHMARK(MemoryHit)->Arg(1 << 10)->Arg(64 << 10)->UseRealTime();

void DiskHit(benchmark::State& state) {
  const std::string root = makeRoot();
  {
    KeyValueCache cache(root + "/cache");
    cache.setMaxMemoryCacheBytesPerRecord(0);  // every read goes to the file
    cache.setObject(reply(state.range(0)), kKey);
    cache.waitForOutstandingOperations();
    for (auto _ : state) benchmark::DoNotOptimize(cache.objectForKey(kKey, KeyValueCache::kNoMaxAge));
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
  }
  std::filesystem::remove_all(root);
}
BENCHMARK(DiskHit)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A miss looks in memory, then for the file.
void Miss(benchmark::State& state) {
  const std::string root = makeRoot();
  {
    KeyValueCache cache(root + "/cache");
    cache.setObject("other", "other key");
    cache.waitForOutstandingOperations();
    for (auto _ : state) benchmark::DoNotOptimize(cache.objectForKey(kKey, KeyValueCache::kNoMaxAge));
    state.SetItemsProcessed(state.iterations());
  }
  std::filesystem::remove_all(root);
}
BENCHMARK(Miss)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Storing a reply, until its file is in place (the caller itself only waits for the memory
// level; the file is written in the background).
void Write(benchmark::State& state) {
  const std::string root = makeRoot();
  {
    KeyValueCache cache(root + "/cache");
    const std::string value = reply(state.range(0));
    for (auto _ : state) {
      cache.setObject(value, kKey);
      cache.waitForOutstandingOperations();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
  }
  std::filesystem::remove_all(root);
}
BENCHMARK(Write)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Writes of distinct keys into a full cache: each evicts the least recently used file.
void WriteEvicting(benchmark::State& state) {
  const std::string root = makeRoot();
  {
    KeyValueCache cache(root + "/cache");
    const std::string value = reply(1 << 10);
    for (int i = 0; i < 1000; ++i) cache.setObject(value, "fill " + std::to_string(i));
    cache.waitForOutstandingOperations();
    std::int64_t n = 0;
    for (auto _ : state) {
      cache.setObject(value, "key " + std::to_string(n++));
      cache.waitForOutstandingOperations();
    }
    state.SetItemsProcessed(state.iterations());
  }
  std::filesystem::remove_all(root);
}
BENCHMARK(WriteEvicting)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
