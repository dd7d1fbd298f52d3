// HTTPURLRequestConstructor: builds one HTTP request from a URL, a method, header fields and
// optional JSON parameters, which become a compact JSON body with
// "Content-Type: application/json; charset=utf-8".
//
// Thread-safety: class operations only; safe from any thread.
#pragma once

#include <optional>
#include <string>

#include <keel/base/Value.h>
#include <keel/platform/HTTPSession.h>

namespace keel {

inline constexpr const char* kJSONContentType = "application/json; charset=utf-8";

class HTTPURLRequestConstructor {
 public:
  // Returns the request with exactly `headers`, plus Content-Type and a body when `parameters`
  // are given. Throws InternalInconsistencyException "Can't create %@ request with json body."
  // when parameters come with a method other than "POST" or "PUT", and "Failed to serialize JSON
  // with error = %@" when they cannot be written as JSON.
  static platform::HTTPRequest urlRequestWithURL(std::string url, std::string method, platform::HeaderList headers,
                                                 const std::optional<Dictionary>& parameters);
  // As above with the parameters as a Value: a dictionary, or null for none.
  static platform::HTTPRequest urlRequestWithURLParametersValue(std::string url, std::string method,
                                                                platform::HeaderList headers, const Value& parameters);
};

}  // namespace keel
