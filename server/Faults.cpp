#include "server/Faults.h"

namespace keel::server {

namespace json = boost::json;

void Faults::add(FaultRule rule) {
  std::lock_guard lock(mutex_);
  rules_.push_back(std::move(rule));
}

std::optional<std::string> Faults::parse(const json::object& body, FaultRule& out) {
  auto str = [&](const char* key) -> const json::string* {
    auto it = body.find(key);
    return it != body.end() && it->value().is_string() ? &it->value().get_string() : nullptr;
  };
  auto integer = [&](const char* key, long long fallback, long long lo, long long hi, bool& bad) -> long long {
    auto it = body.find(key);
    if (it == body.end()) return fallback;
    if (!it->value().is_int64() || it->value().get_int64() < lo || it->value().get_int64() > hi) {
      bad = true;
      return fallback;
    }
    return it->value().get_int64();
  };
  const auto* path = str("path");
  if (!path || path->empty() || (*path)[0] != '/') return "\"path\" must be an absolute path";
  out.path = std::string(*path);
  if (const auto* m = str("method")) out.method = std::string(*m);
  bool bad = false;
  out.skip = static_cast<int>(integer("after", 0, 0, 1000000, bad));
  out.remaining = static_cast<int>(integer("count", 1, 1, 1000000, bad));
  out.action.status = static_cast<int>(integer("status", 0, 0, 599, bad));
  if (out.action.status != 0 && out.action.status < 200) bad = true;
  out.action.code = static_cast<int>(integer("code", out.action.status >= 500 ? 1 : out.action.status, -1000000, 1000000, bad));
  out.action.delay = std::chrono::milliseconds(integer("delayMs", 0, 0, 60000, bad));
  if (bad) return "\"after\" (0 or more), \"count\" (1 or more), \"status\" (200-599), \"code\" and \"delayMs\" (0-60000) must be integers in range";
  if (const auto* e = str("error")) out.action.error = std::string(*e);
  if (auto it = body.find("drop"); it != body.end()) {
    if (!it->value().is_bool()) return "\"drop\" must be a boolean";
    out.action.drop = it->value().get_bool();
  }
  if (auto it = body.find("apply"); it != body.end()) {
    if (!it->value().is_bool()) return "\"apply\" must be a boolean";
    out.action.apply = it->value().get_bool();
  }
  if (out.action.status == 0 && !out.action.drop && out.action.delay.count() == 0)
    return "a rule needs a \"status\", a \"delayMs\" or \"drop\"";
  return std::nullopt;
}

void Faults::clear() {
  std::lock_guard lock(mutex_);
  rules_.clear();
  byPath_.clear();
  byMethodAndPath_.clear();
}

std::optional<FaultAction> Faults::take(const std::string& method, const std::string& path) {
  std::lock_guard lock(mutex_);
  if (auto counted = byPath_.find(path); counted != byPath_.end()) {
    ++counted->second;
    ++byMethodAndPath_[method + ' ' + path];
  } else if (byPath_.size() < kMaxCountedPaths) {
    byPath_.emplace(path, 1);
    ++byMethodAndPath_[method + ' ' + path];
  }
  // Every rule still waiting sees each matching request, whichever rule answers it, so
  // "after": K means the K+1-th matching request from the time the rule was added.
  auto chosen = rules_.end();
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    const bool prefix = !it->path.empty() && it->path.back() == '*';
    const bool pathMatches = prefix ? path.compare(0, it->path.size() - 1, it->path, 0, it->path.size() - 1) == 0
                                    : path == it->path;
    if (!pathMatches || (!it->method.empty() && it->method != method)) continue;
    if (it->skip > 0) --it->skip;
    else if (chosen == rules_.end()) chosen = it;
  }
  if (chosen == rules_.end()) return std::nullopt;
  FaultAction action = chosen->action;
  if (--chosen->remaining <= 0) rules_.erase(chosen);
  return action;
}

json::array Faults::list() const {
  std::lock_guard lock(mutex_);
  json::array out;
  for (const auto& r : rules_) {
    out.push_back(json::object{{"path", r.path}, {"method", r.method}, {"after", r.skip}, {"count", r.remaining},
                               {"status", r.action.status}, {"code", r.action.code}, {"error", r.action.error},
                               {"delayMs", r.action.delay.count()}, {"drop", r.action.drop},
                               {"apply", r.action.apply}});
  }
  return out;
}

json::object Faults::counters() const {
  std::lock_guard lock(mutex_);
  json::object byPath, byMethod;
  for (const auto& [path, n] : byPath_) byPath[path] = n;
  for (const auto& [key, n] : byMethodAndPath_) byMethod[key] = n;
  return json::object{{"requests", std::move(byPath)}, {"requestsByMethod", std::move(byMethod)}};
}

}  // namespace keel::server
