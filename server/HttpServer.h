// HttpServer: the HTTP/1.1 (optionally TLS) front of keel-server, over Boost.Beast and Asio.
// Connections are kept alive and served concurrently on a small thread pool; each connection
// runs on a strand of its own and lives as long as an operation holds it (shared_from_this).
// Every read, write and TLS step has a time-out; a body above the size limit is answered 413
// and the connection closed. Fault rules (Faults) may delay, fail or drop a request before the
// handler sees it. One access-log line per request goes to standard error; a connection that
// ends any other way than by a clean close is logged with what it was doing and why.
// Whatever the handler throws becomes a 500 with a JSON body and a log line.
//
// stop() shuts down gracefully: no new connections, idle ones closed at once, a request in
// flight finishes and is answered, and whatever is left after the grace period is cut off.
//
// Thread-safety: start() once, then port(), stop() and wait() from any thread. The handler is
// called on pool threads, several at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "server/Api.h"
#include "server/Faults.h"

namespace keel::server {

struct HttpServerOptions {
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;  // 0: any free port
  int threads = 2;
  std::size_t maxBodyBytes = 10 * 1024 * 1024;
  std::chrono::milliseconds readTimeout{30000};  // also the idle keep-alive time
  std::chrono::milliseconds writeTimeout{30000};
  std::chrono::milliseconds shutdownGrace{5000};
  std::string tlsCertificateFile;  // both set: serve HTTPS only
  std::string tlsKeyFile;
  bool accessLog = true;
  bool handleSignals = false;  // SIGINT/SIGTERM start stop()
};

class HttpServer {
 public:
  using Handler = std::function<ApiResponse(const ApiRequest&)>;

  // REQUIRES: `faults` (may be null) outlives the server.
  HttpServer(HttpServerOptions options, Handler handler, Faults* faults);
  // Stops and waits.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds, listens and starts the threads. Throws std::runtime_error when it cannot listen or
  // the TLS files cannot be loaded.
  void start();
  // Returns the port it listens on (the chosen one when 0 was asked for).
  std::uint16_t port() const;
  // Returns "http://127.0.0.1:PORT" (https with TLS) for the bound address.
  std::string baseURL() const;
  // Begins the graceful shutdown; returns at once.
  void stop();
  // Blocks until every thread has finished.
  void wait();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Reads HTTP/1.1 requests from `bytes` one after another, as one kept-alive connection would
// (the same limits, the same answers to unreadable requests, the same handling of whatever the
// handler throws), and returns the bytes of the answers. It stops where a connection would
// close. Fault rules, time-outs and the interim 100 answer do not apply. It drives the request
// path without sockets, for fuzzing.
std::string answerRequests(std::string_view bytes, const HttpServerOptions& options, const HttpServer::Handler& handler);

}  // namespace keel::server
