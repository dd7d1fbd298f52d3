// Query: which objects of one backend class to fetch — conditions on fields, sort order, paging,
// related objects to include whole, fields to select, and how the result cache is used. The
// builders change the query's own MutableQueryState and return the query, so calls chain:
//
//   auto query = Query::queryWithClassName("Video");
//   query->whereKeyEqualTo("Type", "Relax").orderByAscending("Mins").setLimit(20);
//
// A query can also be written as a predicate (queryWithClassNamePredicate): the text is parsed,
// normalised and mapped onto the same builders. Values always travel as arguments ("%@"), never
// as text spliced into the predicate.
//
// Running a query copies its state first; while a run is in flight the builders refuse to change
// the query ("This query has an outstanding network connection. ..."), except setLimit, setSkip,
// setMaxCacheAge, setTrace, redirectClassNameForKey, orderBySortDescriptors and
// whereRelatedToObject: the run works on its own copy, so they cannot disturb it. A query is a
// value reference, so it can be an operand of another query's condition ($inQuery, $select) and
// an element of an or-query.
//
// Thread-safety: every member may be called from any thread; the query's state and its running
// token source are guarded by the query's own lock. Queries are held by std::shared_ptr
// (QueryPtr). Two queries are equal when their states are.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <keel/base/Value.h>
#include <keel/objects/QueryState.h>
#include <keel/tasks/CancellationToken.h>
#include <keel/tasks/Task.h>

namespace keel {

class GeoPoint;
class Object;
class Predicate;
class Query;
using QueryPtr = std::shared_ptr<Query>;
using GeoPointPtr = std::shared_ptr<GeoPoint>;
using ObjectPtr = std::shared_ptr<Object>;

// One sort key and its direction, as orderBySortDescriptor(s) take them. A descriptor without a
// key is ignored.
struct SortDescriptor {
  std::optional<std::string> key;
  bool ascending = true;
};

class Query : public ValueReference {
 public:
  // Construction. Each throws InvalidArgumentException for a class name that is not a backend
  // class name ([A-Za-z_][A-Za-z0-9_]*): it becomes part of the request path.
  static QueryPtr queryWithClassName(const std::string& className);
  // Returns a query over a mutable copy of `state`.
  static QueryPtr queryWithState(const QueryState& state);
  // Returns a query on the subqueries' class whose only condition is "$or" -> the subqueries.
  // Throws InvalidArgumentException for no subqueries, a null one ("All elements should be
  // instances of `Query` class.") or mixed classes ("All sub queries of an `or` query should be
  // on the same class."). The subqueries' limits, order and keys are checked when the query is
  // run (they are refused there, not here).
  static QueryPtr orQueryWithSubqueries(const std::vector<QueryPtr>& subqueries);
  // Returns the query `predicate` describes; see Predicate.h for the grammar. Throws
  // InvalidArgumentException for predicates a query cannot express.
  static QueryPtr queryWithClassNamePredicate(const std::string& className,
                                              const std::shared_ptr<const Predicate>& predicate);
  // Parses `format` with `arguments` (Predicate::predicateWithFormat) and returns its query.
  static QueryPtr queryWithClassNamePredicate(const std::string& className, std::string_view format,
                                              const std::vector<Value>& arguments = {});
  // Returns a new query of the same class over a copy of this query's state.
  QueryPtr copy() const;

  // Properties.
  std::string className() const override;
  Query& setClassName(const std::string& className);
  std::int64_t limit() const;
  // REQUIRES: limit >= 0, or -1 for "not set". Throws InvalidArgumentException otherwise.
  Query& setLimit(std::int64_t limit);
  std::int64_t skip() const;
  // REQUIRES: skip >= 0. Throws InvalidArgumentException otherwise.
  Query& setSkip(std::int64_t skip);
  // Never throws: reading the policy of a running query is harmless.
  CachePolicy cachePolicy() const;
  // Throws InternalInconsistencyException "Method not allowed when Pinning is enabled." when
  // the local datastore is enabled, and the outstanding-connection exception while running.
  Query& setCachePolicy(CachePolicy policy);
  double maxCacheAge() const;
  // REQUIRES: seconds >= 0 (+infinity for no limit). Throws InvalidArgumentException otherwise.
  Query& setMaxCacheAge(double seconds);
  bool trace() const;
  Query& setTrace(bool trace);

  // Conditions. Each replaces an equality condition on the key; operators on one key combine.
  // Equality and not-equal take a string, number, date, null, object or geo point, else throw
  // InvalidArgumentException "Cannot do a comparison query for type: %@".
  Query& whereKeyEqualTo(const std::string& key, const Value& object);
  Query& whereKeyNotEqualTo(const std::string& key, const Value& object);
  // The ordering conditions take a string, number or date, else throw InvalidArgumentException
  // "Cannot do a query that requires ordering for type: %@".
  Query& whereKeyLessThan(const std::string& key, const Value& object);
  Query& whereKeyLessThanOrEqualTo(const std::string& key, const Value& object);
  Query& whereKeyGreaterThan(const std::string& key, const Value& object);
  Query& whereKeyGreaterThanOrEqualTo(const std::string& key, const Value& object);
  Query& whereKeyContainedIn(const std::string& key, const Array& array);
  Query& whereKeyNotContainedIn(const std::string& key, const Array& array);
  Query& whereKeyContainsAllObjectsInArray(const std::string& key, const Array& array);
  Query& whereKeyNearGeoPoint(const std::string& key, const GeoPointPtr& geoPoint);
  Query& whereKeyNearGeoPointWithinRadians(const std::string& key, const GeoPointPtr& geoPoint, double radians);
  Query& whereKeyNearGeoPointWithinMiles(const std::string& key, const GeoPointPtr& geoPoint, double miles);
  Query& whereKeyNearGeoPointWithinKilometers(const std::string& key, const GeoPointPtr& geoPoint, double kilometers);
  Query& whereKeyWithinGeoBoxFromSouthwest(const std::string& key, const GeoPointPtr& southwest,
                                           const GeoPointPtr& northeast);
  Query& whereKeyMatchesRegex(const std::string& key, const std::string& regex);
  // Replaces any earlier condition on the key; "$options" only when `modifiers` is not empty.
  Query& whereKeyMatchesRegex(const std::string& key, const std::string& regex, const std::string& modifiers);
  // The text is matched literally (quoted; see QueryUtilities::regexStringForString).
  Query& whereKeyContainsString(const std::string& key, const std::string& substring);
  Query& whereKeyHasPrefix(const std::string& key, const std::string& prefix);
  Query& whereKeyHasSuffix(const std::string& key, const std::string& suffix);
  Query& whereKeyExists(const std::string& key);
  Query& whereKeyDoesNotExist(const std::string& key);
  // Throws InvalidArgumentException for a null query.
  Query& whereKeyMatchesQuery(const std::string& key, const QueryPtr& query);
  Query& whereKeyDoesNotMatchQuery(const std::string& key, const QueryPtr& query);
  Query& whereKeyMatchesKey(const std::string& key, const std::string& otherKey, const QueryPtr& query);
  Query& whereKeyDoesNotMatchKey(const std::string& key, const std::string& otherKey, const QueryPtr& query);
  // Objects whose relation `key` of `object` holds them.
  Query& whereRelatedToObject(const Value& object, const std::string& key);
  // The general form: adds `condition` -> `object` to the operator dictionary of `key`.
  Query& whereKeyCondition(const std::string& key, const std::string& condition, const Value& object);

  // Order. The "orderBy" forms replace the sort keys, the "add" forms append one; an empty key
  // is ignored.
  Query& orderByAscending(const std::string& key);
  Query& orderByDescending(const std::string& key);
  Query& addAscendingOrder(const std::string& key);
  Query& addDescendingOrder(const std::string& key);
  Query& orderBySortDescriptor(const SortDescriptor& descriptor);
  Query& orderBySortDescriptors(const std::vector<SortDescriptor>& descriptors);

  // Keys.
  Query& includeKey(const std::string& key);
  Query& includeKeys(const std::vector<std::string>& keys);
  // Adds `keys` to the selected keys (an empty list still switches selection on); no value
  // switches selection off.
  Query& selectKeys(const std::optional<std::vector<std::string>>& keys);
  Query& redirectClassNameForKey(const std::string& key);

  // Local datastore. Each throws InternalInconsistencyException "Method requires Pinning
  // enabled." unless the local datastore is enabled.
  Query& fromLocalDatastore();
  Query& fromPin();
  Query& fromPinWithName(const std::string& name);
  Query& ignoreACLs();

  // Returns a frozen copy of the state.
  QueryStatePtr state() const;
  // Returns true iff a command of this query is running.
  bool isRunning() const;
  // Cancels the running command, if any, and forgets it.
  void cancel();

  // ---- Running ----
  //
  // Every run copies the state, marks the query running (refused, with the outstanding-connection
  // exception, while another run is in flight; an invalid state throws before anything is
  // marked) and sends it through the current manager's query controller with the signed-in
  // user's session token. The query is idle again once the run has ended, however it ends.
  // Runs need a configured Keel (Keel::setApplicationId), else they throw
  // InternalInconsistencyException.
  //
  // The blocking forms wait on the calling thread and return the result, or an empty value with
  // the error in *error; they never throw for what the server or the cache sent. The task forms
  // return at once. The callback forms call `block` on the main thread (not for a cancelled run).
  // Policy CacheThenNetwork works only with the callback forms, which call the block twice: with
  // the cached result (or the cache's error), then with the network's. Both halves are one run:
  // cancel() during either ends both. The blocking and task forms throw
  // InternalInconsistencyException for it.

  using ObjectsBlock = std::function<void(std::vector<ObjectPtr>, ErrorPtr)>;
  using ObjectBlock = std::function<void(ObjectPtr, ErrorPtr)>;
  using CountBlock = std::function<void(std::int64_t, ErrorPtr)>;

  std::vector<ObjectPtr> findObjects(ErrorPtr* error = nullptr);
  Task<std::vector<ObjectPtr>> findObjectsInBackground();
  void findObjectsInBackgroundWithBlock(ObjectsBlock block);

  // Sets this query's limit to 1 and returns the first object found; no object is error 101
  // "No results matched the query.".
  ObjectPtr getFirstObject(ErrorPtr* error = nullptr);
  Task<ObjectPtr> getFirstObjectInBackground();
  void getFirstObjectInBackgroundWithBlock(ObjectBlock block);

  // Rewrites this query to the one object with `objectId` (limit 1, skip 0, no other condition)
  // and returns it as getFirstObject does.
  ObjectPtr getObjectWithId(const std::string& objectId, ErrorPtr* error = nullptr);
  Task<ObjectPtr> getObjectInBackgroundWithId(const std::string& objectId);
  void getObjectInBackgroundWithId(const std::string& objectId, ObjectBlock block);
  static ObjectPtr getObjectOfClass(const std::string& className, const std::string& objectId,
                                    ErrorPtr* error = nullptr);

  // Returns how many objects match; the blocking form returns -1 when the run produced no count.
  std::int64_t countObjects(ErrorPtr* error = nullptr);
  Task<std::int64_t> countObjectsInBackground();
  void countObjectsInBackgroundWithBlock(CountBlock block);

  // The result cache of this query's find for the signed-in user.
  bool hasCachedResult();
  void clearCachedResult();
  static void clearAllCachedResults();

  bool isEqual(const ValueReference& other) const override;
  std::size_t hash() const override;
  std::string description() const override;

  // --- For the query runners ---

  // Checks that `state` can be run, and so that building its command cannot throw later:
  // ignoreACLs only with the local datastore, a valid class name, limits, order and keys of
  // or-subqueries. Throws the exception the command would throw.
  static void _validateStateForRun(const QueryState& state);
  // Validates the current state, then marks the query running with a new token source and
  // returns it with the frozen state. Throws (and stays idle) when the state is invalid or a run
  // is in flight ("This query has an outstanding network connection. ...").
  std::pair<CancellationTokenSourcePtr, QueryStatePtr> _beginRun();
  // Marks the query idle iff `source` is the running one. Call on every outcome of a run.
  void _endRun(const CancellationTokenSourcePtr& source);
  // Changes the query's own state with `change` under its lock, for forms such as
  // getObjectWithId that rewrite the query. Throws as the builders do while running.
  void _changeState(const std::function<void(MutableQueryState&)>& change);

  explicit Query(std::shared_ptr<MutableQueryState> state);

 private:
  // Runs `change` on the state under the lock, after the outstanding-connection check.
  Query& build(const std::function<void(MutableQueryState&)>& change);
  // Runs `change` on the state under the lock, without the check.
  Query& buildAlways(const std::function<void(MutableQueryState&)>& change);
  void checkIfCommandIsRunningLocked() const;
  // Runs `work` with the marked run's source and frozen state (see Running); the query is idle
  // again when the returned task completes.
  template <typename T, typename Work>
  Task<T> runMarked(const CancellationTokenSourcePtr& source, const QueryStatePtr& state, bool endsRun, Work work);
  template <typename T, typename Work>
  void runWithBlock(Work work, std::function<void(T, ErrorPtr)> block);

  mutable std::recursive_mutex mutex_;
  std::shared_ptr<MutableQueryState> state_;
  CancellationTokenSourcePtr runningSource_;
};

// Throws InvalidArgumentException unless `className` is a backend class name: a letter or "_"
// then letters, digits and "_". Such names are safe as one path segment of a request.
void checkQueryClassName(const std::string& className);

}  // namespace keel
