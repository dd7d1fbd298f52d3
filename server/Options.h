// Options: keel-server's command line.
//
// Thread-safety: plain values and a pure function.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "server/HttpServer.h"

namespace keel::server {

struct ServerOptions {
  HttpServerOptions http;
  std::string dataFile = ":memory:";
  std::string applicationId = "keel-local-app";
  std::string clientKey = "keel-local-client-key";
  std::string masterKey;
  std::string seedFile;
  std::string mediaDir;
  std::string publicURL;  // base of "{{mediaURL}}" in seeds; empty: the bound address
  bool faults = false;
  std::chrono::seconds requestIdRetention{86400};
  bool help = false;
  AuthConfig auth;
};

// Parses the arguments (without the program name). Returns an error text for a bad line.
std::optional<std::string> parseOptions(const std::vector<std::string>& args, ServerOptions& out);

// Returns the --help text.
std::string usageText();

}  // namespace keel::server
