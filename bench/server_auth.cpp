// Users and access lists of the keel-server program over loopback HTTP/1.1 keep-alive, at 8
// connections (one client thread each):
// - log-ins per second at the server's default password-hashing cost (Argon2id, 2 passes,
//   64 MiB; KEEL_BENCH_HASH="OPS,KIB" picks another) and "users/me" per second;
// - a find (the first 100) and a count over 100,000 objects of which 10% are readable by the
//   signed-in user, beside the same with the master key (which reads past every list).
//
// KEEL_SERVER_BINARY names another keel-server program to measure; by default it is the one
// built beside this benchmark.
#include <benchmark/benchmark.h>

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <boost/json.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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
namespace json = boost::json;

constexpr int kObjects = 100000;
constexpr int kConnections = 8;
constexpr const char* kMaster = "bench-master";

std::filesystem::path serverBinary() {
  if (const char* chosen = std::getenv("KEEL_SERVER_BINARY"); chosen && *chosen) return chosen;
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "keel-server";
}

struct Reply {
  int status = 0;
  std::string body;
};

// One kept-alive connection.
class Connection {
 public:
  explicit Connection(unsigned short port) : stream_(ioc_) {
    stream_.connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  }
  Reply send(const std::string& target, const std::string& body, const std::string& token = {}, bool master = false) {
    http::request<http::string_body> req{http::verb::post, target, 11};
    req.set(http::field::host, "127.0.0.1");
    if (master) {
      req.set("X-Keel-Master-Key", kMaster);
    } else {
      req.set("X-Keel-Application-Id", "bench");
      req.set("X-Keel-Client-Key", "bench");
    }
    if (!token.empty()) req.set("X-Keel-Session-Token", token);
    req.set(http::field::content_type, "application/json; charset=utf-8");
    req.body() = body;
    req.prepare_payload();
    http::write(stream_, req);
    http::response<http::string_body> res;
    http::read(stream_, buffer_, res);
    return {static_cast<int>(res.result_int()), res.body()};
  }

 private:
  boost::asio::io_context ioc_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
};

class Server {
 public:
  Server(const std::filesystem::path& dir, const std::vector<std::string>& extra) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      std::vector<std::string> args{serverBinary().string(), "--port", "0", "--quiet", "--app-id", "bench",
                                    "--client-key", "bench", "--master-key", kMaster,
                                    "--data", (dir / "bench.sqlite").string()};
      if (const char* cost = std::getenv("KEEL_BENCH_HASH"); cost && *cost) {
        const std::string text(cost);
        const auto comma = text.find(',');
        args.insert(args.end(), {"--hash-ops", text.substr(0, comma), "--hash-memory", text.substr(comma + 1)});
      }
      args.insert(args.end(), extra.begin(), extra.end());
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    FILE* f = fdopen(out[0], "r");
    char line[32] = {};
    if (!std::fgets(line, sizeof line, f)) throw std::runtime_error("keel-server did not start: " + serverBinary().string());
    std::fclose(f);
    port_ = static_cast<unsigned short>(std::stoi(line));
  }
  ~Server() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  unsigned short port() const { return port_; }

 private:
  pid_t pid_ = -1;
  unsigned short port_ = 0;
};

// A database with 8 users and 100,000 "Guarded" objects, every tenth readable by the first user
// only and the rest by nobody but the master key.
struct Fixture {
  Fixture() : dir(std::filesystem::temp_directory_path() / ("keel-bench-auth-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(dir);
    std::string reader;
    {
      Server first(dir, {});
      Connection c(first.port());
      for (int i = 0; i < kConnections; ++i) {
        auto r = c.send("/1/users", json::serialize(json::object{{"username", "user" + std::to_string(i)},
                                                                 {"password", "password " + std::to_string(i)}}));
        if (r.status != 201) throw std::runtime_error("sign-up failed: " + r.body);
        auto reply = json::parse(r.body).as_object();
        tokens.emplace_back(reply.at("sessionToken").as_string());
        if (i == 0) reader = std::string(reply.at("objectId").as_string());
      }
    }
    {
      std::ofstream seed(dir / "seed.json");
      seed << "{\"Guarded\": [";
      for (int i = 0; i < kObjects; ++i) {
        seed << (i ? "," : "") << "{\"n\":" << i << ",\"ACL\":";
        if (i % 10 == 0) seed << "{\"" << reader << "\":{\"read\":true}}";
        else seed << "{}";
        seed << "}";
      }
      seed << "]}";
    }
    server = std::make_unique<Server>(dir, std::vector<std::string>{"--seed", (dir / "seed.json").string()});
  }
  ~Fixture() {
    server.reset();
    std::filesystem::remove_all(dir);
  }
  std::filesystem::path dir;
  std::vector<std::string> tokens;
  std::unique_ptr<Server> server;
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

// Runs `perConnection` requests on each of 8 connections; `request(connection index, i)`
// returns true for a good answer.
template <class Request>
void run(benchmark::State& state, int perConnection, Request request) {
  auto& f = fixture();
  std::int64_t total = 0, good = 0;
  for (auto _ : state) {
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kConnections; ++c) {
      threads.emplace_back([&, c] {
        Connection connection(f.server->port());
        for (int i = 0; i < perConnection; ++i) ok += request(connection, c, i) ? 1 : 0;
      });
    }
    for (auto& t : threads) t.join();
    total += static_cast<std::int64_t>(kConnections) * perConnection;
    good += ok;
  }
  state.counters["requests/s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
  state.counters["failed"] = static_cast<double>(total - good);
}

void BM_LogIn(benchmark::State& state) {
  run(state, 10, [](Connection& c, int user, int) {
    const auto body = json::serialize(json::object{{"_method", "GET"}, {"username", "user" + std::to_string(user)},
                                                   {"password", "password " + std::to_string(user)}});
    return c.send("/1/login", body).status == 200;
  });
}

void BM_UsersMe(benchmark::State& state) {
  run(state, 1000, [](Connection& c, int user, int) {
    return c.send("/1/users/me", R"({"_method":"GET"})", fixture().tokens[user]).status == 200;
  });
}

// state.range(0): 0 the signed-in reader, 1 the master key.
void BM_FindFirstHundred(benchmark::State& state) {
  const bool master = state.range(0) == 1;
  run(state, 25, [master](Connection& c, int, int) {
    auto r = c.send("/1/classes/Guarded", R"({"_method":"GET","limit":100})", master ? "" : fixture().tokens[0], master);
    return r.status == 200;
  });
  state.SetLabel(master ? "master key" : "reader (10% readable)");
}

void BM_Count(benchmark::State& state) {
  const bool master = state.range(0) == 1;
  run(state, 3, [master](Connection& c, int, int) {
    auto r = c.send("/1/classes/Guarded", R"({"_method":"GET","count":1,"limit":0})", master ? "" : fixture().tokens[0],
                    master);
    const auto count = json::parse(r.body).as_object().at("count").as_int64();
    return r.status == 200 && count == (master ? kObjects : kObjects / 10);
  });
  state.SetLabel(master ? "master key" : "reader (10% readable)");
}

BENCHMARK(BM_LogIn)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UsersMe)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindFirstHundred)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Count)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
