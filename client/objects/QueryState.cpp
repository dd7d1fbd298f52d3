#include <keel/objects/QueryState.h>

#include <functional>

#include <keel/base/Format.h>

namespace keel {

namespace {

void mix(std::size_t& seed, std::size_t h) { seed ^= h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2); }

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += ',';
    out += parts[i];
  }
  return out;
}

std::string setText(const std::set<std::string>& keys) {
  return "{(" + joined(std::vector<std::string>(keys.begin(), keys.end())) + ")}";
}

}  // namespace

QueryState::QueryState(std::string className) : className_(std::move(className)) {}

std::string QueryState::sortOrderString() const { return joined(sortKeys_); }

std::shared_ptr<const QueryState> QueryState::copy() const { return std::make_shared<const QueryState>(*this); }

std::shared_ptr<MutableQueryState> QueryState::mutableCopy() const {
  return std::make_shared<MutableQueryState>(static_cast<const QueryState&>(*this));
}

bool QueryState::operator==(const QueryState& o) const {
  // maxCacheAge compares as numbers, so two states that never limit the age (+infinity) are
  // equal; a NaN age would make a state unequal to itself, and setters refuse it.
  return className_ == o.className_ && conditions_ == o.conditions_ && sortKeys_ == o.sortKeys_ &&
         includedKeys_ == o.includedKeys_ && selectedKeys_ == o.selectedKeys_ &&
         extraOptions_ == o.extraOptions_ && limit_ == o.limit_ && skip_ == o.skip_ &&
         cachePolicy_ == o.cachePolicy_ && maxCacheAge_ == o.maxCacheAge_ && trace_ == o.trace_ &&
         shouldIgnoreACLs_ == o.shouldIgnoreACLs_ &&
         shouldIncludeDeletingEventually_ == o.shouldIncludeDeletingEventually_ &&
         queriesLocalDatastore_ == o.queriesLocalDatastore_ && localDatastorePinName_ == o.localDatastorePinName_;
}

std::size_t QueryState::hash() const {
  std::size_t seed = std::hash<std::string>()(className_);
  mix(seed, conditions_.hash());
  for (const auto& k : sortKeys_) mix(seed, std::hash<std::string>()(k));
  for (const auto& k : includedKeys_) mix(seed, std::hash<std::string>()(k) * 3);
  if (selectedKeys_) {
    mix(seed, 0x5e1ec7);
    for (const auto& k : *selectedKeys_) mix(seed, std::hash<std::string>()(k) * 5);
  }
  mix(seed, extraOptions_.hash());
  mix(seed, std::hash<std::int64_t>()(limit_));
  mix(seed, std::hash<std::int64_t>()(skip_) * 7);
  mix(seed, static_cast<std::size_t>(cachePolicy_));
  mix(seed, std::hash<double>()(maxCacheAge_ == 0 ? 0.0 : maxCacheAge_));
  mix(seed, (trace_ ? 1u : 0u) | (shouldIgnoreACLs_ ? 2u : 0u) | (shouldIncludeDeletingEventually_ ? 4u : 0u) |
                (queriesLocalDatastore_ ? 8u : 0u));
  if (localDatastorePinName_) mix(seed, std::hash<std::string>()(*localDatastorePinName_));
  return seed;
}

std::string QueryState::description() const {
  std::string out = "<QueryState: className = " + className_;
  out += "; conditions = " + Value(conditions_).description();
  out += "; sortKeys = (" + joined(sortKeys_) + ")";
  out += "; includedKeys = " + setText(includedKeys_);
  out += "; selectedKeys = " + (selectedKeys_ ? setText(*selectedKeys_) : std::string("(null)"));
  out += "; extraOptions = " + Value(extraOptions_).description();
  out += "; limit = " + std::to_string(limit_);
  out += "; skip = " + std::to_string(skip_);
  out += "; cachePolicy = " + std::to_string(static_cast<int>(cachePolicy_));
  out += "; maxCacheAge = " + Value(maxCacheAge_).description();
  out += std::string("; trace = ") + (trace_ ? "1" : "0");
  out += std::string("; shouldIgnoreACLs = ") + (shouldIgnoreACLs_ ? "1" : "0");
  out += std::string("; shouldIncludeDeletingEventually = ") + (shouldIncludeDeletingEventually_ ? "1" : "0");
  out += std::string("; queriesLocalDatastore = ") + (queriesLocalDatastore_ ? "1" : "0");
  out += "; localDatastorePinName = " + localDatastorePinName_.value_or("(null)");
  return out + ">";
}

void MutableQueryState::setEqualityConditionWithObject(Value value, const std::string& key) {
  conditions_.set(key, std::move(value));
}

void MutableQueryState::setConditionType(const std::string& op, Value operand, const std::string& key) {
  Value* existing = conditions_.find(key);
  if (existing && existing->isDictionary()) {
    existing->mutableDictionary().set(op, std::move(operand));
  } else {
    conditions_.set(key, Value(Dictionary{{op, std::move(operand)}}));
  }
}

void MutableQueryState::setRelationConditionWithObject(Value object, const std::string& key) {
  conditions_.set("$relatedTo", Value(Dictionary{{"object", std::move(object)}, {"key", Value(key)}}));
}

void MutableQueryState::setConditionForKey(const std::string& key, Value condition) {
  conditions_.set(key, std::move(condition));
}

void MutableQueryState::sortByKey(const std::string& key, bool ascending) {
  sortKeys_.clear();
  addSortKey(key, ascending);
}

void MutableQueryState::addSortKey(const std::string& key, bool ascending) {
  sortKeys_.push_back(ascending ? key : "-" + key);
}

void MutableQueryState::includeKeys(const std::vector<std::string>& keys) {
  includedKeys_.insert(keys.begin(), keys.end());
}

void MutableQueryState::selectKeys(const std::optional<std::vector<std::string>>& keys) {
  if (!keys) {
    selectedKeys_.reset();
    return;
  }
  if (!selectedKeys_) selectedKeys_.emplace();
  selectedKeys_->insert(keys->begin(), keys->end());
}

void MutableQueryState::redirectClassNameForKey(const std::string& key) {
  extraOptions_.set("redirectClassNameForKey", Value(key));
}

}  // namespace keel
