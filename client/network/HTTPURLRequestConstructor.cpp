#include <keel/network/HTTPURLRequestConstructor.h>

#include <keel/base/Exception.h>
#include <keel/base/JSONSerialization.h>

namespace keel {

platform::HTTPRequest HTTPURLRequestConstructor::urlRequestWithURL(std::string url, std::string method,
                                                                   platform::HeaderList headers,
                                                                   const std::optional<Dictionary>& parameters) {
  return urlRequestWithURLParametersValue(std::move(url), std::move(method), std::move(headers),
                                          parameters ? Value(*parameters) : Value());
}

platform::HTTPRequest HTTPURLRequestConstructor::urlRequestWithURLParametersValue(std::string url, std::string method,
                                                                                  platform::HeaderList headers,
                                                                                  const Value& parameters) {
  platform::HTTPRequest request;
  request.url = std::move(url);
  request.method = std::move(method);
  request.headers = std::move(headers);
  if (!parameters.isNull()) {
    consistencyAssert(request.method == "POST" || request.method == "PUT", "Can't create %@ request with json body.",
                      request.method);
    platform::setHeader(request.headers, "Content-Type", kJSONContentType);
    try {
      request.body = JSONSerialization::stringFromJSONObject(parameters);
    } catch (const Exception& e) {
      throw InternalInconsistencyException(formatMessage("Failed to serialize JSON with error = %@", e.reason()));
    }
  }
  return request;
}

}  // namespace keel
