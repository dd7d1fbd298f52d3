// QueryState: the immutable description of one query — class, conditions, order, selected and
// included keys, paging, cache policy and age, tracing and the local-datastore switches.
// MutableQueryState is the same with setters; `Query` keeps one and changes it through its
// builders, and hands a frozen copy to each run, so a run never sees later builder calls.
//
// Conditions are kept as the builders wrote them, before any encoding: an equality condition is
// the value itself under the field name; operator conditions are a dictionary operator -> operand
// under the field name ({"$gt": 5, "$lt": 10}); "$or" holds an array of subqueries and
// "$relatedTo" {"object": object, "key": key}. Operands may hold objects and queries; the find
// command encodes them.
//
// Selected and included keys are sorted sets: two queries that select the same keys in another
// order send the same text and share a cache entry.
//
// Thread-safety: a QueryState is immutable once built and may be read from any thread. A
// MutableQueryState is a plain value: guard it like one (Query does, under its own lock).
// States are shared as std::shared_ptr; copy() and mutableCopy() return new states.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <keel/base/Value.h>
#include <keel/objects/BaseState.h>

namespace keel {

// How a find uses the result cache. The numbers are fixed: callers and tools name policies by
// them.
enum class CachePolicy : std::uint8_t {
  IgnoreCache = 0,
  CacheOnly = 1,
  NetworkOnly = 2,
  CacheElseNetwork = 3,
  NetworkElseCache = 4,
  CacheThenNetwork = 5,
};

class MutableQueryState;

class QueryState : public BaseState {
 public:
  // The limit of a state that has none: no "limit" is sent and the server's default page applies.
  static constexpr std::int64_t kNoLimit = -1;

  explicit QueryState(std::string className);
  QueryState(const QueryState&) = default;
  QueryState& operator=(const QueryState&) = default;
  ~QueryState() override = default;

  const std::string& className() const { return className_; }
  const Dictionary& conditions() const { return conditions_; }
  const std::vector<std::string>& sortKeys() const { return sortKeys_; }
  // Empty when nothing is included.
  const std::set<std::string>& includedKeys() const { return includedKeys_; }
  // No value: every field is returned. An empty set still switches selection on.
  const std::optional<std::set<std::string>>& selectedKeys() const { return selectedKeys_; }
  const Dictionary& extraOptions() const { return extraOptions_; }
  std::int64_t limit() const { return limit_; }
  std::int64_t skip() const { return skip_; }
  CachePolicy cachePolicy() const { return cachePolicy_; }
  // Seconds; +infinity accepts a cached result of any age.
  double maxCacheAge() const { return maxCacheAge_; }
  bool trace() const { return trace_; }
  bool shouldIgnoreACLs() const { return shouldIgnoreACLs_; }
  bool shouldIncludeDeletingEventually() const { return shouldIncludeDeletingEventually_; }
  bool queriesLocalDatastore() const { return queriesLocalDatastore_; }
  const std::optional<std::string>& localDatastorePinName() const { return localDatastorePinName_; }

  // Returns the sort keys joined with ",", e.g. "-createdAt,name".
  std::string sortOrderString() const;

  // Returns an immutable copy (a plain QueryState even when called on a mutable one).
  std::shared_ptr<const QueryState> copy() const;
  // Returns a mutable copy.
  std::shared_ptr<MutableQueryState> mutableCopy() const;

  // Equality, hashing and description come from BaseState over these fields in declared order.
  // Conditions compare as values (numbers across kinds, dictionaries regardless of order,
  // queries by their states); sets as their sorted arrays, a missing selection as null.
  PropertyList propertyValues() const override;
  std::string stateFamily() const override { return "QueryState"; }

 protected:
  std::string className_;
  Dictionary conditions_;
  std::vector<std::string> sortKeys_;
  std::set<std::string> includedKeys_;
  std::optional<std::set<std::string>> selectedKeys_;
  Dictionary extraOptions_;
  std::int64_t limit_ = kNoLimit;
  std::int64_t skip_ = 0;
  CachePolicy cachePolicy_ = CachePolicy::IgnoreCache;
  double maxCacheAge_ = std::numeric_limits<double>::infinity();
  bool trace_ = false;
  bool shouldIgnoreACLs_ = false;
  bool shouldIncludeDeletingEventually_ = false;
  bool queriesLocalDatastore_ = false;
  std::optional<std::string> localDatastorePinName_;
};

class MutableQueryState : public QueryState {
 public:
  using QueryState::QueryState;
  explicit MutableQueryState(const QueryState& state) : QueryState(state) {}

  void setClassName(std::string className) { className_ = std::move(className); }

  // Conditions.
  // Stores `value` itself under `key`, replacing whatever condition the key had.
  void setEqualityConditionWithObject(Value value, const std::string& key);
  // Adds `op` -> `operand` to the operator dictionary of `key`; an equality condition on the
  // key is replaced by a new dictionary.
  void setConditionType(const std::string& op, Value operand, const std::string& key);
  // Stores {"object": object, "key": key} under "$relatedTo".
  void setRelationConditionWithObject(Value object, const std::string& key);
  // Stores `condition` as it is under `key` (an operator dictionary, "$or" subqueries).
  void setConditionForKey(const std::string& key, Value condition);
  void removeAllConditions() { conditions_.clear(); }

  // Order.
  void sortByKey(const std::string& key, bool ascending);
  void addSortKey(const std::string& key, bool ascending);
  void setSortKeys(std::vector<std::string> sortKeys) { sortKeys_ = std::move(sortKeys); }

  // Keys.
  void includeKey(const std::string& key) { includedKeys_.insert(key); }
  void includeKeys(const std::vector<std::string>& keys);
  // Adds `keys` to the selected keys, switching selection on; no value switches it off.
  void selectKeys(const std::optional<std::vector<std::string>>& keys);

  void redirectClassNameForKey(const std::string& key);
  void setExtraOption(const std::string& name, Value value) { extraOptions_.set(name, std::move(value)); }

  void setLimit(std::int64_t limit) { limit_ = limit; }
  void setSkip(std::int64_t skip) { skip_ = skip; }
  void setCachePolicy(CachePolicy policy) { cachePolicy_ = policy; }
  void setMaxCacheAge(double seconds) { maxCacheAge_ = seconds; }
  void setTrace(bool trace) { trace_ = trace; }
  void setShouldIgnoreACLs(bool v) { shouldIgnoreACLs_ = v; }
  void setShouldIncludeDeletingEventually(bool v) { shouldIncludeDeletingEventually_ = v; }
  void setQueriesLocalDatastore(bool v) { queriesLocalDatastore_ = v; }
  void setLocalDatastorePinName(std::optional<std::string> name) { localDatastorePinName_ = std::move(name); }
};

using QueryStatePtr = std::shared_ptr<const QueryState>;
using MutableQueryStatePtr = std::shared_ptr<MutableQueryState>;

}  // namespace keel
