// keel-server's request handling, in process: the input is what one kept-alive connection
// sends (HTTP/1.1 requests one after another), answered in order by a fresh backend on an
// in-memory database through the same request path the server's connections use.
//
// Besides crashes and sanitizer reports, an answer of 500 is a finding: the server answers
// 500 only for its own faults, never for anything a client sends.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <keel/base/Logger.h>

#include "server/Api.h"
#include "server/HttpServer.h"
#include "server/Store.h"

namespace {

[[noreturn]] void serverFault(const keel::server::ApiRequest& request, const std::string& what) {
  std::fprintf(stderr, "server fault on %s %s: %s\n", request.method.c_str(), request.target.c_str(), what.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace keel::server;
  // Refused input is logged by design; millions of runs need no log.
  static const bool quiet = [] {
    keel::Logger::sharedLogger().setLogLevel(0);
    return true;
  }();
  (void)quiet;

  Store store(":memory:");
  Faults faults;
  // The cheapest password hashing: every input builds a backend, and every sign-up hashes.
  AuthConfig auth;
  auth.hashOps = 1;
  auth.hashMemoryBytes = 8 * 1024;
  Api api(store, ApiConfig{"fuzz-app", "fuzz-key", "fuzz-master", {}, true, auth}, faults);
  HttpServerOptions options;
  options.maxBodyBytes = 64 * 1024;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  answerRequests(bytes, options, [&](const ApiRequest& request) {
    ApiResponse reply;
    try {
      reply = api.handle(request);
    } catch (const std::exception& e) {
      serverFault(request, std::string("threw ") + e.what());
    } catch (...) {
      serverFault(request, "threw an exception of unknown type");
    }
    if (reply.status >= 500) serverFault(request, reply.body);
    return reply;
  });
  return 0;
}
