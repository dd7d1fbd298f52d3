// Requests per second against the keel-server program over loopback HTTP/1.1 keep-alive:
// a find of 100 objects by an equality constraint out of 100,000, and the create of single
// objects, each at 8 and 64 connections (one client thread per connection), and both at once
// (half the connections find while the other half create). The server's resident memory at
// rest (after loading the 100,000 objects) and its peak under load are reported as counters.
// Every run sends a fixed number of requests to 127.0.0.1 only.
//
// KEEL_SERVER_BINARY names another keel-server program to measure (e.g. an older build);
// by default it is the one built beside this benchmark.
#include <benchmark/benchmark.h>

#include <boost/asio.hpp>
#include <boost/beast.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace beast = boost::beast;
namespace http = boost::beast::http;

constexpr int kObjects = 100000;
constexpr int kGroups = 1000;  // 100 objects share each "group" value

std::filesystem::path serverBinary() {
  if (const char* chosen = std::getenv("KEEL_SERVER_BINARY"); chosen && *chosen) return chosen;
  // The benchmark lives in <build>/bench/, the server in <build>/.
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "keel-server";
}

long statusKb(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field) + 1));
  return -1;
}

class Server {
 public:
  Server() {
    dir_ = std::filesystem::temp_directory_path() / ("keel-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    {
      std::ofstream seed(dir_ / "seed.json");
      seed << "{\"Bench\": [";
      for (int i = 0; i < kObjects; ++i)
        seed << (i ? "," : "") << "{\"group\":" << i % kGroups << ",\"name\":\"object " << i << "\"}";
      seed << "]}";
    }
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      const std::string bin = serverBinary().string();
      const std::string data = (dir_ / "bench.sqlite").string();
      const std::string seedPath = (dir_ / "seed.json").string();
      execl(bin.c_str(), bin.c_str(), "--port", "0", "--quiet", "--app-id", "bench", "--client-key", "bench",
            "--data", data.c_str(), "--seed", seedPath.c_str(), nullptr);
      _exit(127);
    }
    close(out[1]);
    FILE* f = fdopen(out[0], "r");
    char line[32] = {};
    if (!std::fgets(line, sizeof line, f)) throw std::runtime_error("keel-server did not start: " + serverBinary().string());
    port_ = static_cast<unsigned short>(std::stoi(line));
    restKb_ = statusKb(pid_, "VmRSS:");
  }
  ~Server() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    std::filesystem::remove_all(dir_);
  }
  unsigned short port() const { return port_; }
  long restKb() const { return restKb_; }
  long peakKb() const { return statusKb(pid_, "VmHWM:"); }
  long nowKb() const { return statusKb(pid_, "VmRSS:"); }

 private:
  std::filesystem::path dir_;
  pid_t pid_ = -1;
  unsigned short port_ = 0;
  long restKb_ = 0;
};

Server& server() {
  static Server s;
  return s;
}

// Sends `count` requests over one kept-alive connection; returns how many answered 2xx.
int load(unsigned short port, int count, int seed, bool create) {
  boost::asio::io_context ioc;
  beast::tcp_stream stream(ioc);
  stream.connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  beast::flat_buffer buffer;
  int ok = 0;
  for (int i = 0; i < count; ++i) {
    http::request<http::string_body> req{http::verb::post, "/1/classes/Bench", 11};
    req.set(http::field::host, "127.0.0.1");
    req.set("X-Keel-Application-Id", "bench");
    req.set("X-Keel-Client-Key", "bench");
    req.set(http::field::content_type, "application/json; charset=utf-8");
    req.body() = create ? "{\"group\":-1,\"name\":\"new\",\"n\":" + std::to_string(i) + "}"
                        : "{\"_method\":\"GET\",\"where\":{\"group\":" + std::to_string((seed * 7919 + i) % kGroups) + "}}";
    req.prepare_payload();
    http::write(stream, req);
    http::response<http::string_body> res;
    http::read(stream, buffer, res);
    if (res.result_int() < 300) ++ok;
  }
  return ok;
}

enum class Mix { Find, Create, Both };

void run(benchmark::State& state, Mix mix) {
  const int connections = static_cast<int>(state.range(0));
  const int perConnection = mix == Mix::Create ? 8000 / connections : 4000 / connections;
  auto& s = server();
  std::int64_t total = 0, good = 0;
  for (auto _ : state) {
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; ++c) {
      const bool create = mix == Mix::Create || (mix == Mix::Both && c % 2 == 1);
      threads.emplace_back([&, c, create] { ok += load(s.port(), perConnection, c, create); });
    }
    for (auto& t : threads) t.join();
    total += static_cast<std::int64_t>(connections) * perConnection;
    good += ok;
  }
  state.counters["requests/s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
  state.counters["failed"] = static_cast<double>(total - good);
  state.counters["server_rest_MB"] = s.restKb() / 1024.0;
  state.counters["server_peak_MB"] = s.peakKb() / 1024.0;
  state.counters["server_now_MB"] = s.nowKb() / 1024.0;
}

void BM_FindHundredByEquality(benchmark::State& state) { run(state, Mix::Find); }
void BM_CreateOne(benchmark::State& state) { run(state, Mix::Create); }
void BM_FindWhileCreating(benchmark::State& state) { run(state, Mix::Both); }

BENCHMARK(BM_FindHundredByEquality)->Arg(8)->Arg(64)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CreateOne)->Arg(8)->Arg(64)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindWhileCreating)->Arg(8)->Arg(64)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
