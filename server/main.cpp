// keel-server: the local backend. Prints the port it listens on as the first line of standard
// output once the seed is loaded and requests are answered; logs to standard error.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "server/Api.h"
#include "server/HttpServer.h"
#include "server/Options.h"
#include "server/Store.h"

using namespace keel::server;

int main(int argc, char** argv) {
  ServerOptions options;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (auto problem = parseOptions(args, options)) {
    std::fprintf(stderr, "keel-server: %s\n\n%s", problem->c_str(), usageText().c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(usageText().c_str(), stdout);
    return 0;
  }
  try {
    // Each I/O thread answers one request at a time, so as many readers never keep one waiting.
    Store store(options.dataFile, options.http.threads);
    Faults faults;
    ApiConfig config{options.applicationId, options.clientKey, options.masterKey, options.mediaDir, options.faults,
                     options.auth};
    if (config.auth.publicURL.empty()) config.auth.publicURL = options.publicURL;
    config.requestIdRetention = options.requestIdRetention;
    Api api(store, config, faults);
    options.http.handleSignals = true;
    HttpServer server(options.http, [&api](const ApiRequest& r) { return api.handle(r); },
                      options.faults ? &faults : nullptr);
    server.start();
    api.auth().setPublicURL(server.baseURL());
    if (!options.seedFile.empty()) {
      const std::string base = options.publicURL.empty() ? server.baseURL() : options.publicURL;
      const auto count = api.loadSeed(options.seedFile, base + "/media");
      std::fprintf(stderr, "keel-server: loaded %zu objects from %s\n", count, options.seedFile.c_str());
    }
    std::printf("%u\n", static_cast<unsigned>(server.port()));
    std::fflush(stdout);
    std::fprintf(stderr, "keel-server: listening on %s (data %s)\n", server.baseURL().c_str(), options.dataFile.c_str());
    server.wait();
    std::fprintf(stderr, "keel-server: stopped\n");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "keel-server: %s\n", e.what());
    return 1;
  }
}
