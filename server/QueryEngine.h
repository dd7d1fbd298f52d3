// QueryEngine: answers finds over the Store: compiles a "where" dictionary into a predicate
// (validating every operator before anything is read), picks the cheapest way to the
// candidates (object id, an indexed equality, relation members, else a class scan), then
// filters, sorts, pages, counts and renders the objects with "keys" and "include" applied.
//
// Sub-queries ($inQuery, $notInQuery, $select, $dontSelect) are run once, when the predicate
// is compiled, not once per candidate, and honour their own "order", "skip" and "limit".
//
// Paged syncs order by createdAt and objectId and ask for the page after the last pair seen.
// Such an order is answered by SQL over the (class, created_at, id) index, and bounds on
// createdAt/objectId in the "where" (also inside "$or"/"$and") narrow the rows SQL reads, so a
// page costs about its own size in document reads instead of a parse and sort of the class.
// The SQL bound is only ever a superset: the compiled predicate still decides every row.
//
// Every object it reads, for results, sub-queries and includes alike, passes the access
// scope's read check first: an object the caller may not read is as absent as a missing one.
//
// Thread-safety: one per request, on the thread that holds the connection's lease.
#pragma once

#include <boost/json.hpp>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "server/Acl.h"
#include "server/Store.h"

namespace keel::server {

// A selection of keys: an empty `all` set of children means the key is taken whole.
struct KeySelection {
  bool whole = false;
  std::map<std::string, KeySelection> children;
};

class QueryEngine {
 public:
  explicit QueryEngine(StoreConnection& store, AccessScope access = {}) : store_(store), access_(std::move(access)) {}

  // Runs a find of `className` with the request parameters ("where", "order", "limit",
  // "skip", "keys", "include", "count", "redirectClassNameForKey", "trace") and returns the
  // reply {"results": [...], "count"?, "className"?, "trace"?}. Throws ApiError 102 for an
  // invalid query.
  json::object find(const std::string& className, const json::object& params);

  // Returns the rendered form of one stored object with optional "keys" and "include" (the
  // same texts a find takes).
  json::object render(const StoredObject& object, const json::value* keys, const json::value* include);

  // Returns the objects of the class that match `where`, in insertion order (for writers that
  // need the same matching, e.g. installations by id).
  std::vector<StoredObject> matching(const std::string& className, const json::object& where);

  // Returns whom this engine reads for.
  const AccessScope& access() const { return access_; }

  using Predicate = std::function<bool(const StoredObject&)>;

 private:
  struct Plan;
  struct Compiled;
  Compiled compile(const std::string& className, const json::object& where, int depth);
  Predicate compileField(const std::string& className, const std::string& key, const json::value& condition,
                         Compiled& out, int depth);
  std::vector<StoredObject> runSubquery(const json::object& query, std::string& className, int depth);
  // Returns the matches in the query's final order; when no count is needed and the order
  // allows it, reading stops once `pageEnd` objects matched.
  std::vector<StoredObject> select(const std::string& className, const Compiled& compiled,
                                   const std::vector<std::string>& order, bool wantCount, std::size_t pageEnd,
                                   std::string* planText);
  std::vector<StoredObject> collect(const std::string& className, const Compiled& compiled,
                                    const std::string* sqlOrder, std::size_t stopAfter, std::string* planText);
  json::object renderSelected(const StoredObject& object, const KeySelection* keys);
  void applyInclude(json::object& rendered, const std::vector<std::string>& path, std::size_t index,
                    const KeySelection* keys, std::map<std::string, std::optional<StoredObject>>& cache);

  StoreConnection& store_;
  AccessScope access_;
};

// Returns the value of `key` in a stored object ("objectId", "createdAt" and "updatedAt"
// included; dotted keys walk into plain dictionaries), or nullptr when it has none. `scratch`
// holds values made on the fly.
const json::value* fieldValue(const StoredObject& object, std::string_view key, json::value& scratch);

}  // namespace keel::server
