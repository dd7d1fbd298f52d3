#include <keel/objects/Query.h>

#include <cctype>
#include <cmath>

#include <keel/base/Exception.h>
#include <keel/base/Format.h>
#include <keel/base/JSONSerialization.h>
#include <keel/core/Keel.h>
#include <keel/objects/BackendObject.h>
#include <keel/objects/GeoPoint.h>
#include <keel/objects/Predicate.h>
#include <keel/objects/QueryUtilities.h>
#include <keel/objects/RESTQueryCommand.h>

namespace keel {

namespace {

constexpr const char* kOutstandingConnection =
    "This query has an outstanding network connection. You have to wait until it's done.";

// The class name of a value for the messages: what the application passed.
std::string typeName(const Value& v) {
  switch (v.type()) {
    case Value::Type::Null: return "Null";
    case Value::Type::Number: return "Number";
    case Value::Type::String: return "String";
    case Value::Type::Date: return "Date";
    case Value::Type::Bytes: return "Bytes";
    case Value::Type::Array: return "Array";
    case Value::Type::Dictionary: return "Dictionary";
    case Value::Type::Reference:
      // A query's className() is the backend class it queries, not what it is.
      if (v.as<const Query>()) return "Query";
      return v.constReference()->className();
  }
  return "Value";
}

void checkComparisonValue(const Value& v) {
  const bool ok = v.isString() || v.isNumber() || v.isDate() || v.isNull() ||
                  v.isReferenceOfKind(ReferenceKind::Object) || v.isReferenceOfKind(ReferenceKind::GeoPoint);
  parameterAssert(ok, "Cannot do a comparison query for type: %@", typeName(v));
}

void checkOrderingValue(const Value& v) {
  parameterAssert(v.isString() || v.isNumber() || v.isDate(), "Cannot do a query that requires ordering for type: %@",
                  typeName(v));
}

void checkLocalDatastoreEnabled() {
  consistencyAssert(Keel::isLocalDatastoreEnabled(), "Method requires Pinning enabled.");
}

void checkLocalDatastoreDisabled() {
  consistencyAssert(!Keel::isLocalDatastoreEnabled(), "Method not allowed when Pinning is enabled.");
}

}  // namespace

void checkQueryClassName(const std::string& className) {
  bool ok = !className.empty() && !std::isdigit(static_cast<unsigned char>(className[0]));
  for (char c : className) {
    ok = ok && (std::isalnum(static_cast<unsigned char>(c)) || c == '_') && static_cast<unsigned char>(c) < 0x80;
  }
  parameterAssert(ok,
                  "Invalid class name \"%@\": a class name starts with a letter or \"_\" and holds only letters, "
                  "digits and \"_\".",
                  className);
}

// ---- Construction ----------------------------------------------------------------------------

Query::Query(std::shared_ptr<MutableQueryState> state) : state_(std::move(state)) {}

QueryPtr Query::queryWithClassName(const std::string& className) {
  checkQueryClassName(className);
  return std::make_shared<Query>(std::make_shared<MutableQueryState>(className));
}

QueryPtr Query::queryWithState(const QueryState& state) {
  checkQueryClassName(state.className());
  return std::make_shared<Query>(state.mutableCopy());
}

QueryPtr Query::orQueryWithSubqueries(const std::vector<QueryPtr>& subqueries) {
  // Without a subquery there is no class to query, and an empty "$or" matches nothing on some
  // servers and everything on others.
  parameterAssert(!subqueries.empty(), "Can't create an `or` query from no sub queries.");
  std::optional<std::string> className;
  Array elements;
  for (const auto& q : subqueries) {
    parameterAssert(q != nullptr, "All elements should be instances of `Query` class.");
    const std::string name = q->className();
    parameterAssert(!className || *className == name, "All sub queries of an `or` query should be on the same class.");
    className = name;
    elements.push_back(Value(q));
  }
  auto query = queryWithClassName(*className);
  query->state_->setConditionForKey("$or", Value(std::move(elements)));
  return query;
}

QueryPtr Query::copy() const {
  std::lock_guard lock(mutex_);
  return std::make_shared<Query>(state_->mutableCopy());
}

// ---- Properties ------------------------------------------------------------------------------

std::string Query::className() const {
  std::lock_guard lock(mutex_);
  return state_->className();
}

Query& Query::setClassName(const std::string& className) {
  checkQueryClassName(className);
  return build([&](MutableQueryState& s) { s.setClassName(className); });
}

std::int64_t Query::limit() const {
  std::lock_guard lock(mutex_);
  return state_->limit();
}

Query& Query::setLimit(std::int64_t limit) {
  parameterAssert(limit >= QueryState::kNoLimit, "A query's limit must be -1 (none) or at least 0, not %lld.",
                  static_cast<long long>(limit));
  return buildAlways([&](MutableQueryState& s) { s.setLimit(limit); });
}

std::int64_t Query::skip() const {
  std::lock_guard lock(mutex_);
  return state_->skip();
}

Query& Query::setSkip(std::int64_t skip) {
  parameterAssert(skip >= 0, "A query's skip must be at least 0, not %lld.", static_cast<long long>(skip));
  return buildAlways([&](MutableQueryState& s) { s.setSkip(skip); });
}

CachePolicy Query::cachePolicy() const {
  std::lock_guard lock(mutex_);
  return state_->cachePolicy();
}

Query& Query::setCachePolicy(CachePolicy policy) {
  checkLocalDatastoreDisabled();
  return build([&](MutableQueryState& s) { s.setCachePolicy(policy); });
}

double Query::maxCacheAge() const {
  std::lock_guard lock(mutex_);
  return state_->maxCacheAge();
}

Query& Query::setMaxCacheAge(double seconds) {
  // NaN would make every cached result both too old and not too old.
  parameterAssert(!std::isnan(seconds) && seconds >= 0, "A query's maximum cache age must be at least 0 seconds.");
  return buildAlways([&](MutableQueryState& s) { s.setMaxCacheAge(seconds); });
}

bool Query::trace() const {
  std::lock_guard lock(mutex_);
  return state_->trace();
}

Query& Query::setTrace(bool trace) {
  return buildAlways([&](MutableQueryState& s) { s.setTrace(trace); });
}

// ---- Conditions ------------------------------------------------------------------------------

Query& Query::whereKeyCondition(const std::string& key, const std::string& condition, const Value& object) {
  return build([&](MutableQueryState& s) { s.setConditionType(condition, object, key); });
}

Query& Query::whereKeyEqualTo(const std::string& key, const Value& object) {
  checkComparisonValue(object);
  return build([&](MutableQueryState& s) { s.setEqualityConditionWithObject(object, key); });
}

Query& Query::whereKeyNotEqualTo(const std::string& key, const Value& object) {
  checkComparisonValue(object);
  return whereKeyCondition(key, "$ne", object);
}

Query& Query::whereKeyLessThan(const std::string& key, const Value& object) {
  checkOrderingValue(object);
  return whereKeyCondition(key, "$lt", object);
}

Query& Query::whereKeyLessThanOrEqualTo(const std::string& key, const Value& object) {
  checkOrderingValue(object);
  return whereKeyCondition(key, "$lte", object);
}

Query& Query::whereKeyGreaterThan(const std::string& key, const Value& object) {
  checkOrderingValue(object);
  return whereKeyCondition(key, "$gt", object);
}

Query& Query::whereKeyGreaterThanOrEqualTo(const std::string& key, const Value& object) {
  checkOrderingValue(object);
  return whereKeyCondition(key, "$gte", object);
}

Query& Query::whereKeyContainedIn(const std::string& key, const Array& array) {
  return whereKeyCondition(key, "$in", Value(array));
}

Query& Query::whereKeyNotContainedIn(const std::string& key, const Array& array) {
  return whereKeyCondition(key, "$nin", Value(array));
}

Query& Query::whereKeyContainsAllObjectsInArray(const std::string& key, const Array& array) {
  return whereKeyCondition(key, "$all", Value(array));
}

Query& Query::whereKeyNearGeoPoint(const std::string& key, const GeoPointPtr& geoPoint) {
  parameterAssert(geoPoint != nullptr, "A geo query needs a geo point.");
  return whereKeyCondition(key, "$nearSphere", Value(geoPoint));
}

Query& Query::whereKeyNearGeoPointWithinRadians(const std::string& key, const GeoPointPtr& geoPoint, double radians) {
  parameterAssert(geoPoint != nullptr, "A geo query needs a geo point.");
  return build([&](MutableQueryState& s) {
    s.setConditionType("$nearSphere", Value(geoPoint), key);
    s.setConditionType("$maxDistance", Value(radians), key);
  });
}

Query& Query::whereKeyNearGeoPointWithinMiles(const std::string& key, const GeoPointPtr& geoPoint, double miles) {
  return whereKeyNearGeoPointWithinRadians(key, geoPoint, miles / GeoPoint::kEarthRadiusMiles);
}

Query& Query::whereKeyNearGeoPointWithinKilometers(const std::string& key, const GeoPointPtr& geoPoint,
                                                   double kilometers) {
  return whereKeyNearGeoPointWithinRadians(key, geoPoint, kilometers / GeoPoint::kEarthRadiusKilometers);
}

Query& Query::whereKeyWithinGeoBoxFromSouthwest(const std::string& key, const GeoPointPtr& southwest,
                                                const GeoPointPtr& northeast) {
  parameterAssert(southwest != nullptr && northeast != nullptr, "A geo box needs both corners.");
  return whereKeyCondition(key, "$within", Value(Dictionary{{"$box", Value(Array{Value(southwest), Value(northeast)})}}));
}

Query& Query::whereKeyMatchesRegex(const std::string& key, const std::string& regex) {
  return whereKeyCondition(key, "$regex", Value(regex));
}

Query& Query::whereKeyMatchesRegex(const std::string& key, const std::string& regex, const std::string& modifiers) {
  Dictionary condition{{"$regex", Value(regex)}};
  if (!modifiers.empty()) condition.set("$options", Value(modifiers));
  return build([&](MutableQueryState& s) { s.setConditionForKey(key, Value(condition)); });
}

Query& Query::whereKeyContainsString(const std::string& key, const std::string& substring) {
  return whereKeyMatchesRegex(key, QueryUtilities::regexStringForString(substring));
}

Query& Query::whereKeyHasPrefix(const std::string& key, const std::string& prefix) {
  return whereKeyMatchesRegex(key, "^" + QueryUtilities::regexStringForString(prefix));
}

Query& Query::whereKeyHasSuffix(const std::string& key, const std::string& suffix) {
  return whereKeyMatchesRegex(key, QueryUtilities::regexStringForString(suffix) + "$");
}

Query& Query::whereKeyExists(const std::string& key) { return whereKeyCondition(key, "$exists", Value(true)); }

Query& Query::whereKeyDoesNotExist(const std::string& key) { return whereKeyCondition(key, "$exists", Value(false)); }

namespace {

void checkSubquery(const Query& self, const QueryPtr& query) {
  parameterAssert(query != nullptr, "A query condition needs a query.");
  // A query inside its own conditions would describe itself without end.
  parameterAssert(query.get() != &self, "A query can't be a condition of itself.");
}

}  // namespace

Query& Query::whereKeyMatchesQuery(const std::string& key, const QueryPtr& query) {
  checkSubquery(*this, query);
  return whereKeyCondition(key, "$inQuery", Value(query));
}

Query& Query::whereKeyDoesNotMatchQuery(const std::string& key, const QueryPtr& query) {
  checkSubquery(*this, query);
  return whereKeyCondition(key, "$notInQuery", Value(query));
}

Query& Query::whereKeyMatchesKey(const std::string& key, const std::string& otherKey, const QueryPtr& query) {
  checkSubquery(*this, query);
  return whereKeyCondition(key, "$select", Value(Dictionary{{"query", Value(query)}, {"key", Value(otherKey)}}));
}

Query& Query::whereKeyDoesNotMatchKey(const std::string& key, const std::string& otherKey, const QueryPtr& query) {
  checkSubquery(*this, query);
  return whereKeyCondition(key, "$dontSelect", Value(Dictionary{{"query", Value(query)}, {"key", Value(otherKey)}}));
}

Query& Query::whereRelatedToObject(const Value& object, const std::string& key) {
  parameterAssert(object.isReferenceOfKind(ReferenceKind::Object), "A relation condition needs an object.");
  return buildAlways([&](MutableQueryState& s) { s.setRelationConditionWithObject(object, key); });
}

// ---- Order and keys --------------------------------------------------------------------------

Query& Query::orderByAscending(const std::string& key) {
  if (key.empty()) return *this;
  return build([&](MutableQueryState& s) { s.sortByKey(key, true); });
}

Query& Query::orderByDescending(const std::string& key) {
  if (key.empty()) return *this;
  return build([&](MutableQueryState& s) { s.sortByKey(key, false); });
}

Query& Query::addAscendingOrder(const std::string& key) {
  if (key.empty()) return *this;
  return build([&](MutableQueryState& s) { s.addSortKey(key, true); });
}

Query& Query::addDescendingOrder(const std::string& key) {
  if (key.empty()) return *this;
  return build([&](MutableQueryState& s) { s.addSortKey(key, false); });
}

Query& Query::orderBySortDescriptor(const SortDescriptor& descriptor) {
  if (!descriptor.key || descriptor.key->empty()) return *this;
  return descriptor.ascending ? orderByAscending(*descriptor.key) : orderByDescending(*descriptor.key);
}

Query& Query::orderBySortDescriptors(const std::vector<SortDescriptor>& descriptors) {
  return buildAlways([&](MutableQueryState& s) {
    std::vector<std::string> keys;
    for (const auto& d : descriptors) {
      if (d.key && !d.key->empty()) keys.push_back(d.ascending ? *d.key : "-" + *d.key);
    }
    s.setSortKeys(std::move(keys));
  });
}

Query& Query::includeKey(const std::string& key) {
  return build([&](MutableQueryState& s) { s.includeKey(key); });
}

Query& Query::includeKeys(const std::vector<std::string>& keys) {
  return build([&](MutableQueryState& s) { s.includeKeys(keys); });
}

Query& Query::selectKeys(const std::optional<std::vector<std::string>>& keys) {
  return build([&](MutableQueryState& s) { s.selectKeys(keys); });
}

Query& Query::redirectClassNameForKey(const std::string& key) {
  return buildAlways([&](MutableQueryState& s) { s.redirectClassNameForKey(key); });
}

// ---- Local datastore -------------------------------------------------------------------------

Query& Query::fromLocalDatastore() {
  checkLocalDatastoreEnabled();
  return build([](MutableQueryState& s) {
    s.setQueriesLocalDatastore(true);
    s.setLocalDatastorePinName(std::nullopt);
  });
}

Query& Query::fromPin() { return fromPinWithName("_default"); }

Query& Query::fromPinWithName(const std::string& name) {
  checkLocalDatastoreEnabled();
  return build([&](MutableQueryState& s) {
    s.setQueriesLocalDatastore(true);
    s.setLocalDatastorePinName(name);
  });
}

Query& Query::ignoreACLs() {
  checkLocalDatastoreEnabled();
  return build([](MutableQueryState& s) { s.setShouldIgnoreACLs(true); });
}

// ---- State, running --------------------------------------------------------------------------

QueryStatePtr Query::state() const {
  std::lock_guard lock(mutex_);
  return state_->copy();
}

bool Query::isRunning() const {
  std::lock_guard lock(mutex_);
  return runningSource_ != nullptr;
}

void Query::cancel() {
  std::lock_guard lock(mutex_);
  if (runningSource_) runningSource_->cancel();
  runningSource_.reset();
}

void Query::_validateStateForRun(const QueryState& state) {
  consistencyAssert(state.queriesLocalDatastore() || !state.shouldIgnoreACLs(),
                    "`ignoreACLs` can only be used with Local Datastore queries.");
  // Building the parameters raises every refusal the command would (or-subqueries, unsaved
  // objects, nested queries), and writing them as JSON text every refusal of the request (text
  // that is not UTF-8), here, before anything is marked running.
  auto command = RESTQueryCommand::findCommandForQueryState(state, std::nullopt);
  JSONSerialization::stringFromJSONObject(command->parametersValue());
}

std::pair<CancellationTokenSourcePtr, QueryStatePtr> Query::_beginRun() {
  QueryStatePtr state;
  {
    std::lock_guard lock(mutex_);
    checkIfCommandIsRunningLocked();
    state = state_->copy();
  }
  // Validated without holding the lock: it reads the states of nested queries, each under its
  // own lock, and two queries nested in each other must not wait on one another. The run uses
  // this copy, so a builder call in between cannot change what was validated.
  _validateStateForRun(*state);
  std::lock_guard lock(mutex_);
  checkIfCommandIsRunningLocked();
  runningSource_ = CancellationTokenSource::cancellationTokenSource();
  return {runningSource_, state};
}

void Query::_endRun(const CancellationTokenSourcePtr& source) {
  std::lock_guard lock(mutex_);
  if (runningSource_ == source) runningSource_.reset();
}

void Query::_changeState(const std::function<void(MutableQueryState&)>& change) { build(change); }

void Query::checkIfCommandIsRunningLocked() const {
  consistencyAssert(runningSource_ == nullptr, kOutstandingConnection);
}

Query& Query::build(const std::function<void(MutableQueryState&)>& change) {
  std::lock_guard lock(mutex_);
  checkIfCommandIsRunningLocked();
  change(*state_);
  return *this;
}

Query& Query::buildAlways(const std::function<void(MutableQueryState&)>& change) {
  std::lock_guard lock(mutex_);
  change(*state_);
  return *this;
}

bool Query::isEqual(const ValueReference& other) const {
  if (this == &other) return true;
  auto* q = dynamic_cast<const Query*>(&other);
  if (!q) return false;
  // Each state is copied under its own lock, so two queries compared from two threads at once
  // never wait on each other's locks.
  return *state() == *q->state();
}

std::size_t Query::hash() const { return state()->hash(); }

std::string Query::description() const {
  QueryStatePtr s = state();
  return "<Query: className = " + s->className() + "; state = " + s->description() + ">";
}

// ---- Predicates ------------------------------------------------------------------------------

namespace {

using PType = Predicate::Type;
using POp = Predicate::Operator;
using EKind = PredicateExpression::Kind;

// Applies one normalised comparison to `query`.
void applyComparison(Query& query, const Predicate& p) {
  if (p.modifier() != Predicate::Modifier::Direct) {
    throw InvalidArgumentException(
        formatMessage("Unsupported comparison predicate modifier %zd.", static_cast<long>(p.modifier())));
  }
  if (p.op() == POp::CustomSelector && p.customSelector() != Predicate::kNotContainedInSelector) {
    throw InvalidArgumentException("Predicates with custom selectors are not supported.");
  }
  if (p.op() == POp::Like) throw InvalidArgumentException("LIKE is not supported by Query.");
  if (p.op() == POp::Matches) {
    throw InvalidArgumentException(
        "Regex queries are not supported with [Query queryWithClassName:predicate:]. Please try to structure your "
        "data so that you can use an equalTo or containedIn query.");
  }
  // The server compares exactly; quietly dropping [c] or [d] would match other objects than
  // the predicate says.
  parameterAssert(p.options() == Predicate::kNoOptions,
                  "Comparison options ([c], [d], [n]) are not supported by Query. %@", p.description());

  const bool keyAndConstant = p.left().kind() == EKind::KeyPath && p.right().kind() == EKind::Constant;
  const std::string& key = p.left().keyPathValue();
  const Value& constant = p.right().constantValue();
  switch (p.op()) {
    case POp::In:
      parameterAssert(keyAndConstant, "An IN predicate must have a key path and a constant.");
      if (constant.isArray()) {
        query.whereKeyContainedIn(key, constant.arrayValue());
      } else if (auto sub = constant.as<Query>()) {
        query.whereKeyMatchesQuery(key, sub);
      } else {
        throw InvalidArgumentException("An IN predicate must have a key path and a constant.");
      }
      return;
    case POp::CustomSelector:
      parameterAssert(keyAndConstant, "A NOT IN predicate must have a key path and a constant array.");
      if (constant.isArray()) {
        query.whereKeyNotContainedIn(key, constant.arrayValue());
      } else if (auto sub = constant.as<Query>()) {
        query.whereKeyDoesNotMatchQuery(key, sub);
      } else {
        throw InvalidArgumentException("A NOT IN predicate must have a key path and a constant array.");
      }
      return;
    case POp::LessThan:
    case POp::LessThanOrEqualTo:
    case POp::GreaterThan:
    case POp::GreaterThanOrEqualTo:
    case POp::EqualTo:
    case POp::NotEqualTo:
    case POp::BeginsWith:
      break;
    default:
      throw InvalidArgumentException(
          formatMessage("This comparison predicate is not supported. (%zd)", static_cast<long>(p.op())));
  }
  parameterAssert(keyAndConstant, "This predicate must have a key path and a constant. %@", p.description());
  switch (p.op()) {
    case POp::LessThan: query.whereKeyLessThan(key, constant); return;
    case POp::LessThanOrEqualTo: query.whereKeyLessThanOrEqualTo(key, constant); return;
    case POp::GreaterThan: query.whereKeyGreaterThan(key, constant); return;
    case POp::GreaterThanOrEqualTo: query.whereKeyGreaterThanOrEqualTo(key, constant); return;
    case POp::EqualTo:
      if (constant.isNull()) query.whereKeyDoesNotExist(key);
      else query.whereKeyEqualTo(key, constant);
      return;
    case POp::NotEqualTo:
      if (constant.isNull()) query.whereKeyExists(key);
      else query.whereKeyNotEqualTo(key, constant);
      return;
    case POp::BeginsWith:
      parameterAssert(constant.isString(), "This predicate must have a key path and a constant. %@", p.description());
      query.whereKeyHasPrefix(key, constant.stringValue());
      return;
    default:
      return;
  }
}

// Adds one comparison to `conditions`. The builders keep one condition per key, so a second
// constraint that would replace the first (key = 1 AND key > 5, key != 1 AND key != 2) goes
// into "$and" instead: the query keeps meaning what the predicate says.
void addComparison(const std::string& className, Dictionary& conditions, const Predicate& p) {
  auto scratch = Query::queryWithClassName(className);
  applyComparison(*scratch, p);
  QueryStatePtr state = scratch->state();
  for (const auto& [key, condition] : state->conditions()) {
    Value* existing = conditions.find(key);
    if (!existing) {
      conditions.set(key, condition);
      continue;
    }
    if (existing->isDictionary() && condition.isDictionary()) {
      bool disjoint = true;
      for (const auto& [op, operand] : condition.dictionaryValue()) {
        disjoint = disjoint && !existing->dictionaryValue().contains(op);
      }
      // $regex and $options belong together; never mix two regex conditions' parts.
      if (disjoint && !condition.dictionaryValue().contains("$options")) {
        for (const auto& [op, operand] : condition.dictionaryValue()) existing->mutableDictionary().set(op, operand);
        continue;
      }
    }
    conditions.at("$and").mutableArray().push_back(Value(Dictionary{{key, condition}}));
  }
}

// Returns the conditions of an AND of comparisons (or one comparison).
Dictionary conditionsOfTerm(const std::string& className, const PredicatePtr& term, const PredicatePtr& whole) {
  Dictionary conditions;
  const std::vector<PredicatePtr> single{term};
  const auto& literals = term->type() == PType::And ? term->subpredicates() : single;
  for (const auto& l : literals) {
    if (l->type() == PType::Not) {
      throw InvalidArgumentException(formatMessage("A predicate had a NOT after normalization. %@", whole->description()));
    }
    if (l->type() == PType::Or) {
      throw InvalidArgumentException(
          formatMessage("A query had 2 ORs in an AND after normalization. %@", whole->description()));
    }
    if (l->type() != PType::Comparison) {
      if (l->type() == PType::True || l->type() == PType::False) throw InvalidArgumentException("Unknown predicate type.");
      throw InvalidArgumentException(formatMessage(
          "A predicate had a non-comparison predicate inside an AND after normalization. %@", whole->description()));
    }
    addComparison(className, conditions, *l);
  }
  return conditions;
}

QueryPtr queryWithConditions(const std::string& className, const Dictionary& conditions) {
  MutableQueryState state(className);
  for (const auto& [k, v] : conditions) state.setConditionForKey(k, v);
  return Query::queryWithState(state);
}

}  // namespace

QueryPtr Query::queryWithClassNamePredicate(const std::string& className, const std::shared_ptr<const Predicate>& predicate) {
  checkQueryClassName(className);
  PredicatePtr normal = QueryUtilities::normalizedPredicate(predicate);

  auto orQueryOf = [&](const PredicatePtr& orNode) {
    std::vector<QueryPtr> subqueries;
    for (const auto& term : orNode->subpredicates()) {
      subqueries.push_back(queryWithConditions(className, conditionsOfTerm(className, term, normal)));
    }
    return orQueryWithSubqueries(subqueries);
  };

  switch (normal->type()) {
    case PType::Or:
      return orQueryOf(normal);
    case PType::And: {
      PredicatePtr orNode;
      std::vector<PredicatePtr> comparisons;
      for (const auto& s : normal->subpredicates()) {
        if (s->type() == PType::Or) {
          if (orNode) {
            throw InvalidArgumentException(
                formatMessage("A query had 2 ORs in an AND after normalization. %@", normal->description()));
          }
          orNode = s;
        } else {
          comparisons.push_back(s);
        }
      }
      QueryPtr query = orNode ? orQueryOf(orNode) : queryWithClassName(className);
      Dictionary common = conditionsOfTerm(className, Predicate::andPredicate(comparisons), normal);
      query->_changeState([&](MutableQueryState& s) {
        for (const auto& [k, v] : common) s.setConditionForKey(k, v);
      });
      return query;
    }
    case PType::Not:
      throw InvalidArgumentException(formatMessage("A predicate had a NOT after normalization. %@", normal->description()));
    case PType::Comparison:
      return queryWithConditions(className, conditionsOfTerm(className, normal, normal));
    case PType::True:
    case PType::False:
      break;
  }
  throw InvalidArgumentException("Unknown predicate type.");
}

QueryPtr Query::queryWithClassNamePredicate(const std::string& className, std::string_view format,
                                            const std::vector<Value>& arguments) {
  return queryWithClassNamePredicate(className, Predicate::predicateWithFormat(format, arguments));
}

}  // namespace keel
