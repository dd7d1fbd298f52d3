// The command runner against a loopback server: 10,000 small find commands with 8 and 64 in
// flight, as commands per second and p50/p99 latency, beside a bare libcurl multi loop sending the
// same requests (same headers and body) from one thread in the same binary.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <keel/tasks/Executor.h>
#include <keel/base/Logger.h>
#include <keel/network/URLSessionCommandRunner.h>
#include "support/ScriptedHttpServer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCommands = 10'000;
constexpr const char* kReply = R"({"results":[{"objectId":"v1","Mins":5,"Type":"Relax"}]})";

keel::testing::ScriptedHttpServer& server() {
  static keel::testing::ScriptedHttpServer s(keel::testing::ScriptedHttpServer::Mode::Http, false);
  static bool once = [] {
    s.setDefaultResponse(keel::testing::ScriptedResponse::json(200, kReply));
    return true;
  }();
  (void)once;
  return s;
}

class BenchDataSource : public keel::CommandRequestDataSource {
 public:
  std::string installationIdentifier() override { return "0f8fad5b-d9cb-469f-a165-70867728950e"; }
};

void report(benchmark::State& state, std::vector<double>& latenciesMicros, double seconds) {
  std::sort(latenciesMicros.begin(), latenciesMicros.end());
  state.counters["commands_per_s"] = kCommands / seconds;
  state.counters["p50_us"] = latenciesMicros[latenciesMicros.size() / 2];
  state.counters["p99_us"] = latenciesMicros[latenciesMicros.size() * 99 / 100];
}

void BM_Runner(benchmark::State& state) {
  const int inFlight = static_cast<int>(state.range(0));
  keel::Logger::sharedLogger().setLogLevel(1);
  auto source = std::make_shared<BenchDataSource>();
  auto runner =
      keel::URLSessionCommandRunner::commandRunnerWithDataSource(source, "bench-app", "bench-key", server().baseURL());
  for (auto _ : state) {
    std::vector<double> latencies(kCommands);
    std::atomic<int> started{0};
    std::mutex m;
    std::condition_variable cv;
    int finished = 0;
    std::function<void()> startOne = [&] {
      int i = started.fetch_add(1);
      if (i >= kCommands) return;
      auto command = keel::RESTCommand::commandWithHTTPPath(
          "classes/Video", "GET", keel::Dictionary{{"where", keel::Value(keel::Dictionary{{"Mins", keel::Value(5)}})}},
          std::nullopt);
      auto t0 = Clock::now();
      runner->runCommandAsync(command, keel::kCommandRunningOptionRetryIfFailed)
          .continueWithExecutor(keel::Executor::immediateExecutor(), [&, i, t0](const auto& task) {
            if (task.isFaulted()) state.SkipWithError("a command failed");
            latencies[i] = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
            startOne();
            std::lock_guard lock(m);
            if (++finished == kCommands) cv.notify_all();
          });
    };
    auto begin = Clock::now();
    for (int k = 0; k < inFlight; ++k) startOne();
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return finished == kCommands; });
    double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    state.SetIterationTime(seconds);
    report(state, latencies, seconds);
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
    state.SetIterationTime(seconds);
    for (CURL* e : handles) curl_easy_cleanup(e);
    curl_multi_cleanup(multi);
    report(state, latencies, seconds);
  }
  curl_slist_free_all(headers);
}

BENCHMARK(BM_Runner)->Arg(8)->Arg(64)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareCurlMulti)->Arg(8)->Arg(64)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
