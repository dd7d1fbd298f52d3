#include <keel/objects/ACL.h>

#include <fmt/format.h>

namespace keel {

ACL::ACL() : ValueReference(ReferenceKind::ACL) {}

std::shared_ptr<ACL> ACL::acl() { return std::make_shared<ACL>(); }

std::shared_ptr<ACL> ACL::ACLWithDictionary(const Dictionary& dictionary) {
  auto acl = std::make_shared<ACL>();
  for (const auto& [principal, kinds] : dictionary) {
    if (!kinds.isDictionary()) continue;
    Dictionary granted;
    for (const auto& [kind, value] : kinds.dictionaryValue()) {
      if (value.isNumber() && value.boolValue()) granted.set(kind, Value(true));
    }
    if (!granted.empty()) acl->permissions_.set(principal, Value(std::move(granted)));
  }
  return acl;
}

std::shared_ptr<ACL> ACL::copy() const {
  auto acl = std::make_shared<ACL>();
  acl->permissions_ = permissions_;
  return acl;
}

bool ACL::isEqual(const ValueReference& other) const {
  if (other.referenceKind() != ReferenceKind::ACL) return false;
  return static_cast<const ACL&>(other).permissions_ == permissions_;
}

std::size_t ACL::hash() const { return permissions_.hash(); }

std::string ACL::description() const {
  return fmt::format("<ACL: {}, permissions: {}>", static_cast<const void*>(this),
                     Value(permissions_).description());
}

}  // namespace keel
