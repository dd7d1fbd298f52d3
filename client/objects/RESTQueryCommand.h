// RESTQueryCommand: the REST form of a query. A find is a "GET" of "classes/<class>" whose
// parameters say which objects ("where"), in which order, how many, which keys; a count is the
// same request asking for "count" and no objects. The command runner sends a "GET" with
// parameters as a "POST" whose JSON body also carries "_method": "GET".
//
// Parameters, each only when it applies:
//   "order"    the sort keys joined with ","              when there are sort keys
//   "keys"     the selected keys, sorted, joined with "," when selection is on (even "" for none)
//   "include"  the included keys, sorted, joined          when any are included
//   "limit"    decimal text of the 64-bit limit           when the limit is set (>= 0)
//   "skip"     decimal text of the 64-bit skip            when the skip is >= 1
//   "trace"    "1"                                         when tracing
//   extra options (e.g. "redirectClassNameForKey"), copied as they are
//   "where"    the encoded conditions                     when there are conditions
//
// In "where", "$or" becomes an array of the subqueries' own "where" dictionaries; any query
// nested in an operand becomes its find parameters plus "className"; objects become pointers
// (an unsaved object is refused), and dates, bytes and geo points their "__type" forms.
//
// Thread-safety: commands are immutable values (see RESTCommand); the static builders may be
// called from any thread, with states and queries that no other thread changes meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <keel/base/Value.h>
#include <keel/network/RESTCommand.h>
#include <keel/objects/QueryState.h>

namespace keel {

class RESTQueryCommand : public RESTCommand {
 public:
  // Returns the find command for `state`. Throws InvalidArgumentException for a class name that
  // is not a backend class name, and for or-subqueries with a limit, skip, order, includes or
  // selected keys ("OR queries do not support sub queries with limits", ...).
  static std::shared_ptr<RESTQueryCommand> findCommandForQueryState(const QueryState& state,
                                                                    std::optional<std::string> sessionToken);
  // Returns the count command for a find command: its path, method and session token, its
  // parameters with "count" = "1" and "limit" = "0" and without "skip".
  static std::shared_ptr<RESTQueryCommand> countCommandFromFindCommand(const RESTCommand& findCommand);

  // Returns the find parameters of `state` (see the file comment).
  static Dictionary findCommandParametersForQueryState(const QueryState& state);
  static Dictionary findCommandParametersWithOrder(const std::string& order, const Dictionary& conditions,
                                                   const std::optional<std::set<std::string>>& selectedKeys,
                                                   const std::set<std::string>& includedKeys, std::int64_t limit,
                                                   std::int64_t skip, const Dictionary& extraOptions,
                                                   bool tracingEnabled);
};

}  // namespace keel
