// Error: a runtime failure (network, server, cache, files) as a value: a domain, an integer
// code and a user-info dictionary. Errors are immutable once made and are passed around as
// ErrorPtr; failed tasks carry one. An Error is also a ValueReference, so a user-info
// dictionary can hold another error (for example under "originalError").
//
// Thread-safety: immutable; safe to share between threads.
#pragma once

#include <memory>
#include <string>

#include <keel/base/Value.h>

namespace keel {

class Error;
using ErrorPtr = std::shared_ptr<const Error>;

// The library's own error domain.
inline constexpr const char* kErrorDomain = "Keel";
// The user-info key of the human-readable text of an error.
inline constexpr const char* kLocalizedDescriptionKey = "localizedDescription";

class Error : public ValueReference {
 public:
  static constexpr ReferenceKind kReferenceKind = ReferenceKind::Error;
  using ReferenceKindRoot = Error;

  Error(std::string domain, long code, Dictionary userInfo = {});

  // Returns a new error.
  static ErrorPtr make(std::string domain, long code, Dictionary userInfo = {});
  // Returns an error in the "Keel" domain whose user info holds `message` under "error"
  // and the code under "code".
  static ErrorPtr keel(long code, const std::string& message);

  const std::string& domain() const { return domain_; }
  long code() const { return code_; }
  const Dictionary& userInfo() const { return userInfo_; }
  // Returns the user info's localized description, else its "error" text, else a generic text
  // naming the domain and code.
  std::string localizedDescription() const;

  // ValueReference
  std::string className() const override { return "Error"; }
  bool isEqual(const ValueReference& other) const override;
  std::size_t hash() const override;
  // "Error Domain=<domain> Code=<code> "<localized description>" UserInfo={...}"
  std::string description() const override;

  // Returns this error as a Value, for storing it in a user-info dictionary.
  static Value toValue(const ErrorPtr& error);
  // Returns the error a Value holds, or nullptr.
  static ErrorPtr fromValue(const Value& value);

 private:
  std::string domain_;
  long code_;
  Dictionary userInfo_;
};

}  // namespace keel
