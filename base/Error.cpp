#include <keel/base/Error.h>

#include <fmt/format.h>

namespace keel {

Error::Error(std::string domain, long code, Dictionary userInfo)
    : ValueReference(ReferenceKind::Error), domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

ErrorPtr Error::make(std::string domain, long code, Dictionary userInfo) {
  return std::make_shared<const Error>(std::move(domain), code, std::move(userInfo));
}

ErrorPtr Error::keel(long code, const std::string& message) {
  return make(kErrorDomain, code, Dictionary{{"code", Value(code)}, {"error", Value(message)}});
}

std::string Error::localizedDescription() const {
  if (const Value* v = userInfo_.find(kLocalizedDescriptionKey); v && v->isString()) {
    return v->stringValue();
  }
  if (const Value* v = userInfo_.find("error"); v && v->isString()) return v->stringValue();
  return fmt::format("The operation couldn't be completed. ({} error {}.)", domain_, code_);
}

bool Error::isEqual(const ValueReference& other) const {
  if (other.referenceKind() != ReferenceKind::Error) return false;
  auto o = static_cast<const Error*>(&other);
  return o->domain_ == domain_ && o->code_ == code_ && o->userInfo_ == userInfo_;
}

std::size_t Error::hash() const { return std::hash<std::string>()(domain_) ^ std::hash<long>()(code_); }

std::string Error::description() const {
  return fmt::format("Error Domain={} Code={} \"{}\" UserInfo={}", domain_, code_,
                     localizedDescription(), Value(userInfo_).description());
}

Value Error::toValue(const ErrorPtr& error) {
  if (!error) return Value();
  return Value(std::const_pointer_cast<Error>(error));
}

ErrorPtr Error::fromValue(const Value& value) { return value.as<const Error>(); }

}  // namespace keel
