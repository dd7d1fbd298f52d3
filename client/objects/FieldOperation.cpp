#include <keel/objects/FieldOperation.h>

#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include <keel/base/Exception.h>
#include <keel/base/Format.h>
#include <keel/objects/Encoder.h>
#include <keel/objects/Relation.h>

namespace keel {

namespace {

// Shared texts: copying a Value shares its buffer, so writing these allocates nothing.
const Value kDeleteText("Delete");
const Value kIncrementText("Increment");
const Value kAddRelationText("AddRelation");
const Value kRemoveRelationText("RemoveRelation");
const Value kBatchText("Batch");

constexpr const char* kInvalidAfterPrevious = "Operation is invalid after previous operation.";
constexpr const char* kNotAnArray = "You can't add an item to a non-array.";
constexpr const char* kNotANumber = "You cannot increment a non-number.";

[[noreturn]] void fail(const char* message) { throw InternalInconsistencyException(message); }

// The key that tells saved objects apart: class name and object id. Ids are unique only within
// a class, so the id alone would merge rows of different classes.
std::optional<std::string> identityKey(const Value& v) {
  if (!v.isReferenceOfKind(ReferenceKind::Object)) return std::nullopt;
  auto object = v.as<const BackendObject>();
  auto id = object->objectId();
  if (!id) return std::nullopt;
  std::string key = object->className();
  key.push_back('\0');
  key += *id;
  return key;
}

Array concatenated(const Array& a, const Array& b) {
  Array out;
  out.reserve(a.size() + b.size());
  out.insert(out.end(), a.begin(), a.end());
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

Value optionalText(const std::optional<std::string>& s) { return s ? Value(*s) : Value("(null)"); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// FieldOperation

Value FieldOperation::encodeWithObjectEncoder(const Encoder&) const { fail("Operation is invalid."); }

FieldOperationPtr FieldOperation::mergeWithPrevious(const FieldOperationPtr&) const {
  fail("Operation is invalid.");
}

std::optional<Value> FieldOperation::applyToValue(const std::optional<Value>&, const std::string&) const {
  fail("Operation is invalid.");
}

FieldOperationPtr FieldOperation::sharedOperation() const {
  return std::static_pointer_cast<const FieldOperation>(shared_from_this());
}

// ---------------------------------------------------------------------------------------------
// Set

SetOperation::SetOperation(Value value) : FieldOperation(Type::Set), value_(std::move(value)) {}

std::shared_ptr<const SetOperation> SetOperation::setWithValue(Value value) {
  checkNoReservedKeys(value);
  return std::make_shared<const SetOperation>(std::move(value));
}

Value SetOperation::encodeWithObjectEncoder(const Encoder& encoder) const { return encoder.encodeObject(value_); }

FieldOperationPtr SetOperation::mergeWithPrevious(const FieldOperationPtr&) const { return sharedOperation(); }

std::optional<Value> SetOperation::applyToValue(const std::optional<Value>&, const std::string&) const {
  return value_;
}

std::string SetOperation::description() const { return formatMessage("set to %@", value_); }

// ---------------------------------------------------------------------------------------------
// Delete

const std::shared_ptr<const DeleteOperation>& DeleteOperation::operation() {
  static const auto shared = std::make_shared<const DeleteOperation>();
  return shared;
}

Value DeleteOperation::encodeWithObjectEncoder(const Encoder&) const {
  return Value(Dictionary{{"__op", kDeleteText}});
}

FieldOperationPtr DeleteOperation::mergeWithPrevious(const FieldOperationPtr&) const { return sharedOperation(); }

std::optional<Value> DeleteOperation::applyToValue(const std::optional<Value>&, const std::string&) const {
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Increment

IncrementOperation::IncrementOperation(Value amount) : FieldOperation(Type::Increment), amount_(std::move(amount)) {}

std::shared_ptr<const IncrementOperation> IncrementOperation::incrementWithAmount(Value amount) {
  parameterAssert(amount.isNumber() && std::isfinite(amount.doubleValue()),
                  "Cannot increment by %@: the amount must be a finite number.", amount);
  return std::make_shared<const IncrementOperation>(std::move(amount));
}

Value IncrementOperation::encodeWithObjectEncoder(const Encoder&) const {
  return Value(Dictionary{{"__op", kIncrementText}, {"amount", amount_}});
}

FieldOperationPtr IncrementOperation::mergeWithPrevious(const FieldOperationPtr& previous) const {
  if (!previous) return sharedOperation();
  switch (previous->type()) {
    case Type::Set: {
      const Value& v = static_cast<const SetOperation&>(*previous).value();
      if (!v.isNumber()) fail(kNotANumber);
      return std::make_shared<const SetOperation>(Value::sum(v, amount_));
    }
    case Type::Delete:
      return std::make_shared<const SetOperation>(amount_);
    case Type::Increment:
      return std::make_shared<const IncrementOperation>(
          Value::sum(static_cast<const IncrementOperation&>(*previous).amount(), amount_));
    default:
      fail(kInvalidAfterPrevious);
  }
}

std::optional<Value> IncrementOperation::applyToValue(const std::optional<Value>& oldValue, const std::string&) const {
  if (!oldValue) return amount_;
  if (!oldValue->isNumber()) fail(kNotANumber);
  return Value::sum(*oldValue, amount_);
}

std::string IncrementOperation::description() const { return formatMessage("increment by %@", amount_); }

// ---------------------------------------------------------------------------------------------
// Arrays

Value ArrayOperation::encodeWithObjectEncoder(const Encoder& encoder) const {
  Array encoded;
  encoded.reserve(objects_.size());
  for (const auto& v : objects_) encoded.push_back(encoder.encodeObject(v));
  return Value(Dictionary{{"__op", opName()}, {"objects", Value(std::move(encoded))}});
}

std::shared_ptr<const AddOperation> AddOperation::addWithObjects(Array objects) {
  checkNoReservedKeys(Value(objects));
  return std::make_shared<const AddOperation>(std::move(objects));
}

FieldOperationPtr AddOperation::mergeWithPrevious(const FieldOperationPtr& previous) const {
  if (!previous) return sharedOperation();
  switch (previous->type()) {
    case Type::Set: {
      const Value& v = static_cast<const SetOperation&>(*previous).value();
      if (!v.isArray()) fail(kNotAnArray);
      return std::make_shared<const SetOperation>(Value(concatenated(v.arrayValue(), objects())));
    }
    case Type::Delete:
      return std::make_shared<const SetOperation>(Value(objects()));
    case Type::Add:
      return std::make_shared<const AddOperation>(
          concatenated(static_cast<const AddOperation&>(*previous).objects(), objects()));
    default:
      fail(kInvalidAfterPrevious);
  }
}

std::optional<Value> AddOperation::applyToValue(const std::optional<Value>& oldValue, const std::string&) const {
  if (!oldValue) return Value(objects());
  if (!oldValue->isArray()) fail(kInvalidAfterPrevious);
  return Value(concatenated(oldValue->arrayValue(), objects()));
}

std::string AddOperation::description() const { return formatMessage("add %@", Value(objects())); }

std::shared_ptr<const AddUniqueOperation> AddUniqueOperation::addUniqueWithObjects(Array objects) {
  checkNoReservedKeys(Value(objects));
  return std::make_shared<const AddUniqueOperation>(std::move(objects));
}

Array AddUniqueOperation::addedTo(const Array& array) const {
  Array out;
  out.reserve(array.size() + objects().size());
  out.insert(out.end(), array.begin(), array.end());
  // How many elements equal each value (a multiset, since the array may hold duplicates and
  // a replaced element stops counting), and where each saved object first stands.
  std::unordered_map<Value, std::size_t, ValueHash> counts;
  std::unordered_map<std::string, std::size_t> firstIndex;
  counts.reserve(out.size() + objects().size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    ++counts[out[i]];
    if (auto key = identityKey(out[i])) firstIndex.try_emplace(std::move(*key), i);
  }
  for (const auto& v : objects()) {
    if (auto key = identityKey(v)) {
      auto [it, inserted] = firstIndex.try_emplace(std::move(*key), out.size());
      if (inserted) {
        out.push_back(v);
      } else {
        Value& slot = out[it->second];
        auto c = counts.find(slot);
        if (c != counts.end() && --c->second == 0) counts.erase(c);
        slot = v;
      }
      ++counts[v];
      continue;
    }
    auto [it, inserted] = counts.try_emplace(v, 0);
    if (it->second > 0) continue;
    it->second = 1;
    out.push_back(v);
  }
  return out;
}

FieldOperationPtr AddUniqueOperation::mergeWithPrevious(const FieldOperationPtr& previous) const {
  if (!previous) return sharedOperation();
  switch (previous->type()) {
    case Type::Set: {
      const Value& v = static_cast<const SetOperation&>(*previous).value();
      if (!v.isArray()) fail(kNotAnArray);
      return std::make_shared<const SetOperation>(Value(addedTo(v.arrayValue())));
    }
    case Type::Delete:
      // The field is gone, so the result is this operation applied to an empty array: its own
      // duplicates must not survive.
      return std::make_shared<const SetOperation>(Value(addedTo(Array{})));
    case Type::AddUnique:
      return std::make_shared<const AddUniqueOperation>(
          addedTo(static_cast<const AddUniqueOperation&>(*previous).objects()));
    default:
      fail(kInvalidAfterPrevious);
  }
}

std::optional<Value> AddUniqueOperation::applyToValue(const std::optional<Value>& oldValue, const std::string&) const {
  if (!oldValue) return Value(addedTo(Array{}));
  if (!oldValue->isArray()) fail(kInvalidAfterPrevious);
  return Value(addedTo(oldValue->arrayValue()));
}

std::string AddUniqueOperation::description() const { return formatMessage("addToSet %@", Value(objects())); }

std::shared_ptr<const RemoveOperation> RemoveOperation::removeWithObjects(Array objects) {
  checkNoReservedKeys(Value(objects));
  return std::make_shared<const RemoveOperation>(std::move(objects));
}

Array RemoveOperation::removedFrom(const Array& array) const {
  std::unordered_set<Value, ValueHash> removed(objects().begin(), objects().end());
  std::unordered_set<std::string> removedIdentities;
  for (const auto& v : objects()) {
    if (auto key = identityKey(v)) removedIdentities.insert(std::move(*key));
  }
  Array out;
  out.reserve(array.size());
  for (const auto& v : array) {
    if (removed.count(v)) continue;
    if (!removedIdentities.empty()) {
      if (auto key = identityKey(v); key && removedIdentities.count(*key)) continue;
    }
    out.push_back(v);
  }
  return out;
}

FieldOperationPtr RemoveOperation::mergeWithPrevious(const FieldOperationPtr& previous) const {
  if (!previous) return sharedOperation();
  switch (previous->type()) {
    case Type::Set: {
      const Value& v = static_cast<const SetOperation&>(*previous).value();
      if (!v.isArray()) fail(kNotAnArray);
      return std::make_shared<const SetOperation>(Value(removedFrom(v.arrayValue())));
    }
    case Type::Delete:
      fail("You can't remove items from a deleted array.");
    case Type::Remove:
      return std::make_shared<const RemoveOperation>(
          concatenated(static_cast<const RemoveOperation&>(*previous).objects(), objects()));
    default:
      fail(kInvalidAfterPrevious);
  }
}

std::optional<Value> RemoveOperation::applyToValue(const std::optional<Value>& oldValue, const std::string&) const {
  // Nothing to remove from: the field becomes empty, as on the server.
  if (!oldValue) return Value(Array{});
  if (!oldValue->isArray()) fail(kInvalidAfterPrevious);
  return Value(removedFrom(oldValue->arrayValue()));
}

std::string RemoveOperation::description() const { return formatMessage("remove %@", Value(objects())); }

// ---------------------------------------------------------------------------------------------
// Relations

RelationOperation::RelationOperation(std::optional<std::string> targetClass, ObjectSet relationsToAdd,
                                     ObjectSet relationsToRemove)
    : FieldOperation(Type::Relation),
      targetClass_(std::move(targetClass)),
      relationsToAdd_(std::move(relationsToAdd)),
      relationsToRemove_(std::move(relationsToRemove)) {}

namespace {

std::optional<std::string> commonClassName(const std::vector<BackendObjectPtr>& objects) {
  std::optional<std::string> name;
  for (const auto& o : objects) {
    parameterAssert(o != nullptr, "All objects in a relation must be of the same class.");
    std::string c = o->className();
    if (!name) {
      name = std::move(c);
    } else {
      parameterAssert(*name == c, "All objects in a relation must be of the same class.");
    }
  }
  return name;
}

Array encodedObjects(const ObjectSet& set, const Encoder& encoder) {
  Array out;
  out.reserve(set.size());
  for (const auto& o : set) out.push_back(encoder.encodeBackendObject(o));
  return out;
}

}  // namespace

std::shared_ptr<const RelationOperation> RelationOperation::addRelationToObjects(
    const std::vector<BackendObjectPtr>& objects) {
  auto target = commonClassName(objects);
  return std::make_shared<const RelationOperation>(std::move(target), ObjectSet(objects), ObjectSet());
}

std::shared_ptr<const RelationOperation> RelationOperation::removeRelationToObjects(
    const std::vector<BackendObjectPtr>& objects) {
  auto target = commonClassName(objects);
  return std::make_shared<const RelationOperation>(std::move(target), ObjectSet(), ObjectSet(objects));
}

Value RelationOperation::encodeWithObjectEncoder(const Encoder& encoder) const {
  std::optional<Value> adds, removes;
  if (!relationsToAdd_.empty()) {
    adds = Value(Dictionary{{"__op", kAddRelationText},
                            {"objects", Value(encodedObjects(relationsToAdd_, encoder))}});
  }
  if (!relationsToRemove_.empty()) {
    removes = Value(Dictionary{{"__op", kRemoveRelationText},
                               {"objects", Value(encodedObjects(relationsToRemove_, encoder))}});
  }
  if (adds && removes) return Value(Dictionary{{"__op", kBatchText}, {"ops", Value(Array{*adds, *removes})}});
  if (adds) return *adds;
  if (removes) return *removes;
  fail("A RelationOperation was created without any data.");
}

FieldOperationPtr RelationOperation::mergeWithPrevious(const FieldOperationPtr& previous) const {
  if (!previous) return sharedOperation();
  switch (previous->type()) {
    case Type::Delete:
      fail("You can't modify a relation after deleting it");
    case Type::Relation: {
      const auto& p = static_cast<const RelationOperation&>(*previous);
      if (p.targetClass_ != targetClass_) {
        throw InternalInconsistencyException(
            formatMessage("Related object object must be of class %@, but %@ was passed in",
                          optionalText(p.targetClass_), optionalText(targetClass_)));
      }
      ObjectSet adds = p.relationsToAdd_;
      ObjectSet removes = p.relationsToRemove_;
      for (const auto& o : relationsToAdd_) {
        removes.erase(o.get());
        adds.insert(o);
      }
      for (const auto& o : relationsToRemove_) {
        adds.erase(o.get());
        removes.insert(o);
      }
      return std::make_shared<const RelationOperation>(targetClass_, std::move(adds), std::move(removes));
    }
    default:
      fail("Operation is invalid after previous operation");
  }
}

std::optional<Value> RelationOperation::applyToValue(const std::optional<Value>& oldValue, const std::string&) const {
  std::shared_ptr<Relation> relation;
  if (!oldValue) {
    relation = Relation::relationWithTargetClass(targetClass_);
  } else {
    relation = oldValue->as<Relation>();
    if (!relation) fail(kInvalidAfterPrevious);
    auto existing = relation->targetClass();
    if (!existing) {
      relation->setTargetClass(targetClass_);
    } else if (targetClass_ && *existing != *targetClass_) {
      throw InternalInconsistencyException(
          formatMessage("Related object object must be of class %@, but %@ was passed in", Value(*existing),
                        optionalText(targetClass_)));
    }
  }
  for (const auto& o : relationsToAdd_) relation->addKnownObject(o);
  for (const auto& o : relationsToRemove_) relation->removeKnownObject(*o);
  if (oldValue) return oldValue;
  return Value(relation);
}

std::string RelationOperation::description() const {
  return formatMessage("RelationOperation<%@> add:%@ remove:%@", optionalText(targetClass_),
                       relationsToAdd_.description(), relationsToRemove_.description());
}

}  // namespace keel
