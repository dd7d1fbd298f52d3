// Api: the backend's request dispatcher. It checks the application's keys, reads the JSON
// envelope (a POST whose body carries "_method" is that method), routes "/1/classes",
// "/1/installations", "/1/batch", "/1/config" and "/1/functions", serves "/media/" files and
// the fault-injection control path, and turns every ApiError into a {"code", "error"} reply.
//
// A session token ("X-Keel-Session-Token") makes the request its user's; an unknown, revoked or
// expired one is refused with 209 rather than served anonymously. Every read and write of
// objects passes their access lists (Acl.h); users and sessions are Auth's.
// A change may carry "X-Keel-Request-Id": its reply is stored with it (RequestLog) and a
// duplicate of the same id gets that reply again instead of a second change.
//
// Each request (and each request inside a batch) runs in one SQLite transaction on a
// connection leased for it: reads on a read connection, beside each other and beside the one
// writer, each on its own snapshot; writes one at a time on the write connection. Requests
// never see one another half done.
//
// Thread-safety: handle() may be called from any thread at once.
#pragma once

#include <boost/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "server/Auth.h"
#include "server/Faults.h"
#include "server/Objects.h"
#include "server/QueryEngine.h"
#include "server/Store.h"

namespace keel::server {

struct ApiRequest {
  std::string method;
  std::string target;  // path and query, as sent
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;
  bool fromLoopback = true;
  std::string peerAddress;  // the client's address, for per-client limits
};

struct ApiResponse {
  int status = 200;
  std::string body;
  std::string contentType = "application/json; charset=utf-8";
  std::vector<std::pair<std::string, std::string>> headers;
};

struct ApiConfig {
  std::string applicationId;
  std::string clientKey;
  std::string masterKey;  // empty: no request has master rights
  std::string mediaDir;   // empty: "/media/" answers 404
  bool faultsEnabled = false;
  AuthConfig auth;
  // How long the reply of a change that carried a request id answers its duplicates.
  std::chrono::milliseconds requestIdRetention = std::chrono::hours(24);
  // Returns the time in milliseconds since 1970; empty: the system clock. Tests move time.
  std::function<std::int64_t()> clock = nullptr;
};

class Api {
 public:
  // REQUIRES: `store` and `faults` outlive the Api.
  Api(Store& store, ApiConfig config, Faults& faults);

  ApiResponse handle(const ApiRequest& request);

  // Loads a seed file {"ClassName": [object, ...], ...}; "{{mediaURL}}" inside texts becomes
  // `mediaURL`. Objects with an "objectId" replace the stored object of that id. Returns the
  // number of objects written; throws ApiError or std::runtime_error on a bad file.
  std::size_t loadSeed(const std::string& path, const std::string& mediaURL);

  // Users and sessions (e.g. to tell it the server's public address).
  Auth& auth() { return auth_; }

  // Returns the reply of a built-in cloud function (exposed for the function table's tests).
  static json::value callFunction(const std::string& name, const json::object& params);

 private:
  using Context = Caller;
  // Runs one request in a transaction of its own, or, with `held`, inside a savepoint of the
  // caller's transaction on that connection.
  std::pair<int, json::value> route(const std::string& method, const std::string& path, json::object params,
                                    const Context& ctx, bool inBatch, StoreConnection* held = nullptr);
  // Answers a change that carries a request id: the stored reply of its first run, or the reply
  // of running it now, stored in the same transaction.
  ApiResponse routeOnce(const std::string& method, const std::string& path, json::object params,
                        const Context& ctx, const std::string& requestId);
  std::pair<int, json::value> routeOn(StoreConnection& store, const std::string& method,
                                      const std::vector<std::string>& parts, json::object& params, const Context& ctx);
  std::pair<int, json::value> batch(const json::object& params, const Context& ctx, StoreConnection* held);
  ApiResponse serveMedia(const std::string& method, const std::string& relative);
  ApiResponse faultControl(const std::string& method, const std::string& body);

  Store& store_;
  const ApiConfig config_;
  Faults& faults_;
  Auth auth_;
  std::atomic<std::int64_t> lastPrune_{0};
};

}  // namespace keel::server
