#include <keel/objects/QueryState.h>

namespace keel {

namespace {

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += ',';
    out += parts[i];
  }
  return out;
}

Value setValue(const std::set<std::string>& keys) {
  Array out;
  out.reserve(keys.size());
  for (const auto& k : keys) out.push_back(Value(k));
  return Value(std::move(out));
}

}  // namespace

QueryState::QueryState(std::string className) : className_(std::move(className)) {}

std::string QueryState::sortOrderString() const { return joined(sortKeys_); }

std::shared_ptr<const QueryState> QueryState::copy() const { return std::make_shared<const QueryState>(*this); }

std::shared_ptr<MutableQueryState> QueryState::mutableCopy() const {
  return std::make_shared<MutableQueryState>(static_cast<const QueryState&>(*this));
}

BaseState::PropertyList QueryState::propertyValues() const {
  auto optional = [](const std::optional<std::string>& text) { return text ? Value(*text) : Value(); };
  Value selected;
  if (selectedKeys_) selected = setValue(*selectedKeys_);
  return {
      {"className", Value(className_)},
      {"conditions", Value(conditions_)},
      {"sortKeys", Value(Array(sortKeys_.begin(), sortKeys_.end()))},
      {"includedKeys", setValue(includedKeys_)},
      {"selectedKeys", selected},
      {"extraOptions", Value(extraOptions_)},
      {"limit", Value(static_cast<long long>(limit_))},
      {"skip", Value(static_cast<long long>(skip_))},
      {"cachePolicy", Value(static_cast<int>(cachePolicy_))},
      {"maxCacheAge", Value(maxCacheAge_)},
      {"trace", Value(trace_)},
      {"shouldIgnoreACLs", Value(shouldIgnoreACLs_)},
      {"shouldIncludeDeletingEventually", Value(shouldIncludeDeletingEventually_)},
      {"queriesLocalDatastore", Value(queriesLocalDatastore_)},
      {"localDatastorePinName", optional(localDatastorePinName_)},
  };
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
