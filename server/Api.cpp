#include "server/Api.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>
#include <sodium.h>

#include <keel/base/JSONSerialization.h>
#include <keel/base/Logger.h>
#include "server/ApiError.h"
#include "server/JsonValues.h"
#include "server/RequestLog.h"

namespace keel::server {

namespace {

constexpr std::size_t kMaxBatch = 50;
// Expired request ids are swept at most this often, inside a change's transaction.
constexpr std::int64_t kPruneEveryMs = 60 * 1000;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentDecode(std::string_view text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      const int hi = hexValue(text[i + 1]);
      const int lo = hexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += (plusIsSpace && c == '+') ? ' ' : c;
  }
  return out;
}

std::vector<std::string> splitPath(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start < path.size()) {
    auto end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.push_back(percentDecode(path.substr(start, end - start), false));
    start = end + 1;
  }
  return parts;
}

json::object parseQueryString(std::string_view query) {
  json::object params;
  std::size_t start = 0;
  while (start < query.size()) {
    auto end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    const auto pair = query.substr(start, end - start);
    const auto eq = pair.find('=');
    if (!pair.empty()) {
      const std::string key = percentDecode(pair.substr(0, eq), true);
      const std::string value = eq == std::string_view::npos ? std::string() : percentDecode(pair.substr(eq + 1), true);
      params[key] = value;
    }
    start = end + 1;
  }
  return params;
}

// Compares secrets in time that does not depend on where they differ.
bool sameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string header(const ApiRequest& r, const char* name) {
  auto it = r.headers.find(name);
  return it == r.headers.end() ? std::string() : it->second;
}

// Returns `text` with every byte that does not begin or continue a well-formed UTF-8 sequence
// replaced by U+FFFD. Messages quote what the client sent (a class name from the path), and JSON
// text can only carry UTF-8.
std::string wellFormedUTF8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
    if (c < 0x80) length = 1;
    else if (c >= 0xC2 && c <= 0xDF) length = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;   // no overlong forms
      if (c == 0xED) high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
    }
    bool ok = length > 0 && i + length <= n;
    for (std::size_t k = 1; ok && k < length; ++k) {
      const unsigned char b = p[i + k];
      ok = k == 1 ? (b >= low && b <= high) : (b >= 0x80 && b <= 0xBF);
    }
    if (ok) {
      out.append(text, i, length);
      i += length;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

json::object errorBody(int code, const std::string& message) {
  return json::object{{"code", code}, {"error", wellFormedUTF8(message)}};
}

ApiResponse jsonResponse(int status, const json::value& body) {
  ApiResponse r;
  r.status = status;
  r.body = JSONSerialization::stringFromBoost(body);
  return r;
}

std::string contentTypeFor(const std::filesystem::path& p) {
  std::string ext = p.extension().string();
  for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == ".png") return "image/png";
  if (ext == ".jpg" || ext == ".jpeg") return "image/jpeg";
  if (ext == ".gif") return "image/gif";
  if (ext == ".webp") return "image/webp";
  if (ext == ".svg") return "image/svg+xml";
  if (ext == ".mp4") return "video/mp4";
  if (ext == ".html" || ext == ".htm") return "text/html; charset=utf-8";
  if (ext == ".json") return "application/json";
  if (ext == ".txt") return "text/plain; charset=utf-8";
  return "application/octet-stream";
}

void replacePlaceholders(json::value& v, const std::string& mediaURL) {
  static const std::string kPlaceholder = "{{mediaURL}}";
  if (v.is_string()) {
    std::string s(v.get_string());
    for (auto pos = s.find(kPlaceholder); pos != std::string::npos; pos = s.find(kPlaceholder, pos + mediaURL.size()))
      s.replace(pos, kPlaceholder.size(), mediaURL);
    v = s;
  } else if (v.is_array()) {
    for (auto& e : v.get_array()) replacePlaceholders(e, mediaURL);
  } else if (v.is_object()) {
    for (auto& e : v.get_object()) replacePlaceholders(e.value(), mediaURL);
  }
}

// Who a logged reply belongs to: the key the request was sent with and a digest of its session
// token. A duplicate from anyone else is a request of its own.
std::string requestLogCaller(const Caller& ctx) {
  std::string caller = ctx.master ? "master:" : "client:";
  if (ctx.sessionToken.empty()) return caller;
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(ctx.sessionToken.data()), ctx.sessionToken.size());
  static constexpr char kHex[] = "0123456789abcdef";
  for (unsigned char b : digest) {
    caller += kHex[b >> 4];
    caller += kHex[b & 15];
  }
  return caller;
}

}  // namespace

Api::Api(Store& store, ApiConfig config, Faults& faults)
    : store_(store), config_(std::move(config)), faults_(faults), auth_(store_, config_.auth) {
  auto writer = store_.writer();
  RequestLog::createTable(writer->database());
}

json::value Api::callFunction(const std::string& name, const json::object& params) {
  if (name == "echo") return json::object{{"result", params}};
  if (name == "hello") return json::object{{"result", "Hello from keel-server!"}};
  if (name == "fail") {
    int code = kScriptFailed;
    std::string message = "The function failed.";
    if (auto it = params.find("code"); it != params.end() && it->value().is_int64()) code = static_cast<int>(it->value().get_int64());
    if (auto it = params.find("message"); it != params.end() && it->value().is_string()) message = std::string(it->value().get_string());
    throw ApiError(code, message, 400);
  }
  throw ApiError(kScriptFailed, fmt::format("Invalid function: \"{}\"", name));
}

std::pair<int, json::value> Api::batch(const json::object& params, const Context& ctx, StoreConnection* held) {
  auto it = params.find("requests");
  if (it == params.end() || !it->value().is_array()) throw ApiError(kInvalidJSON, "requests must be an array");
  const auto& requests = it->value().get_array();
  if (requests.size() > kMaxBatch)
    throw ApiError(kInvalidJSON, fmt::format("Batch requests are limited to {} commands.", kMaxBatch));
  json::array replies;
  for (const auto& entry : requests) {
    try {
      if (!entry.is_object()) throw ApiError(kInvalidJSON, "Each batch request must be an object.");
      const auto& r = entry.get_object();
      auto m = r.find("method");
      auto p = r.find("path");
      if (m == r.end() || !m->value().is_string() || p == r.end() || !p->value().is_string())
        throw ApiError(kInvalidJSON, "Each batch request needs a \"method\" and a \"path\".");
      std::string path(p->value().get_string());
      if (path.starts_with("/1/")) path = path.substr(3);
      else if (path.starts_with("/")) path = path.substr(1);
      json::object body;
      if (auto b = r.find("body"); b != r.end() && !b->value().is_null()) {
        if (!b->value().is_object()) throw ApiError(kInvalidJSON, "A batch request's body must be an object.");
        body = b->value().get_object();
      }
      auto [status, reply] = route(std::string(m->value().get_string()), path, std::move(body), ctx, true, held);
      (void)status;
      replies.push_back(json::object{{"success", std::move(reply)}});
    } catch (const ApiError& e) {
      replies.push_back(json::object{{"error", errorBody(e.code(), e.what())}});
    }
  }
  return {200, std::move(replies)};
}

std::pair<int, json::value> Api::route(const std::string& method, const std::string& path, json::object params,
                                       const Context& ctx, bool inBatch, StoreConnection* held) {
  const auto parts = splitPath(path.substr(0, path.find('?')));
  if (!parts.empty() && parts[0] == "batch") {
    if (inBatch) throw ApiError(kInvalidJSON, "A batch cannot contain another batch.");
    if (method != "POST") throw ApiError(kInvalidJSON, "batch needs POST", 404);
    return batch(params, ctx, held);
  }
  // Users and sessions take the connections they need themselves, never one while hashing, so
  // they cannot run inside a transaction the caller already holds.
  if (Auth::handles(method, parts)) {
    if (held) throw ApiError(kInvalidJSON, "Users and sessions cannot be changed in a batch that carries a request id.");
    return auth_.route(method, parts, params, ctx);
  }
  // Functions touch no storage: they need no connection.
  if (parts.size() == 2 && parts[0] == "functions" && method == "POST") return {200, callFunction(parts[1], params)};
  if (held) {
    // A refused request inside the caller's transaction must leave nothing behind.
    auto& db = held->database();
    db.exec("SAVEPOINT request");
    try {
      auto result = routeOn(*held, method, parts, params, ctx);
      db.exec("RELEASE request");
      return result;
    } catch (...) {
      db.exec("ROLLBACK TO request");
      db.exec("RELEASE request");
      throw;
    }
  }
  const bool write = method != "GET" && method != "HEAD";
  auto connection = write ? store_.writer() : store_.reader();
  auto transaction = connection->begin(write);
  auto result = routeOn(*connection, method, parts, params, ctx);
  transaction->commit();
  return result;
}

ApiResponse Api::routeOnce(const std::string& method, const std::string& path, json::object params,
                           const Context& ctx, const std::string& requestId) {
  const std::int64_t now =
      config_.clock ? config_.clock()
                    : std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch()).count();
  const std::int64_t notBefore = now - config_.requestIdRetention.count();
  // Changes take the one write connection in turn, so a duplicate sent while the first is still
  // running waits here and then finds its reply.
  auto connection = store_.writer();
  auto transaction = connection->begin(true);
  auto& db = connection->database();
  const std::string caller = requestLogCaller(ctx);
  if (auto logged = RequestLog::find(db, config_.applicationId, caller, requestId, notBefore)) {
    if (logged->method != method || logged->path != path)
      throw ApiError(kInvalidJSON, fmt::format("The request id {} was already used for {} {}.", requestId,
                                               logged->method, logged->path));
    ApiResponse replay;
    replay.status = logged->status;
    replay.body = std::move(logged->body);
    replay.headers.emplace_back("X-Keel-Replayed", "true");
    return replay;
  }
  auto [status, reply] = route(method, path.substr(3), std::move(params), ctx, false, &*connection);
  ApiResponse response = jsonResponse(status, reply);
  // A refused request threw above and stored nothing: it changed nothing, so a retry may run.
  RequestLog::store(db, config_.applicationId, caller, requestId, LoggedReply{method, path, response.status, response.body},
                    now);
  if (now - lastPrune_.load() >= kPruneEveryMs) {
    RequestLog::prune(db, notBefore);
    lastPrune_ = now;
  }
  transaction->commit();
  return response;
}

std::pair<int, json::value> Api::routeOn(StoreConnection& store, const std::string& method,
                                         const std::vector<std::string>& parts, json::object& params,
                                         const Context& ctx) {
  const bool get = method == "GET" || method == "HEAD";
  QueryEngine queries(store, ctx.scope());
  ObjectService objects(store, queries);
  auto unknown = [&]() -> std::pair<int, json::value> {
    std::string path;
    for (const auto& p : parts) path += "/" + p;
    throw ApiError(kInvalidJSON, fmt::format("Unknown operation: {} /1{}", method, path), 404);
  };
  if (parts.empty()) return unknown();
  const std::string& head = parts[0];
  std::string className;
  std::size_t idIndex = 0;
  if (head == "classes" && parts.size() >= 2) {
    className = parts[1];
    idIndex = 2;
  } else if (head == "installations") {
    className = "_Installation";
    idIndex = 1;
  } else if (head == "users") {
    className = "_User";
    idIndex = 1;
  }
  if (!className.empty()) {
    if (parts.size() == idIndex) {
      if (get) {
        ObjectService::checkClassName(className);
        return {200, queries.find(className, params)};
      }
      if (method == "POST") {
        auto r = objects.create(className, params);
        return {r.status, std::move(r.body)};
      }
    } else if (parts.size() == idIndex + 1) {
      const std::string& id = parts[idIndex];
      if (get) return {200, objects.fetch(className, id, params)};
      if (method == "PUT") {
        auto r = objects.update(className, id, params);
        return {r.status, std::move(r.body)};
      }
      if (method == "DELETE") {
        objects.remove(className, id, ctx.master);
        return {200, json::object{}};
      }
    }
    return unknown();
  }
  if (head == "config" && parts.size() == 1) {
    if (get) return {200, json::object{{"params", store.configParams()}}};
    if (method == "PUT") {
      if (!ctx.master) throw ApiError(kOperationForbidden, "The master key is needed to change the configuration.");
      auto it = params.find("params");
      if (it == params.end() || !it->value().is_object()) throw ApiError(kInvalidJSON, "params must be an object");
      json::object stored = store.configParams();
      for (const auto& e : it->value().get_object()) {
        const auto& v = e.value();
        if (v.is_object() && v.get_object().contains("__op")) {
          if (v.get_object().at("__op") == "Delete") stored.erase(e.key());
          else throw ApiError(kIncorrectType, "Only Delete may change a configuration parameter.");
        } else {
          stored[e.key()] = v;
        }
      }
      store.setConfigParams(stored);
      return {200, json::object{{"result", true}}};
    }
    return unknown();
  }
  return unknown();
}

ApiResponse Api::serveMedia(const std::string& method, const std::string& relative) {
  namespace fs = std::filesystem;
  auto notFound = [] { return jsonResponse(404, errorBody(kObjectNotFound, "File not found.")); };
  if (config_.mediaDir.empty() || (method != "GET" && method != "HEAD")) return notFound();
  const std::string name = percentDecode(relative, false);
  if (name.empty() || name.find('\0') != std::string::npos) return notFound();
  for (const auto& part : splitPath(name))
    if (part == ".." || part == ".") return notFound();
  std::error_code ec;
  const fs::path root = fs::weakly_canonical(config_.mediaDir, ec);
  if (ec) return notFound();
  const fs::path file = fs::weakly_canonical(root / fs::path(name).relative_path(), ec);
  if (ec) return notFound();
  // A symbolic link may still lead out of the folder: only files inside it are served.
  const auto rel = file.lexically_relative(root);
  if (rel.empty() || rel.native().starts_with("..") || !fs::is_regular_file(file, ec)) return notFound();
  std::ifstream in(file, std::ios::binary);
  if (!in) return notFound();
  std::ostringstream content;
  content << in.rdbuf();
  ApiResponse r;
  r.body = content.str();
  r.contentType = contentTypeFor(file);
  r.headers.emplace_back("Cache-Control", "public, max-age=3600");
  return r;
}

ApiResponse Api::faultControl(const std::string& method, const std::string& body) {
  if (method == "GET") {
    json::object reply = faults_.counters();
    reply["rules"] = faults_.list();
    return jsonResponse(200, reply);
  }
  if (method == "DELETE") {
    faults_.clear();
    return jsonResponse(200, json::object{});
  }
  if (method != "POST") return jsonResponse(404, errorBody(kInvalidJSON, "Unknown operation."));
  boost::system::error_code ec;
  auto parsed = parseJson(body, ec);
  if (ec || !parsed.is_object()) return jsonResponse(400, errorBody(kInvalidJSON, "Invalid JSON."));
  FaultRule rule;
  if (auto problem = Faults::parse(parsed.get_object(), rule)) return jsonResponse(400, errorBody(kInvalidJSON, *problem));
  faults_.add(std::move(rule));
  return jsonResponse(200, json::object{{"rules", faults_.list()}});
}

ApiResponse Api::handle(const ApiRequest& request) {
  const std::string& target = request.target;
  const auto q = target.find('?');
  const std::string path = target.substr(0, q);
  const std::string_view query = q == std::string::npos ? std::string_view() : std::string_view(target).substr(q + 1);

  if (path.starts_with("/media/")) return serveMedia(request.method, path.substr(7));
  if (path == "/__keel/faults") {
    if (!config_.faultsEnabled || !request.fromLoopback)
      return jsonResponse(404, errorBody(kInvalidJSON, "Unknown operation."));
    return faultControl(request.method, request.body);
  }
  if (path == "/health") return jsonResponse(200, json::object{{"status", "ok"}});
  if (!path.starts_with("/1/")) return jsonResponse(404, errorBody(kInvalidJSON, "Unknown operation."));

  Context ctx;
  const std::string master = header(request, "x-keel-master-key");
  ctx.master = !config_.masterKey.empty() && sameSecret(master, config_.masterKey);
  const bool clientKeys = sameSecret(header(request, "x-keel-application-id"), config_.applicationId) &&
                          sameSecret(header(request, "x-keel-client-key"), config_.clientKey);
  if (!ctx.master && !clientKeys) return jsonResponse(401, errorBody(kOperationForbidden, "unauthorized"));

  ctx.address = request.peerAddress;
  ctx.installationId = header(request, "x-keel-installation-id");
  try {
    ctx.sessionToken = header(request, "x-keel-session-token");
    if (!ctx.sessionToken.empty()) ctx.userId = auth_.userForToken(ctx.sessionToken);
    json::object params;
    std::string method = request.method;
    if (!request.body.empty()) {
      boost::system::error_code ec;
      auto parsed = parseJson(request.body, ec);
      if (ec) throw ApiError(kInvalidJSON, fmt::format("Invalid JSON: {}", ec.message()));
      if (!parsed.is_object()) throw ApiError(kInvalidJSON, "The request body must be a JSON object.");
      params = std::move(parsed.get_object());
      if (auto it = params.find("_method"); it != params.end()) {
        if (!it->value().is_string()) throw ApiError(kInvalidJSON, "_method must be a string.");
        if (method == "POST") method = std::string(it->value().get_string());
        params.erase(it);
      }
    }
    if (method == "GET" || method == "HEAD" || method == "DELETE")
      for (auto& e : parseQueryString(query)) params[e.key()] = std::move(e.value());

    if (auto id = request.headers.find("x-keel-request-id"); id != request.headers.end()) {
      if (!RequestLog::isValidId(id->second))
        throw ApiError(kInvalidJSON, fmt::format("X-Keel-Request-Id must be 1 to {} visible ASCII characters.",
                                                 RequestLog::kMaxIdLength));
      // Reads change nothing: answering them afresh is what a retry wants.
      // Users and sessions are answered afresh as well: they need connections of their own
      // (see route), and a repeated log-in or log-out is harmless.
      if (method != "GET" && method != "HEAD" && !Auth::handles(method, splitPath(path.substr(3))))
        return routeOnce(method, path, std::move(params), ctx, id->second);
    }
    auto result = route(method, path.substr(3), std::move(params), ctx, false);
    return jsonResponse(result.first, result.second);
  } catch (const ApiError& e) {
    return jsonResponse(e.status(), errorBody(e.code(), e.what()));
  } catch (const std::exception& e) {
    logError("keel-server: %@ %@ failed: %@", request.method, path, e.what());
  } catch (...) {
    logError("keel-server: %@ %@ failed with an exception of unknown type", request.method, path);
  }
  return jsonResponse(500, errorBody(kInternalServerError, "Internal server error."));
}

std::size_t Api::loadSeed(const std::string& path, const std::string& mediaURL) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the seed file " + path);
  std::ostringstream text;
  text << in.rdbuf();
  boost::system::error_code ec;
  auto parsed = parseJson(text.str(), ec);
  if (ec || !parsed.is_object()) throw std::runtime_error("the seed file " + path + " is not a JSON object");
  replacePlaceholders(parsed, mediaURL);
  auto connection = store_.writer();
  auto transaction = connection->begin(true);
  QueryEngine queries(*connection);
  ObjectService objects(*connection, queries);
  std::size_t written = 0;
  for (const auto& entry : parsed.get_object()) {
    const std::string className(entry.key());
    if (!entry.value().is_array()) throw std::runtime_error("the seed entry " + className + " is not an array");
    for (const auto& object : entry.value().get_array()) {
      if (!object.is_object()) throw std::runtime_error("a seed object of " + className + " is not an object");
      const auto& fields = object.get_object();
      if (auto id = fields.find("objectId"); id != fields.end() && id->value().is_string()) {
        objects.upsert(className, std::string(id->value().get_string()), fields);
      } else {
        objects.create(className, fields);
      }
      ++written;
    }
  }
  transaction->commit();
  return written;
}

}  // namespace keel::server
