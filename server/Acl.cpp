#include "server/Acl.h"

#include <fmt/format.h>

#include "server/ApiError.h"

namespace keel::server {

namespace {

[[noreturn]] void invalidACL(const std::string& why) { throw ApiError(kInvalidACL, "Invalid ACL: " + why); }

bool isPrincipal(std::string_view key) {
  if (key == "*") return true;
  std::string_view name = key;
  if (key.starts_with("role:")) name = key.substr(5);
  if (name.empty() || name.size() > 128) return false;
  for (char c : name)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == ' ')) return false;
  return true;
}

// Returns true iff `fields` grants `kind` to one of `principals`; an object without a list is
// open to everyone.
bool grants(const json::object& fields, const std::vector<std::string>& principals, std::string_view kind) {
  const auto* acl = fields.if_contains("ACL");
  if (!acl || !acl->is_object()) return true;
  for (const auto& p : principals) {
    const auto* entry = acl->get_object().if_contains(p);
    if (!entry || !entry->is_object()) continue;
    const auto* granted = entry->get_object().if_contains(kind);
    if (granted && granted->is_bool() && granted->get_bool()) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> AccessScope::principals() const {
  std::vector<std::string> out{"*"};
  if (!userId.empty()) out.push_back(userId);
  return out;
}

void checkACL(const json::value& acl) {
  if (!acl.is_object()) invalidACL("it must be an object");
  for (const auto& entry : acl.get_object()) {
    if (!isPrincipal(entry.key())) invalidACL(fmt::format("\"{}\" is not a user id, role or \"*\"", std::string(entry.key())));
    if (!entry.value().is_object())
      invalidACL(fmt::format("the permissions of \"{}\" must be an object", std::string(entry.key())));
    for (const auto& kind : entry.value().get_object()) {
      if (kind.key() != "read" && kind.key() != "write")
        invalidACL(fmt::format("unknown permission \"{}\"", std::string(kind.key())));
      if (!kind.value().is_bool()) invalidACL(fmt::format("permission \"{}\" must be a boolean", std::string(kind.key())));
    }
  }
}

std::vector<std::string> readersOf(const json::object& fields) {
  const auto* acl = fields.if_contains("ACL");
  if (!acl || !acl->is_object()) return {"*"};
  std::vector<std::string> out;
  for (const auto& entry : acl->get_object()) {
    if (!entry.value().is_object()) continue;
    const auto* read = entry.value().get_object().if_contains("read");
    if (read && read->is_bool() && read->get_bool()) out.emplace_back(entry.key());
  }
  return out;
}

bool canRead(const json::object& fields, const AccessScope& scope) {
  return scope.master || grants(fields, scope.principals(), "read");
}

bool canWrite(const json::object& fields, const AccessScope& scope) {
  return scope.master || grants(fields, scope.principals(), "write");
}

}  // namespace keel::server
