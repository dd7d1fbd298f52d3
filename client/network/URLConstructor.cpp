#include <keel/network/URLConstructor.h>

#include <curl/curl.h>

#include <memory>

#include <keel/base/Exception.h>

namespace keel {

namespace {

std::string build(const std::string& absoluteString, const std::optional<std::string>& path,
                  const std::optional<std::string>& query) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), &curl_url_cleanup);
  parameterAssert(url && curl_url_set(url.get(), CURLUPART_URL, absoluteString.c_str(), 0) == CURLUE_OK,
                  "Invalid server URL: %@", absoluteString);
  if (path) {
    std::string p = path->starts_with('/') ? *path : "/" + *path;
    curl_url_set(url.get(), CURLUPART_PATH, p.c_str(), 0);
  }
  if (query) curl_url_set(url.get(), CURLUPART_QUERY, query->empty() ? nullptr : query->c_str(), 0);
  char* text = nullptr;
  curl_url_get(url.get(), CURLUPART_URL, &text, 0);
  std::string out = text ? text : "";
  curl_free(text);
  return out;
}

}  // namespace

std::string URLConstructor::URLFromAbsoluteString(const std::string& absoluteString, std::optional<std::string> path,
                                                  std::optional<std::string> query) {
  // Every request replaces only the path of the same server URL: remember, per thread, how that
  // URL splits around its path instead of parsing it each time.
  struct Split {
    std::string base, before, after;
    bool simple = false;
  };
  thread_local Split last;
  if (path && !query) {
    if (last.base != absoluteString) {
      const std::string marker = "/keel-path-marker";
      std::string probe = build(absoluteString, marker, std::nullopt);
      auto at = probe.find(marker);
      last.simple = at != std::string::npos;
      if (last.simple) {
        last.before = probe.substr(0, at);
        last.after = probe.substr(at + marker.size());
      }
      last.base = absoluteString;
    }
    // Paths that need no escaping come out of the parser unchanged; the rest go through it.
    const bool plain = path->find_first_of(" %?#\\\"<>") == std::string::npos;
    if (last.simple && plain) return last.before + (path->starts_with('/') ? *path : "/" + *path) + last.after;
  }
  return build(absoluteString, path, query);
}

}  // namespace keel
