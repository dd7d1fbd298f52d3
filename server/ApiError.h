// ApiError: a failure that the backend reports to its caller as a JSON body {"code", "error"}
// with a 4xx status. Handlers throw it; the dispatcher turns it into the reply, so a refused
// request never leaves half of its changes behind (the request's transaction rolls back).
//
// Thread-safety: a plain value.
#pragma once

#include <stdexcept>
#include <string>

namespace keel::server {

// The codes clients react to; their texts are part of what callers rely on.
enum ErrorCode : int {
  kInternalServerError = 1,
  kObjectNotFound = 101,
  kInvalidQuery = 102,
  kInvalidClassName = 103,
  kInvalidKeyName = 105,
  kInvalidJSON = 107,
  kCommandUnavailable = 108,
  kIncorrectType = 111,
  kOperationForbidden = 119,
  kInvalidNestedKey = 121,
  kInvalidACL = 123,
  kInvalidEmailAddress = 125,
  kMissingRequiredField = 135,
  kChangedImmutableField = 136,
  kScriptFailed = 141,
  kRequestLimitExceeded = 155,
  kUsernameMissing = 200,
  kPasswordMissing = 201,
  kUsernameTaken = 202,
  kEmailTaken = 203,
  kEmailMissing = 204,
  kUserCannotBeAlteredWithoutSession = 206,
  kAccountAlreadyLinked = 208,
  kInvalidSessionToken = 209,
  kUnsupportedService = 252,
};

class ApiError : public std::runtime_error {
 public:
  ApiError(int code, const std::string& message, int status = 0)
      : std::runtime_error(message), code_(code), status_(status ? status : defaultStatus(code)) {}

  int code() const { return code_; }
  int status() const { return status_; }

  // Returns the HTTP status a code travels with when the thrower names none.
  static int defaultStatus(int code) {
    switch (code) {
      case kObjectNotFound: return 404;
      case kOperationForbidden: return 403;
      case kInternalServerError: return 500;
      default: return 400;
    }
  }

 private:
  int code_;
  int status_;
};

}  // namespace keel::server
