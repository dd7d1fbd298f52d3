// A query answered from the result cache beside the same query over loopback HTTP, through the
// query controller either way (command, cache key, reply decoding, objects). The backend is
// keel-server's request handler in this process, on an in-memory store, so both sides pay the
// same decoding and only the source of the reply text differs: a memory-cache hit, or a request
// the server answers from SQLite. Arguments: objects the query returns (1 and 100; each object
// has six fields).
#include <benchmark/benchmark.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include <keel/base/Value.h>
#include <keel/network/URLSessionCommandRunner.h>
#include <keel/objects/KeyValueCache.h>
#include <keel/objects/Query.h>
#include <keel/objects/QueryController.h>

#include "server/Api.h"
#include "server/Faults.h"
#include "server/HttpServer.h"
#include "server/Store.h"

namespace {

class NoRequestData : public keel::CommandRequestDataSource {
 public:
  std::string installationIdentifier() override { return "bench-query"; }
};

class Source : public keel::QueryControllerDataSource {
 public:
  std::shared_ptr<keel::CommandRunning> commandRunner() override { return runner; }
  std::shared_ptr<keel::KeyValueCache> keyValueCache() override { return cache; }
  std::shared_ptr<keel::URLSessionCommandRunner> runner;
  std::shared_ptr<keel::KeyValueCache> cache;
};

struct Backend {
  Backend() {
    server.start();
    source->runner = keel::URLSessionCommandRunner::commandRunnerWithDataSource(requestData, "bench-app",
                                                                                "bench-key", server.baseURL());
    char pattern[] = "/tmp/keel-bench-query-XXXXXX";
    directory = mkdtemp(pattern);
    source->cache = std::make_shared<keel::KeyValueCache>(directory + "/cache");
    controller = keel::CachedQueryController::controllerWithCommonDataSource(source);
    for (int count : {1, 100}) seed(count);
  }
  ~Backend() {
    source->cache->removeAllObjects();
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }

  static std::string className(int count) { return "Video" + std::to_string(count); }

  void seed(int count) {
    for (int i = 0; i < count; ++i) {
      keel::Dictionary fields;
      fields.set("Name", keel::Value("Exercise " + std::to_string(i)));
      fields.set("Type", keel::Value(i % 2 ? "Relax" : "Focus"));
      fields.set("Mins", keel::Value(static_cast<std::int64_t>(5 + i % 20)));
      fields.set("Description", keel::Value(std::string(120, 'd')));
      fields.set("VideoURL", keel::Value("http://127.0.0.1/media/" + std::to_string(i) + ".mp4"));
      fields.set("Order", keel::Value(static_cast<std::int64_t>(i)));
      auto command = keel::RESTCommand::commandWithHTTPPath("classes/" + className(count), "POST", fields,
                                                            std::nullopt);
      source->runner->runCommandAsync(command, 0).waitForResult(nullptr, false);
    }
  }

  keel::server::Store store{":memory:", 2};
  keel::server::Faults faults;
  keel::server::Api api{store, keel::server::ApiConfig{"bench-app", "bench-key", "", "", false}, faults};
  keel::server::HttpServer server{[] {
                                    keel::server::HttpServerOptions options;
                                    options.accessLog = false;
                                    return options;
                                  }(),
                                  [this](const keel::server::ApiRequest& r) { return api.handle(r); }, nullptr};
  std::shared_ptr<NoRequestData> requestData = std::make_shared<NoRequestData>();
  std::shared_ptr<Source> source = std::make_shared<Source>();
  std::string directory;
  std::shared_ptr<keel::QueryController> controller;
};

// Returns the CPU time the whole process (client, server and every thread) has used, in
// microseconds: on a shared machine it varies far less than wall time, and it counts the
// server's share of a loopback find.
double processCpuMicros() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

Backend& backend() {
  static Backend b;
  return b;
}

keel::QueryStatePtr stateFor(int count, keel::CachePolicy policy) {
  auto query = keel::Query::queryWithClassName(Backend::className(count));
  query->orderByAscending("Order").setCachePolicy(policy);
  return query->state();
}

void run(benchmark::State& state, keel::CachePolicy policy) {
  auto& b = backend();
  const int count = static_cast<int>(state.range(0));
  auto query = stateFor(count, policy);
  if (policy == keel::CachePolicy::CacheOnly) {
    b.controller->findObjectsAsync(stateFor(count, keel::CachePolicy::NetworkOnly), nullptr, std::nullopt)
        .waitForResult(nullptr, false);
    b.source->cache->waitForOutstandingOperations();
  }
  const double cpuStart = processCpuMicros();
  for (auto _ : state) {
    keel::ErrorPtr error;
    auto objects = b.controller->findObjectsAsync(query, nullptr, std::nullopt).waitForResult(&error, false);
    if (error || static_cast<int>(objects.size()) != count) {
      state.SkipWithError("the find did not return every object");
      break;
    }
    benchmark::DoNotOptimize(objects);
  }
  state.counters["process_cpu_us"] =
      benchmark::Counter((processCpuMicros() - cpuStart) / static_cast<double>(state.iterations()));
  state.SetItemsProcessed(state.iterations() * count);
}

void BM_FindFromCacheHit(benchmark::State& state) { run(state, keel::CachePolicy::CacheOnly); }
void BM_FindOverLoopback(benchmark::State& state) { run(state, keel::CachePolicy::IgnoreCache); }

BENCHMARK(BM_FindFromCacheHit)->Arg(1)->Arg(100)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FindOverLoopback)->Arg(1)->Arg(100)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
