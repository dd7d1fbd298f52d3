// ScriptedHttpServer: a loopback HTTP or HTTPS server whose answers a test scripts. It listens
// on 127.0.0.1 on a free port, records every request it receives, and answers each from a queue
// of scripted responses (falling back to a default response, or to a handler when one is set).
// A response may be delayed, or the connection dropped instead of answering. Connections are
// kept alive as HTTP/1.1 allows, so clients can reuse them.
//
// HTTPS mode creates a fresh self-signed certificate for "127.0.0.1"/"localhost" at start-up and
// writes it to a PEM file (caCertificatePath()) that a client can be told to trust.
//
// Thread-safety: every member may be called from any thread. The server runs on one thread of
// its own; the handler is called on it and must not block for long.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace keel::testing {

struct ReceivedRequest {
  std::string method;
  std::string target;  // path and query, as sent
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;
  std::chrono::steady_clock::time_point receivedAt;

  // Returns the header's value, or an empty string.
  std::string header(const std::string& lowerCaseName) const;
};

struct ScriptedResponse {
  int status = 200;
  std::string body = "{}";
  std::map<std::string, std::string> headers = {{"Content-Type", "application/json"}};
  std::chrono::milliseconds delay{0};
  // Close the connection without answering.
  bool dropConnection = false;

  static ScriptedResponse json(int status, std::string body) {
    ScriptedResponse r;
    r.status = status;
    r.body = std::move(body);
    return r;
  }
  static ScriptedResponse dropped() {
    ScriptedResponse r;
    r.dropConnection = true;
    return r;
  }
};

class ScriptedHttpServer {
 public:
  enum class Mode { Http, Https };
  using Handler = std::function<ScriptedResponse(const ReceivedRequest&)>;

  explicit ScriptedHttpServer(Mode mode = Mode::Http, bool recordRequests = true);
  ~ScriptedHttpServer();
  ScriptedHttpServer(const ScriptedHttpServer&) = delete;
  ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

  std::uint16_t port() const;
  // Returns "http://127.0.0.1:<port>" or "https://127.0.0.1:<port>".
  std::string baseURL() const;
  // Returns the PEM file of the self-signed certificate (HTTPS mode), else an empty string.
  std::string caCertificatePath() const;

  // Queues a response for the next request that finds the queue non-empty.
  void enqueue(ScriptedResponse response);
  // Sets what requests get when the queue is empty.
  void setDefaultResponse(ScriptedResponse response);
  // Sets a handler that answers every request (the queue and the default are then unused).
  void setHandler(Handler handler);

  std::vector<ReceivedRequest> requests() const;
  std::size_t requestCount() const;
  // Waits until at least `count` requests have arrived; returns false on time-out.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

  struct Impl;  // public so the connection sessions in the .cpp can name it

 private:
  std::shared_ptr<Impl> impl_;
};

// Returns a loopback TCP port on which nothing listens (bound once, then released).
std::uint16_t unusedLoopbackPort();

}  // namespace keel::testing
