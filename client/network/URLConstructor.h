// URLConstructor: builds absolute URLs from a base text by replacing its path and/or query.
//
// Thread-safety: class operations only; safe from any thread.
#pragma once

#include <optional>
#include <string>

namespace keel {

class URLConstructor {
 public:
  // Returns `absoluteString` with its path replaced by `path` and its query by `query` when they
  // are given (a path without a leading "/" gets one). Throws InvalidArgumentException when
  // `absoluteString` is not an absolute URL.
  static std::string URLFromAbsoluteString(const std::string& absoluteString, std::optional<std::string> path,
                                           std::optional<std::string> query);
};

}  // namespace keel
