#include "core/URLConstructor.h"

#include <curl/curl.h>

#include <memory>

#include "core/Exception.h"

namespace keel {

std::string URLConstructor::URLFromAbsoluteString(const std::string& absoluteString, std::optional<std::string> path,
                                                  std::optional<std::string> query) {
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

}  // namespace keel
