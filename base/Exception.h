// Exceptions are programming errors: a wrong state or calling order (internal inconsistency) or
// bad input (invalid argument). Runtime failures are Errors, not exceptions. An exception thrown
// inside a task continuation is captured in the task (as std::exception_ptr) and can be rethrown
// by whoever waits for it.
//
// Thread-safety: immutable once thrown.
#pragma once

#include <exception>
#include <string>
#include <vector>

#include <keel/base/Format.h>
#include <keel/base/Value.h>

namespace keel {

inline constexpr const char* kInternalInconsistencyException = "InternalInconsistencyException";
inline constexpr const char* kInvalidArgumentException = "InvalidArgumentException";

class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason, Dictionary userInfo = {});

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const Dictionary& userInfo() const { return userInfo_; }
  // The frames of the stack where the exception was made, when they were recorded (may be empty).
  const std::vector<std::string>& callStackSymbols() const { return callStack_; }
  const char* what() const noexcept override { return reason_.c_str(); }
  std::string description() const { return reason_; }

  // Returns the name and reason of any exception: ours as they are, a std::exception as
  // ("std::exception", what()), anything else as ("UnknownException", "").
  static std::pair<std::string, std::string> describe(const std::exception_ptr& e);

 private:
  std::string name_;
  std::string reason_;
  Dictionary userInfo_;
  std::vector<std::string> callStack_;
};

class InternalInconsistencyException : public Exception {
 public:
  explicit InternalInconsistencyException(std::string reason, Dictionary userInfo = {})
      : Exception(kInternalInconsistencyException, std::move(reason), std::move(userInfo)) {}
};

class InvalidArgumentException : public Exception {
 public:
  explicit InvalidArgumentException(std::string reason, Dictionary userInfo = {})
      : Exception(kInvalidArgumentException, std::move(reason), std::move(userInfo)) {}
};

// Throws InternalInconsistencyException with the formatted message unless `condition` holds.
template <typename... Args>
void consistencyAssert(bool condition, std::string_view format, const Args&... args) {
  if (!condition) throw InternalInconsistencyException(formatMessage(format, args...));
}

// Throws InvalidArgumentException with the formatted message unless `condition` holds.
template <typename... Args>
void parameterAssert(bool condition, std::string_view format, const Args&... args) {
  if (!condition) throw InvalidArgumentException(formatMessage(format, args...));
}

}  // namespace keel
