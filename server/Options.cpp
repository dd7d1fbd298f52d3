#include "server/Options.h"

#include <cstdlib>

namespace keel::server {

namespace {

bool parseNumber(const std::string& text, long long lo, long long hi, long long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long long n = std::strtoll(text.c_str(), &end, 10);
  if (!end || *end != '\0' || n < lo || n > hi) return false;
  out = n;
  return true;
}

}  // namespace

std::string usageText() {
  return R"(Usage: keel-server [options]
The local backend: answers the REST interface of the Keel client library over HTTP(S).

  --port N             port to listen on; 0 picks a free one (default 0). The port is printed
                       on the first line of standard output once the server is ready.
  --host ADDRESS       address to listen on (default 127.0.0.1)
  --data FILE          SQLite database file (default :memory:, nothing kept)
  --app-id ID          application id that requests must carry (default keel-local-app)
  --client-key KEY     client key that requests must carry (default keel-local-client-key)
  --master-key KEY     master key; unset means no request has master rights
  --seed FILE          load objects from a JSON file {"Class": [object, ...]} at start
  --media DIR          serve the files of DIR under /media/
  --public-url URL     base address that "{{mediaURL}}" in the seed stands for
                       (default: the listening address), "/media" is appended
  --tls-cert FILE      PEM certificate chain; with --tls-key serves HTTPS only
  --tls-key FILE       PEM private key
  --faults             accept fault-injection rules at /__keel/faults (loopback only)
  --request-id-retention SECONDS
                       how long the reply of a change sent with X-Keel-Request-Id answers
                       its duplicates (default 86400)
  --max-body BYTES     largest accepted request body (default 10485760)
  --timeout MS         read/write/idle time-out per connection (default 30000)
  --threads N          worker threads (default 2)
  --quiet              no access log
  --hash-ops N         Argon2id passes per password hash (default 2)
  --hash-memory KIB    Argon2id memory per password hash in KiB (default 65536; least 8)
  --failed-logins N    failed log-ins per user within a minute before log-in is refused
                       with 429 (default 10)
  --failed-logins-per-address N
                       the same per client address (default 100)
  --outbox DIR         write password reset mails into DIR (default: none are written)
  --trust-auth-type T  accept log-ins by the service T's data without checking it with the
                       service (repeatable; "anonymous" is always accepted)
  --help               this text
)";
}

std::optional<std::string> parseOptions(const std::vector<std::string>& args, ServerOptions& out) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    if (auto eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    auto flag = [&]() { return !inlineValue; };
    long long n = 0;
    if (name == "--help" || name == "-h") {
      out.help = true;
    } else if (name == "--faults" && flag()) {
      out.faults = true;
    } else if (name == "--quiet" && flag()) {
      out.http.accessLog = false;
    } else if (name == "--port" || name == "--host" || name == "--data" || name == "--app-id" ||
               name == "--client-key" || name == "--master-key" || name == "--seed" || name == "--media" ||
               name == "--public-url" || name == "--tls-cert" || name == "--tls-key" || name == "--max-body" ||
               name == "--timeout" || name == "--threads" || name == "--hash-ops" || name == "--hash-memory" ||
               name == "--failed-logins" || name == "--failed-logins-per-address" || name == "--outbox" ||
               name == "--trust-auth-type" || name == "--request-id-retention") {
      auto v = value();
      if (!v) return name + " needs a value";
      if (name == "--port") {
        if (!parseNumber(*v, 0, 65535, n)) return "--port needs a number from 0 to 65535";
        out.http.port = static_cast<std::uint16_t>(n);
      } else if (name == "--max-body") {
        if (!parseNumber(*v, 1, 1LL << 32, n)) return "--max-body needs a positive number of bytes";
        out.http.maxBodyBytes = static_cast<std::size_t>(n);
      } else if (name == "--timeout") {
        if (!parseNumber(*v, 1, 3600000, n)) return "--timeout needs milliseconds from 1 to 3600000";
        out.http.readTimeout = out.http.writeTimeout = std::chrono::milliseconds(n);
      } else if (name == "--threads") {
        if (!parseNumber(*v, 1, 256, n)) return "--threads needs a number from 1 to 256";
        out.http.threads = static_cast<int>(n);
      } else if (name == "--hash-ops") {
        if (!parseNumber(*v, 1, 100, n)) return "--hash-ops needs a number from 1 to 100";
        out.auth.hashOps = static_cast<unsigned long long>(n);
      } else if (name == "--hash-memory") {
        if (!parseNumber(*v, 8, 4LL << 20, n)) return "--hash-memory needs KiB from 8 to 4194304";
        out.auth.hashMemoryBytes = static_cast<std::size_t>(n) * 1024;
      } else if (name == "--failed-logins" || name == "--failed-logins-per-address") {
        if (!parseNumber(*v, 1, 1000000, n)) return name + " needs a number from 1 to 1000000";
        (name == "--failed-logins" ? out.auth.failedLoginsPerUser : out.auth.failedLoginsPerAddress) = static_cast<int>(n);
      } else if (name == "--outbox") out.auth.outboxDir = *v;
      else if (name == "--trust-auth-type") out.auth.trustedAuthTypes.push_back(*v);
      else if (name == "--request-id-retention") {
        if (!parseNumber(*v, 1, 30LL * 86400, n)) return "--request-id-retention needs seconds from 1 to 2592000";
        out.requestIdRetention = std::chrono::seconds(n);
      } else if (name == "--host") out.http.address = *v;
      else if (name == "--data") out.dataFile = *v;
      else if (name == "--app-id") out.applicationId = *v;
      else if (name == "--client-key") out.clientKey = *v;
      else if (name == "--master-key") out.masterKey = *v;
      else if (name == "--seed") out.seedFile = *v;
      else if (name == "--media") out.mediaDir = *v;
      else if (name == "--public-url") out.publicURL = *v;
      else if (name == "--tls-cert") out.http.tlsCertificateFile = *v;
      else if (name == "--tls-key") out.http.tlsKeyFile = *v;
    } else {
      return "unknown option " + args[i];
    }
  }
  if (out.applicationId.empty() || out.clientKey.empty()) return "--app-id and --client-key must not be empty";
  if (out.http.tlsCertificateFile.empty() != out.http.tlsKeyFile.empty())
    return "--tls-cert and --tls-key go together";
  return std::nullopt;
}

}  // namespace keel::server
