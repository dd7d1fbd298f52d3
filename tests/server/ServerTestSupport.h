// Helpers for the backend's tests: a server on a free loopback port inside the test process,
// and a small keep-alive HTTP client that speaks to it over real sockets.
#pragma once

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <boost/json.hpp>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <keel/base/Logger.h>

#include "server/Api.h"
#include "server/HttpServer.h"
#include "server/Store.h"

namespace keel::server::testing {

namespace json = boost::json;

inline const std::string kAppId = "test-app";
inline const std::string kClientKey = "test-client";
inline const std::string kMasterKey = "test-master";

struct Reply {
  int status = 0;
  std::string body;
  std::map<std::string, std::string> headers;
  json::value json() const { return json::parse(body); }
  json::object object() const { return json::parse(body).as_object(); }
};

// A client over one connection, reopened when the server closes it.
class HttpClient {
 public:
  explicit HttpClient(std::uint16_t port) : port_(port) {}

  Reply send(const std::string& method, const std::string& target, const std::string& body = {},
             std::map<std::string, std::string> headers = {{"X-Keel-Application-Id", kAppId},
                                                            {"X-Keel-Client-Key", kClientKey}}) {
    namespace http = boost::beast::http;
    for (int attempt = 0; attempt < 2; ++attempt) {
      const bool reused = stream_ != nullptr;
      connect();
      http::request<http::string_body> req{http::string_to_verb(method), target, 11};
      req.set(http::field::host, "127.0.0.1");
      for (const auto& [k, v] : headers) req.set(k, v);
      if (!body.empty()) {
        req.set(http::field::content_type, "application/json; charset=utf-8");
        req.body() = body;
      }
      req.prepare_payload();
      boost::beast::error_code ec;
      http::write(*stream_, req, ec);
      http::response_parser<http::string_body> parser;
      parser.body_limit(64 * 1024 * 1024);
      if (!ec) http::read(*stream_, buffer_, parser, ec);
      if (ec) {
        stream_.reset();
        buffer_.clear();
        // A kept-alive connection may have been closed by the server between requests.
        if (reused) continue;
        throw boost::system::system_error(ec);
      }
      auto res = parser.release();
      ++requestsOnConnection_;
      Reply r;
      r.status = res.result_int();
      r.body = res.body();
      for (const auto& f : res) r.headers[std::string(f.name_string())] = std::string(f.value());
      if (!res.keep_alive()) stream_.reset();
      return r;
    }
    throw std::runtime_error("unreachable");
  }

  Reply get(const std::string& target) { return send("GET", target); }
  Reply post(const std::string& target, const json::value& body) { return send("POST", target, json::serialize(body)); }
  Reply put(const std::string& target, const json::value& body) { return send("PUT", target, json::serialize(body)); }
  Reply del(const std::string& target) { return send("DELETE", target); }
  // Sends a find the way the client library does: POST with "_method": "GET".
  Reply find(const std::string& className, json::object params = {}) {
    params["_method"] = "GET";
    return post("/1/classes/" + className, params);
  }

  int connections() const { return connections_; }

 private:
  void connect() {
    if (stream_) return;
    stream_ = std::make_unique<boost::beast::tcp_stream>(ioc_);
    stream_->connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port_));
    ++connections_;
  }

  std::uint16_t port_;
  boost::asio::io_context ioc_;
  std::unique_ptr<boost::beast::tcp_stream> stream_;
  boost::beast::flat_buffer buffer_;
  int connections_ = 0;
  int requestsOnConnection_ = 0;
};

// A backend in this process on a free loopback port.
class TestServer {
 public:
  explicit TestServer(const std::string& dataFile = ":memory:", HttpServerOptions http = quietOptions(),
                      std::string mediaDir = {}, AuthConfig auth = cheapAuth())
      : store_(dataFile, http.threads),
        api_(store_, ApiConfig{kAppId, kClientKey, kMasterKey, std::move(mediaDir), true, std::move(auth)}, faults_),
        server_(http, [this](const ApiRequest& r) { return api_.handle(r); }, &faults_) {
    server_.start();
  }

  // The least password-hashing cost libsodium allows: tests hash many passwords.
  static AuthConfig cheapAuth() {
    AuthConfig a;
    a.hashOps = 1;
    a.hashMemoryBytes = 8 * 1024;
    return a;
  }

  static HttpServerOptions quietOptions() {
    HttpServerOptions o;
    o.accessLog = false;
    o.threads = 2;
    return o;
  }

  std::uint16_t port() const { return server_.port(); }
  Api& api() { return api_; }
  Store& store() { return store_; }
  HttpServer& http() { return server_; }
  Faults& faults() { return faults_; }

 private:
  Store store_;
  Faults faults_;
  Api api_;
  HttpServer server_;
};

// Collects the logger's lines while it lives (and lets them through to standard error).
class LogCapture {
 public:
  LogCapture() {
    previous_ = Logger::sharedLogger().setSink([this](const std::string& line) {
      std::fprintf(stderr, "%s\n", line.c_str());
      {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
      }
      changed_.notify_all();
    });
  }
  ~LogCapture() { Logger::sharedLogger().setSink(previous_); }

  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Returns the first line holding `text`, waiting up to `timeout` for it to be written.
  std::optional<std::string> waitFor(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    std::optional<std::string> found;
    changed_.wait_for(lock, timeout, [&] {
      for (const auto& l : lines_)
        if (l.find(text) != std::string::npos) {
          found = l;
          return true;
        }
      return false;
    });
    return found;
  }
  bool contains(const std::string& text) const {
    std::lock_guard lock(mutex_);
    for (const auto& l : lines_)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  Logger::Sink previous_;
};

// A database file in the temporary folder, removed with its WAL files when the test ends.
class TempDatabase {
 public:
  explicit TempDatabase(const std::string& name)
      : path_((std::filesystem::temp_directory_path() /
               (name + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++) + ".sqlite"))
                  .string()) {}
  ~TempDatabase() {
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path_ + suffix);
  }
  const std::string& path() const { return path_; }

 private:
  static int& counter() {
    static int n = 0;
    return n;
  }
  std::string path_;
};

// Returns the "results" array of a find reply.
inline json::array results(const Reply& r) { return r.object().at("results").as_array(); }

// Returns the object ids of a find reply, in order.
inline std::vector<std::string> ids(const Reply& r) {
  std::vector<std::string> out;
  for (const auto& o : results(r)) out.emplace_back(o.at("objectId").as_string());
  return out;
}

}  // namespace keel::server::testing
