// ErrorUtilities: builds every error the library reports for the backend. An error is in the
// "Keel" domain, its code is the result dictionary's "code", and its user info is the whole
// result dictionary ("code", "error", "temporary", "originalError", ...) plus the localized
// description set to the "error" text when there is one. The logging forms write one error-level
// line "<message> (Code: <code>, Version: 1.9.1)".
//
// Thread-safety: class operations only; safe from any thread.
#pragma once

#include <string>

#include <keel/base/Error.h>
#include <keel/base/Value.h>

namespace keel {

// The library version errors and the client-version header name.
inline constexpr const char* kKeelLibraryVersion = "1.9.1";
// The user-info key under which an error keeps the error that caused it.
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";

class ErrorUtilities {
 public:
  // Returns an error with {"code": code, "error": message}; logs it unless shouldLog is false.
  static ErrorPtr errorWithCode(long code, const std::string& message, bool shouldLog = true);
  // Returns the error a result dictionary describes; logs it unless shouldLog is false.
  static ErrorPtr errorFromResult(const Dictionary& result, bool shouldLog = true);
};

}  // namespace keel
