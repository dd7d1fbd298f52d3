// A paged sync against the keel-server program over loopback HTTP/1.1 keep-alive: every object
// of a 10,000-object class in pages of 1,000 ordered by createdAt then objectId, each page
// asking for the objects after the last (createdAt, objectId) pair seen, until a page comes
// back empty (11 requests). Also the first page alone, and a skip-based page deep in the class.
//
// KEEL_SERVER_BINARY names another keel-server program to measure (e.g. an older build);
// by default it is the one built beside this benchmark.
#include <benchmark/benchmark.h>

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <boost/json.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace json = boost::json;

constexpr int kObjects = 10000;
constexpr int kPage = 1000;

std::filesystem::path serverBinary() {
  if (const char* chosen = std::getenv("KEEL_SERVER_BINARY"); chosen && *chosen) return chosen;
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "keel-server";
}

class Server {
 public:
  Server() {
    dir_ = std::filesystem::temp_directory_path() / ("keel-bench-paging-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    {
      // Objects shaped like the catalogue's videos; ids and times come from the server.
      std::ofstream seed(dir_ / "seed.json");
      seed << "{\"Video\": [";
      for (int i = 0; i < kObjects; ++i)
        seed << (i ? "," : "") << "{\"title\":\"Exercise " << i << "\",\"duration\":" << 60 + i % 600
             << ",\"category\":\"c" << i % 12 << "\",\"thumbnail\":\"https://example.invalid/t/" << i
             << ".png\",\"tags\":[\"calm\",\"t" << i % 7 << "\"]}";
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
  }
  ~Server() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    std::filesystem::remove_all(dir_);
  }
  unsigned short port() const { return port_; }

 private:
  std::filesystem::path dir_;
  pid_t pid_ = -1;
  unsigned short port_ = 0;
};

Server& server() {
  static Server s;
  return s;
}

class Client {
 public:
  explicit Client(unsigned short port) : stream_(ioc_) {
    stream_.connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  }
  json::array find(json::object params) {
    params["_method"] = "GET";
    http::request<http::string_body> req{http::verb::post, "/1/classes/Video", 11};
    req.set(http::field::host, "127.0.0.1");
    req.set("X-Keel-Application-Id", "bench");
    req.set("X-Keel-Client-Key", "bench");
    req.set(http::field::content_type, "application/json; charset=utf-8");
    req.body() = json::serialize(params);
    req.prepare_payload();
    http::write(stream_, req);
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 * 1024 * 1024);
    http::read(stream_, buffer_, parser);
    if (parser.get().result_int() != 200) throw std::runtime_error("find failed: " + parser.get().body());
    return json::parse(parser.get().body()).as_object().at("results").as_array();
  }

 private:
  boost::asio::io_context ioc_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
};

json::object afterPair(const json::object& last) {
  const json::object date{{"__type", "Date"}, {"iso", last.at("createdAt")}};
  return json::object{{"$or", json::array{json::object{{"createdAt", json::object{{"$gt", date}}}},
                                          json::object{{"createdAt", date},
                                                       {"objectId", json::object{{"$gt", last.at("objectId")}}}}}}};
}

void BM_PagedSyncOfTenThousand(benchmark::State& state) {
  Client client(server().port());
  std::int64_t objects = 0, requests = 0;
  for (auto _ : state) {
    json::object where;
    for (;;) {
      auto page = client.find({{"where", where}, {"order", "createdAt,objectId"}, {"limit", std::to_string(kPage)}});
      ++requests;
      if (page.empty()) break;
      objects += static_cast<std::int64_t>(page.size());
      where = afterPair(page.back().as_object());
    }
  }
  if (objects != static_cast<std::int64_t>(state.iterations()) * kObjects) state.SkipWithError("the sync missed objects");
  state.counters["requests"] = static_cast<double>(requests) / static_cast<double>(state.iterations());
}

void BM_FirstOrderedPage(benchmark::State& state) {
  Client client(server().port());
  for (auto _ : state)
    benchmark::DoNotOptimize(client.find({{"order", "createdAt,objectId"}, {"limit", std::to_string(kPage)}}));
}

void BM_SkipPageDeepInTheClass(benchmark::State& state) {
  Client client(server().port());
  for (auto _ : state)
    benchmark::DoNotOptimize(
        client.find({{"order", "-createdAt"}, {"limit", std::to_string(kPage)}, {"skip", std::to_string(8000)}}));
}

BENCHMARK(BM_PagedSyncOfTenThousand)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FirstOrderedPage)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SkipPageDeepInTheClass)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
