// Access control of stored objects. An object's "ACL" field maps principals ("*" for everyone,
// a user's objectId, "role:" + name) to {"read": true} and/or {"write": true}; an object
// without one is open to everyone. The master key passes every check.
//
// Who may read an object is also written to the index table (one "_rperm" entry per reading
// principal, "*" for an object without a list), so a find picks only readable candidates in
// SQL, before its filter, paging and count.
//
// Roles are not resolved here: a "role:" principal is kept and checked for form, but grants
// nothing to a request without the master key.
//
// Thread-safety: plain values and pure functions.
#pragma once

#include <boost/json.hpp>

#include <string>
#include <vector>

namespace keel::server {

namespace json = boost::json;

// Who a request acts as.
struct AccessScope {
  bool master = true;  // internal work (seeds, installation look-ups) is not restricted
  std::string userId;  // the session's user; empty for an anonymous request

  static AccessScope forRequest(bool master, std::string userId) {
    AccessScope s;
    s.master = master;
    s.userId = std::move(userId);
    return s;
  }
  // Returns the principals whose grants apply to this request: "*" and the user's id.
  std::vector<std::string> principals() const;
};

// Index key of the reading principals; a field name can never take this form.
inline constexpr const char* kReadersIndexKey = "_rperm";

// Throws ApiError 123 unless `acl` is a well-formed list: an object whose keys are "*", a
// user id or "role:" + a name, each mapping to an object of "read"/"write" booleans.
void checkACL(const json::value& acl);

// Returns the principals that may read an object with these fields ("*" when it has no list).
std::vector<std::string> readersOf(const json::object& fields);

// Returns true iff the scope may read / write an object with these fields.
bool canRead(const json::object& fields, const AccessScope& scope);
bool canWrite(const json::object& fields, const AccessScope& scope);

}  // namespace keel::server
