#include <keel/base/ErrorUtilities.h>

#include <keel/base/Logger.h>

namespace keel {

ErrorPtr ErrorUtilities::errorWithCode(long code, const std::string& message, bool shouldLog) {
  return errorFromResult(Dictionary{{"code", Value(code)}, {"error", Value(message)}}, shouldLog);
}

ErrorPtr ErrorUtilities::errorFromResult(const Dictionary& result, bool shouldLog) {
  const long code = static_cast<long>(result["code"].int64Value());
  const Value& message = result["error"];
  if (shouldLog) logError("%@ (Code: %ld, Version: %@)", message, code, kKeelLibraryVersion);
  Dictionary userInfo = result;
  if (message.isString()) userInfo.set(kLocalizedDescriptionKey, message);
  return Error::make(kErrorDomain, code, std::move(userInfo));
}

}  // namespace keel
