// The command runner against a loopback server: 10,000 small find commands with 8 and 64 in
// flight, as commands per second and p50/p99 latency, beside a bare libcurl multi loop sending the
// same requests (same headers and body) from one thread in the same binary; and the latency of
// small commands while large replies (10,000 objects, about 1 MB each) are being decoded beside
// them. Uses the runner's public interface only, so that the same file (with the runner made the
// way the older build makes it) measures older builds.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <keel/tasks/Executor.h>
#include <keel/base/Logger.h>
#include <keel/network/URLSessionCommandRunner.h>
#include "support/ScriptedHttpServer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCommands = 10'000;
constexpr const char* kReply = R"({"results":[{"objectId":"v1","Mins":5,"Type":"Relax"}]})";
constexpr int kLargeReplyObjects = 10'000;

// {"results":[...]} with kLargeReplyObjects catalogue objects, about 1 MB.
const std::string& largeReply() {
  static const std::string reply = [] {
    std::string r = R"({"results":[)";
    for (int i = 0; i < kLargeReplyObjects; ++i) {
      if (i) r += ',';
      r += R"({"objectId":"obj)" + std::to_string(100000 + i) + R"(","Mins":)" + std::to_string(5 * (1 + i % 12)) +
           R"(,"Type":")" + (i % 2 ? "Relax" : "Energize") + R"(","Title":"Exercise number )" + std::to_string(i) +
           R"(","MP4Link":"https://media.stillnook.app/videos/)" + std::to_string(i) +
           R"(.mp4","createdAt":"2024-03-01T10:00:00.000Z"})";
    }
    return r + "]}";
  }();
  return reply;
}

// Answers "classes/Large" with the large reply and everything else with the small one.
keel::testing::ScriptedHttpServer& server() {
  static keel::testing::ScriptedHttpServer s(keel::testing::ScriptedHttpServer::Mode::Http, false);
  static bool once = [] {
    const std::string& large = largeReply();
    s.setHandler([&large](const keel::testing::ReceivedRequest& request) {
      return keel::testing::ScriptedResponse::json(200, request.target == "/1/classes/Large" ? large : kReply);
    });
    return true;
  }();
  (void)once;
  return s;
}

class BenchDataSource : public keel::CommandRequestDataSource {
 public:
  std::string installationIdentifier() override { return "0f8fad5b-d9cb-469f-a165-70867728950e"; }
};

// Returns the CPU time the whole process (server, client and every thread) has used, in
// microseconds. Per command it is a fairer figure than wall time on a machine shared with other
// work, and it counts the same server work for the runner and for the bare loop.
double processCPUMicros() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto micros = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec); };
  return micros(usage.ru_utime) + micros(usage.ru_stime);
}

void report(benchmark::State& state, std::vector<double>& latenciesMicros, double seconds, double cpuMicros) {
  std::sort(latenciesMicros.begin(), latenciesMicros.end());
  state.counters["commands_per_s"] = kCommands / seconds;
  state.counters["cpu_us_per_cmd"] = cpuMicros / kCommands;
  state.counters["p50_us"] = latenciesMicros[latenciesMicros.size() / 2];
  state.counters["p99_us"] = latenciesMicros[latenciesMicros.size() * 99 / 100];
}

// Sends `count` small find commands through `runner`, `inFlight` at a time (each one that
// finishes starts the next), and waits for all of them. Returns their latencies in microseconds.
std::vector<double> runSmallFinds(benchmark::State& state, keel::URLSessionCommandRunner& runner, int count,
                                  int inFlight) {
  std::vector<double> latencies(count);
  std::atomic<int> started{0};
  std::mutex m;
  std::condition_variable cv;
  int finished = 0;
  std::function<void()> startOne = [&] {
    int i = started.fetch_add(1);
    if (i >= count) return;
    auto command = keel::RESTCommand::commandWithHTTPPath(
        "classes/Video", "GET", keel::Dictionary{{"where", keel::Value(keel::Dictionary{{"Mins", keel::Value(5)}})}},
        std::nullopt);
    auto t0 = Clock::now();
    runner.runCommandAsync(command, keel::kCommandRunningOptionRetryIfFailed)
        .continueWithExecutor(keel::Executor::immediateExecutor(), [&, i, t0](const auto& task) {
          if (task.isFaulted()) state.SkipWithError("a command failed");
          latencies[i] = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
          startOne();
          std::lock_guard lock(m);
          if (++finished == count) cv.notify_all();
        });
  };
  for (int k = 0; k < inFlight; ++k) startOne();
  std::unique_lock lock(m);
  cv.wait(lock, [&] { return finished == count; });
  return latencies;
}

void BM_Runner(benchmark::State& state) {
  const int inFlight = static_cast<int>(state.range(0));
  keel::Logger::sharedLogger().setLogLevel(1);
  auto source = std::make_shared<BenchDataSource>();
  auto runner =
      keel::URLSessionCommandRunner::commandRunnerWithDataSource(source, "bench-app", "bench-key", server().baseURL());
  for (auto _ : state) {
    auto begin = Clock::now();
    const double cpuBefore = processCPUMicros();
    std::vector<double> latencies = runSmallFinds(state, *runner, kCommands, inFlight);
    double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const double cpu = processCPUMicros() - cpuBefore;
    state.SetIterationTime(seconds);
    report(state, latencies, seconds, cpu);
  }
}

// Small find commands, 8 in flight, while `range(0)` large finds are kept in flight beside them
// (each one started again as soon as its reply is decoded). Reports the small commands' latency
// and how many large replies were decoded per second meanwhile.
void BM_SmallCommandsBesideLargeReplies(benchmark::State& state) {
  constexpr int kSmall = 500;
  constexpr int kSmallInFlight = 8;
  const int largeInFlight = static_cast<int>(state.range(0));
  keel::Logger::sharedLogger().setLogLevel(1);
  auto source = std::make_shared<BenchDataSource>();
  auto runner =
      keel::URLSessionCommandRunner::commandRunnerWithDataSource(source, "bench-app", "bench-key", server().baseURL());
  for (auto _ : state) {
    std::atomic<bool> smallDone{false};
    std::atomic<int> largeDecoded{0};
    std::mutex m;
    std::condition_variable cv;
    int largeRunning = largeInFlight;

    std::function<void()> startLarge = [&] {
      auto command = keel::RESTCommand::commandWithHTTPPath("classes/Large", "GET", keel::Dictionary{}, std::nullopt);
      runner->runCommandAsync(command, keel::kCommandRunningOptionRetryIfFailed)
          .continueWithExecutor(keel::Executor::defaultExecutor(), [&](const auto& task) {
            if (task.isFaulted()) state.SkipWithError("a large command failed");
            // What a caller does next with the objects: touch each of them.
            std::size_t fields = 0;
            if (!task.isFaulted())
              for (const auto& object : task.result()->result().get("results").arrayValue())
                fields += object.dictionaryValue().size();
            benchmark::DoNotOptimize(fields);
            largeDecoded.fetch_add(1);
            if (!smallDone.load()) {
              startLarge();
              return;
            }
            std::lock_guard lock(m);
            if (--largeRunning == 0) cv.notify_all();
          });
    };
    for (int k = 0; k < largeInFlight; ++k) startLarge();
    // Let the large replies get going before measuring beside them.
    while (largeInFlight > 0 && largeDecoded.load() < largeInFlight) std::this_thread::yield();
    const int largeBefore = largeDecoded.load();
    auto begin = Clock::now();
    std::vector<double> latencies = runSmallFinds(state, *runner, kSmall, kSmallInFlight);
    double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const int largeDuring = largeDecoded.load() - largeBefore;
    smallDone.store(true);
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return largeRunning == 0; });
    state.SetIterationTime(seconds);

    std::sort(latencies.begin(), latencies.end());
    state.counters["small_per_s"] = kSmall / seconds;
    state.counters["small_p50_us"] = latencies[latencies.size() / 2];
    state.counters["small_p99_us"] = latencies[latencies.size() * 99 / 100];
    state.counters["small_max_us"] = latencies.back();
    state.counters["large_per_s"] = largeDuring / seconds;
  }
}

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

void BM_BareCurlMulti(benchmark::State& state) {
  const int inFlight = static_cast<int>(state.range(0));
  const std::string url = server().baseURL() + "/1/classes/Video";
  const std::string body = R"({"where":{"Mins":5},"_method":"GET"})";
  curl_slist* headers = nullptr;
  for (const char* h : {"X-Keel-Application-Id: bench-app", "X-Keel-Client-Key: bench-key",
                        "X-Keel-Client-Version: i1.9.1", "X-Keel-OS-Version: bench",
                        "X-Keel-Installation-Id: 0f8fad5b-d9cb-469f-a165-70867728950e",
                        "Content-Type: application/json; charset=utf-8", "Expect:"})
    headers = curl_slist_append(headers, h);
  for (auto _ : state) {
    CURLM* multi = curl_multi_init();
    std::vector<CURL*> handles(inFlight);
    std::vector<Clock::time_point> startedAt(inFlight);
    std::vector<double> latencies;
    latencies.reserve(kCommands);
    int started = 0;
    auto launch = [&](int slot) {
      CURL* e = handles[slot];
      curl_easy_setopt(e, CURLOPT_URL, url.c_str());
      curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);
      curl_easy_setopt(e, CURLOPT_POSTFIELDS, body.c_str());
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
      curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &discard);
      curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
      curl_easy_setopt(e, CURLOPT_PRIVATE, reinterpret_cast<char*>(static_cast<intptr_t>(slot)));
      startedAt[slot] = Clock::now();
      curl_multi_add_handle(multi, e);
      ++started;
    };
    auto begin = Clock::now();
    const double cpuBefore = processCPUMicros();
    for (int s = 0; s < inFlight; ++s) {
      handles[s] = curl_easy_init();
      launch(s);
    }
    while (static_cast<int>(latencies.size()) < kCommands) {
      int running = 0;
      curl_multi_perform(multi, &running);
      int queued = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
        if (msg->msg != CURLMSG_DONE) continue;
        char* p = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &p);
        int slot = static_cast<int>(reinterpret_cast<intptr_t>(p));
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - startedAt[slot]).count());
        curl_multi_remove_handle(multi, msg->easy_handle);
        if (started < kCommands) launch(slot);
      }
      curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const double cpu = processCPUMicros() - cpuBefore;
    state.SetIterationTime(seconds);
    for (CURL* e : handles) curl_easy_cleanup(e);
    curl_multi_cleanup(multi);
    report(state, latencies, seconds, cpu);
  }
  curl_slist_free_all(headers);
}

BENCHMARK(BM_Runner)->Arg(8)->Arg(64)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareCurlMulti)->Arg(8)->Arg(64)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallCommandsBesideLargeReplies)
    ->ArgName("large_in_flight")
    ->Arg(0)
    ->Arg(2)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
