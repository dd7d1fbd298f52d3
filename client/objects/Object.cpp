#include <keel/objects/Object.h>

#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include <keel/base/Crypto.h>
#include <keel/base/DateFormatter.h>
#include <keel/base/Exception.h>
#include <keel/base/Format.h>
#include <keel/base/Logger.h>
#include <keel/objects/Decoder.h>
#include <keel/objects/Encoder.h>
#include <keel/objects/GeoPoint.h>
#include <keel/objects/internal/DefaultObjectFactory.h>

namespace keel {

namespace {

constexpr std::size_t kNotQueued = static_cast<std::size_t>(-1);

// Access lists and geo points are the values the application can change in place.
bool holdsChangeableReference(const Value& value) {
  switch (value.type()) {
    case Value::Type::Reference: {
      auto kind = value.referenceKind();
      return kind == ReferenceKind::ACL || kind == ReferenceKind::GeoPoint;
    }
    case Value::Type::Array:
      return std::any_of(value.arrayValue().begin(), value.arrayValue().end(), holdsChangeableReference);
    case Value::Type::Dictionary:
      return std::any_of(value.dictionaryValue().begin(), value.dictionaryValue().end(),
                         [](const Dictionary::Entry& e) { return holdsChangeableReference(e.second); });
    default:
      return false;
  }
}

// Returns `value` with its access lists and geo points copied, so later in-place changes of
// the originals show as a difference.
Value snapshotOf(const Value& value) {
  switch (value.type()) {
    case Value::Type::Reference:
      if (auto acl = value.as<const ACL>()) return Value(acl->copy());
      if (auto point = value.as<const GeoPoint>()) return Value(point->copy());
      return value;
    case Value::Type::Array: {
      Array out;
      out.reserve(value.arrayValue().size());
      for (const auto& v : value.arrayValue()) out.push_back(snapshotOf(v));
      return Value(std::move(out));
    }
    case Value::Type::Dictionary: {
      Dictionary out;
      out.reserve(value.dictionaryValue().size());
      for (const auto& [k, v] : value.dictionaryValue()) out.set(k, snapshotOf(v));
      return Value(std::move(out));
    }
    default:
      return value;
  }
}

void collectObjects(const Value& value, std::vector<ObjectPtr>& out) {
  switch (value.type()) {
    case Value::Type::Reference:
      if (auto o = value.as<BackendObject>()) {
        if (auto object = std::dynamic_pointer_cast<Object>(o)) out.push_back(std::move(object));
      }
      return;
    case Value::Type::Array:
      for (const auto& v : value.arrayValue()) collectObjects(v, out);
      return;
    case Value::Type::Dictionary:
      for (const auto& [k, v] : value.dictionaryValue()) collectObjects(v, out);
      return;
    default:
      return;
  }
}

std::optional<Date> dateFromServerValue(const Value& value) {
  if (value.isDate()) return value.dateValue();
  if (value.isString()) return DateFormatter::sharedFormatter().dateFromString(value.stringValue());
  return std::nullopt;
}

// Keys of a server reply that are not fields.
bool isReservedResultKey(std::string_view key) {
  return key == "objectId" || key == "createdAt" || key == "updatedAt" || key == "className" || key == "__type";
}

std::string newLocalId() {
  char buffer[17];
  std::snprintf(buffer, sizeof buffer, "%016llx", static_cast<unsigned long long>(random64()));
  return std::string("local_") + buffer;
}

}  // namespace

// ---- Construction ----

Object::Object(const ObjectInit& init)
    : classNameCopy_(init.className_),
      objectIdCopy_(init.objectId_),
      localId_(init.localId_),
      state_(ObjectState::stateWithClassName(init.className_, init.objectId_, init.complete_)) {
  operationSetQueue_.emplace_back();
}

Object::~Object() = default;

ObjectPtr Object::makeObject(const std::string& className, std::optional<std::string> objectId,
                             std::optional<std::string> localId, bool complete) {
  if (className.empty()) throw InvalidArgumentException("Class name can't be 'nil'.");
  auto subclass = ObjectSubclassingController::defaultController().subclassForClassName(className);
  if (subclass && subclass->validateClassName) {
    subclass->validateClassName(className);
  } else {
    validateClassName(className);
  }
  ObjectInit init(className, std::move(objectId), std::move(localId), complete);
  return subclass ? subclass->make(init) : std::make_shared<Object>(init);
}

void Object::validateClassName(const std::string& className) {
  if (className.empty()) throw InvalidArgumentException("Class name can't be 'nil'.");
  if (className[0] == '_') {
    throw InvalidArgumentException("Invalid class name. Class names cannot start with an underscore.");
  }
}

ObjectPtr Object::objectWithClassName(const std::string& className) {
  ObjectPtr object = makeObject(className, std::nullopt, std::nullopt, true);
  {
    std::lock_guard lock(object->mutex_);
    object->dirty_ = true;
  }
  object->setDefaultValues();
  return object;
}

ObjectPtr Object::objectWithClassName(const std::string& className, const Dictionary& dictionary) {
  ObjectPtr object = objectWithClassName(className);
  for (const auto& [key, value] : dictionary) object->setObject(value, key);
  return object;
}

namespace {

void checkShell(const ObjectPtr& object) {
  if (object->_hasChanges()) {
    throw InternalInconsistencyException(formatMessage(
        "The init method of %@ set values on the object, which is not allowed.", demangledTypeName(typeid(*object))));
  }
}

}  // namespace

ObjectPtr Object::objectWithoutDataWithClassNameObjectId(const std::string& className,
                                                         const std::optional<std::string>& objectId) {
  ObjectPtr object = makeObject(className, objectId, std::nullopt, false);
  checkShell(object);
  return object;
}

ObjectPtr Object::objectWithoutDataWithClassNameLocalId(const std::string& className, const std::string& localId) {
  ObjectPtr object = makeObject(className, std::nullopt, localId, false);
  checkShell(object);
  return object;
}

namespace {

ObjectPtr shellForDictionary(const Dictionary& dictionary, const std::string& defaultClassName) {
  const Value& className = dictionary["className"];
  std::string name = className.isString() && !className.stringValue().empty() ? className.stringValue()
                                                                               : defaultClassName;
  std::optional<std::string> objectId = dictionary["objectId"].optionalString();
  return Object::objectWithoutDataWithClassNameObjectId(name, objectId);
}

}  // namespace

ObjectPtr Object::_objectFromDictionary(const Dictionary& dictionary, const std::string& defaultClassName,
                                        bool completeData, const Decoder& decoder) {
  ObjectPtr object = shellForDictionary(dictionary, defaultClassName);
  object->_mergeAfterFetchWithResult(dictionary, decoder, completeData);
  return object;
}

ObjectPtr Object::_objectFromDictionary(const Dictionary& dictionary, const std::string& defaultClassName,
                                        bool completeData) {
  return _objectFromDictionary(dictionary, defaultClassName, completeData, *Decoder::objectDecoder());
}

ObjectPtr Object::_objectFromDictionary(const Dictionary& dictionary, const std::string& defaultClassName,
                                        const std::optional<std::vector<std::string>>& selectedKeys) {
  if (!selectedKeys) return _objectFromDictionary(dictionary, defaultClassName, true, *Decoder::objectDecoder());
  ObjectPtr object = _objectFromDictionary(dictionary, defaultClassName, false, *Decoder::partialObjectsDecoder());
  std::lock_guard lock(object->mutex_);
  for (const auto& key : *selectedKeys) object->makeAvailableLocked(key);
  return object;
}

// ---- The default factory ----

class Object::ClassFactory : public ObjectFactory {
 public:
  BackendObjectPtr objectWithoutDataWithClassNameObjectId(const std::string& className,
                                                          const std::string& objectId) override {
    return Object::objectWithoutDataWithClassNameObjectId(className, objectId);
  }
  BackendObjectPtr objectWithoutDataWithClassNameLocalId(const std::string& className,
                                                         const std::string& localId) override {
    return Object::objectWithoutDataWithClassNameLocalId(className, localId);
  }
  // The decoder hands over values it has decoded already; they are merged as they are.
  BackendObjectPtr objectFromDictionary(const Dictionary& dictionary, const std::string& defaultClassName,
                                        bool completeData, const Decoder&) override {
    ObjectPtr object = shellForDictionary(dictionary, defaultClassName);
    std::lock_guard lock(object->mutex_);
    auto state = object->state_->mutableCopy();
    object->mergeDecodedLocked(dictionary, completeData, *state);
    object->installStateLocked(std::move(state));
    object->makeAvailableLocked(dictionary);
    object->dirty_ = false;
    object->rebuildEstimatedDataLocked();
    object->snapshotAllLocked();
    return object;
  }
};

std::shared_ptr<ObjectFactory> makeDefaultObjectFactory() {
  return std::make_shared<Object::ClassFactory>();
}

// ---- Reading ----

std::string Object::className() const {
  std::lock_guard lock(identityMutex_);
  return classNameCopy_;
}

std::optional<std::string> Object::objectId() const {
  std::lock_guard lock(identityMutex_);
  return objectIdCopy_;
}

std::optional<Date> Object::createdAt() const {
  std::lock_guard lock(mutex_);
  return state_->createdAt();
}

std::optional<Date> Object::updatedAt() const {
  std::lock_guard lock(mutex_);
  return state_->updatedAt();
}

void Object::makeAvailableLocked(const std::string& key) {
  // A complete object answers every key; the set only matters while it is incomplete.
  if (!state_->isComplete()) availableKeys_.insert(key);
}

void Object::makeAvailableLocked(const Dictionary& keys) {
  if (state_->isComplete()) return;
  for (const auto& [key, value] : keys) availableKeys_.insert(key);
}

bool Object::isDataAvailableForKeyLocked(const std::string& key) const {
  return state_->isComplete() || availableKeys_.count(key) != 0;
}

std::optional<Value> Object::objectForKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  if (!isDataAvailableForKeyLocked(key)) {
    throw InternalInconsistencyException(
        formatMessage("Key \"%@\" has no data.  Call fetchIfNeeded before getting its value.", key));
  }
  std::optional<Value> value = estimatedData_.objectForKey(key);
  if (!value) return std::nullopt;
  if (key == "ACL") {
    if (auto acl = value->as<keel::ACL>(); acl && acl->isShared()) {
      auto copy = acl->copy();
      copy->setShared(false);
      setObject(Value(copy), key);
      return Value(copy);
    }
  }
  if (auto relation = value->as<Relation>()) relation->setParent(self(), key);
  return value;
}

bool Object::isDataAvailable() const {
  std::lock_guard lock(mutex_);
  return state_->isComplete();
}

bool Object::isDataAvailableForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  return isDataAvailableForKeyLocked(key);
}

std::vector<std::string> Object::allKeys() const {
  std::lock_guard lock(mutex_);
  return estimatedData_.allKeys();
}

std::shared_ptr<ACL> Object::ACL() {
  std::optional<Value> value = objectForKey("ACL");
  return value ? value->as<keel::ACL>() : nullptr;
}

void Object::setACL(std::shared_ptr<keel::ACL> acl) {
  if (!acl) {
    removeObjectForKey("ACL");
  } else {
    setObject(Value(std::move(acl)), "ACL");
  }
}

// ---- Writing ----

void Object::setObject(std::optional<Value> value, const std::string& key) {
  if (!value || key.empty()) {
    throw InvalidArgumentException("Can't use nil for keys or values on Object. Use NSNull for values.");
  }
  if (auto kind = value->referenceKind()) {
    switch (*kind) {
      case ReferenceKind::FieldOperation:
        performOperation(value->as<const FieldOperation>(), key);
        return;
      case ReferenceKind::Object:
      case ReferenceKind::File:
      case ReferenceKind::ACL:
      case ReferenceKind::GeoPoint:
        break;
      default:
        throw InvalidArgumentException(
            formatMessage("Object values may not have class: %@", value->constReference()->className()));
    }
  }
  performOperation(SetOperation::setWithValue(std::move(*value)), key);
}

void Object::_setObjectIfDifferent(const Value& value, const std::string& key) {
  std::lock_guard lock(mutex_);
  if (const Value* current = estimatedData_.find(key); current && *current == value) return;
  setObject(value, key);
}

void Object::removeObjectForKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  if (estimatedData_.find(key)) performOperationLocked(DeleteOperation::operation(), key);
}

void Object::addObject(Value object, const std::string& key) { addObjectsFromArray(Array{std::move(object)}, key); }

void Object::addObjectsFromArray(Array objects, const std::string& key) {
  performOperation(AddOperation::addWithObjects(std::move(objects)), key);
}

void Object::addUniqueObject(Value object, const std::string& key) {
  addUniqueObjectsFromArray(Array{std::move(object)}, key);
}

void Object::addUniqueObjectsFromArray(Array objects, const std::string& key) {
  performOperation(AddUniqueOperation::addUniqueWithObjects(std::move(objects)), key);
}

void Object::removeObject(Value object, const std::string& key) { removeObjectsInArray(Array{std::move(object)}, key); }

void Object::removeObjectsInArray(Array objects, const std::string& key) {
  performOperation(RemoveOperation::removeWithObjects(std::move(objects)), key);
}

void Object::incrementKey(const std::string& key) { incrementKey(key, Value(1)); }

void Object::incrementKey(const std::string& key, Value amount) {
  performOperation(IncrementOperation::incrementWithAmount(std::move(amount)), key);
}

std::shared_ptr<Relation> Object::relationForKey(const std::string& key) {
  std::shared_ptr<Relation> relation;
  {
    std::lock_guard lock(mutex_);
    if (const Value* value = estimatedData_.find(key)) relation = value->as<Relation>();
  }
  if (!relation) relation = Relation::relationWithTargetClass(std::nullopt);
  relation->setParent(self(), key);
  return relation;
}

void Object::performOperation(const FieldOperationPtr& operation, const std::string& key) {
  parameterAssert(operation != nullptr, "Can't use nil for keys or values on Object. Use NSNull for values.");
  parameterAssert(!key.empty(), "Can't use nil for keys or values on Object. Use NSNull for values.");
  std::lock_guard lock(mutex_);
  performOperationLocked(operation, key);
}

void Object::performOperationLocked(const FieldOperationPtr& operation, const std::string& key) {
  // Both results first: a change the estimate shows must be one that is sent.
  FieldOperationPtr merged = operation->mergeWithPrevious(operationSetQueue_.back().objectForKey(key));
  std::optional<Value> value = operation->applyToValue(estimatedData_.objectForKey(key), key);
  snapshotLocked(key, value ? &*value : nullptr);
  estimatedData_.setValue(key, std::move(value));
  operationSetQueue_.back().setObject(std::move(merged), key);
  makeAvailableLocked(key);
}

void Object::revert() {
  std::lock_guard lock(mutex_);
  if (!isDirtyLocked()) return;
  operationSetQueue_.back().removeAllObjects();
  std::unordered_set<std::string> kept;
  for (const auto& key : availableKeys_) {
    bool known = state_->serverData().contains(key);
    for (std::size_t i = 0; !known && i + 1 < operationSetQueue_.size(); ++i) {
      known = operationSetQueue_[i].objectForKey(key) != nullptr;
    }
    if (known) kept.insert(key);
  }
  availableKeys_ = std::move(kept);
  rebuildEstimatedDataLocked();
  snapshotAllLocked();
}

void Object::revertObjectForKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  if (!operationSetQueue_.back().objectForKey(key)) return;
  operationSetQueue_.back().removeObjectForKey(key);
  rebuildEstimatedDataLocked();
  // A key the server sent stays readable.
  bool known = state_->serverData().contains(key);
  for (std::size_t i = 0; !known && i + 1 < operationSetQueue_.size(); ++i) {
    known = operationSetQueue_[i].objectForKey(key) != nullptr;
  }
  if (!known) availableKeys_.erase(key);
  snapshotAllLocked();
}

void Object::setObjectId(const std::optional<std::string>& objectId) {
  std::lock_guard lock(mutex_);
  if (state_->objectId() == objectId) return;
  dirty_ = true;
  auto state = state_->mutableCopy();
  state->setObjectId(objectId);
  installStateLocked(std::move(state));
}

// ---- Change tracking ----

OperationSet Object::unsavedChanges() const {
  std::lock_guard lock(mutex_);
  return operationSetQueue_.back();
}

bool Object::_hasChanges() const {
  std::lock_guard lock(mutex_);
  return !operationSetQueue_.back().empty();
}

bool Object::_hasOutstandingOperations() const {
  std::lock_guard lock(mutex_);
  return operationSetQueue_.size() > 1;
}

bool Object::isDirtyLocked() const {
  return state_->isDeleted() || dirty_ || !operationSetQueue_.back().empty();
}

void Object::collectChildrenLocked(std::vector<ObjectPtr>& out) const {
  for (const auto& [key, value] : estimatedData_.data()) collectObjects(value, out);
}

bool Object::isDirty(bool considerChildren) const {
  auto* self = const_cast<Object*>(this);
  std::vector<ObjectPtr> pending;
  {
    std::lock_guard lock(mutex_);
    self->checkForChangedReferencesLocked();
    if (isDirtyLocked()) return true;
    if (!considerChildren) return false;
    collectChildrenLocked(pending);
  }
  // One object's lock at a time, each object once: objects that point at each other neither
  // loop nor deadlock against a walk from the other side.
  std::unordered_set<const Object*> visited{this};
  while (!pending.empty()) {
    ObjectPtr child = std::move(pending.back());
    pending.pop_back();
    if (!visited.insert(child.get()).second) continue;
    std::lock_guard lock(child->mutex_);
    child->checkForChangedReferencesLocked();
    if (child->isDirtyLocked()) return true;
    child->collectChildrenLocked(pending);
  }
  return false;
}

bool Object::isDirtyForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  const_cast<Object*>(this)->checkForChangedReferencesLocked();
  return operationSetQueue_.back().objectForKey(key) != nullptr;
}

std::vector<OperationSet> Object::_operationSetQueue() const {
  std::lock_guard lock(mutex_);
  return operationSetQueue_;
}

ObjectStatePtr Object::_state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void Object::_setState(const ObjectState& state) {
  std::lock_guard lock(mutex_);
  installStateLocked(state.copy());
  rebuildEstimatedDataLocked();
  snapshotAllLocked();
}

void Object::_setDeleted(bool deleted) {
  std::lock_guard lock(mutex_);
  if (state_->isDeleted() == deleted) return;
  auto state = state_->mutableCopy();
  state->setDeleted(deleted);
  installStateLocked(std::move(state));
}

// ---- Reference snapshots ----

void Object::snapshotLocked(const std::string& key, const Value* value) {
  if (value && holdsChangeableReference(*value)) {
    referenceSnapshots_[key] = snapshotOf(*value);
  } else if (!referenceSnapshots_.empty()) {
    referenceSnapshots_.erase(key);
  }
}

void Object::snapshotAllLocked() {
  referenceSnapshots_.clear();
  for (const auto& [key, value] : estimatedData_.data()) snapshotLocked(key, &value);
}

void Object::checkForChangedReferencesLocked() {
  if (referenceSnapshots_.empty()) return;
  std::vector<std::string> changed;
  for (auto it = referenceSnapshots_.begin(); it != referenceSnapshots_.end();) {
    const Value* current = estimatedData_.find(it->first);
    if (!current) {
      it = referenceSnapshots_.erase(it);
      continue;
    }
    if (snapshotOf(*current) != it->second) changed.push_back(it->first);
    ++it;
  }
  // A Set merges after anything and applies to anything, so this cannot throw.
  for (const auto& key : changed) {
    performOperationLocked(std::make_shared<const SetOperation>(*estimatedData_.find(key)), key);
  }
}

// ---- Merging ----

void Object::rebuildEstimatedDataLocked() {
  estimatedData_ = ObjectEstimatedData::estimatedDataFromServerData(state_->serverData(), operationSetQueue_);
}

void Object::installStateLocked(std::shared_ptr<const ObjectState> state) {
  // Keys known while the object was complete stay readable when it no longer is.
  if (state_->isComplete() && !state->isComplete()) {
    for (const auto& [key, value] : state_->serverData()) availableKeys_.insert(key);
    for (const auto& [key, value] : estimatedData_.data()) availableKeys_.insert(key);
  }
  // The local datastore and the local-id store learn of new ids here once they exist.
  state_ = std::move(state);
  std::lock_guard lock(identityMutex_);
  if (classNameCopy_ != state_->className()) classNameCopy_ = state_->className();
  if (objectIdCopy_ != state_->objectId()) objectIdCopy_ = state_->objectId();
}

Dictionary Object::decodeResult(const Dictionary& result, const Decoder& decoder) {
  Dictionary decoded;
  decoded.reserve(result.size());
  for (const auto& [key, value] : result) {
    if (isReservedResultKey(key) || key == "ACL") {
      decoded.set(key, value);
    } else {
      decoded.set(key, decoder.decodeObject(value));
    }
  }
  return decoded;
}

void Object::mergeDecodedLocked(const Dictionary& decoded, bool completeData, MutableObjectState& state) {
  state.setComplete(state.isComplete() || completeData);
  for (const auto& [key, value] : decoded) {
    if (key == "objectId") {
      if (value.isString()) state.setObjectId(value.stringValue());
    } else if (key == "createdAt") {
      if (auto date = dateFromServerValue(value)) state.setCreatedAt(date);
    } else if (key == "updatedAt") {
      if (auto date = dateFromServerValue(value)) state.setUpdatedAt(date);
    } else if (key == "className" || key == "__type") {
      continue;
    } else if (key == "ACL" && value.isDictionary()) {
      state.setServerDataObject(Value(keel::ACL::ACLWithDictionary(value.dictionaryValue())), key);
    } else {
      state.setServerDataObject(value, key);
    }
  }
  if (!state.updatedAt() && state.createdAt()) state.setUpdatedAt(state.createdAt());
}

void Object::_mergeFromServerWithResult(const Dictionary& result, const Decoder& decoder, bool completeData) {
  Dictionary decoded = decodeResult(result, decoder);
  std::lock_guard lock(mutex_);
  auto state = state_->mutableCopy();
  mergeDecodedLocked(decoded, completeData, *state);
  installStateLocked(std::move(state));
  makeAvailableLocked(decoded);
  dirty_ = false;
  rebuildEstimatedDataLocked();
  snapshotAllLocked();
}

void Object::_mergeAfterFetchWithResult(const Dictionary& result, const Decoder& decoder, bool completeData) {
  Dictionary decoded = decodeResult(result, decoder);
  std::lock_guard lock(mutex_);
  checkForChangedReferencesLocked();
  auto state = state_->mutableCopy();
  mergeDecodedLocked(decoded, completeData, *state);
  if (completeData) {
    for (const auto& key : state->serverData().keys()) {
      if (!decoded.contains(key)) {
        state->removeServerDataObjectForKey(key);
        availableKeys_.erase(key);
      }
    }
  }
  installStateLocked(std::move(state));
  makeAvailableLocked(decoded);
  dirty_ = false;
  rebuildEstimatedDataLocked();
  snapshotAllLocked();
}

std::size_t Object::queueIndexLocked(const std::string& uuid) const {
  for (std::size_t i = 0; i < operationSetQueue_.size(); ++i) {
    if (operationSetQueue_[i].uuid() == uuid) return i;
  }
  return kNotQueued;
}

Object::PendingSave Object::_startSave() {
  std::lock_guard lock(mutex_);
  checkForChangedReferencesLocked();
  OperationSet sent = operationSetQueue_.back();
  operationSetQueue_.emplace_back();
  return PendingSave(self(), std::move(sent));
}

Dictionary Object::_convertToDictionaryForSaving(const OperationSet& operationSet, const Encoder& encoder) {
  Dictionary out;
  out.reserve(operationSet.count());
  operationSet.forEach([&](const std::string& key, const FieldOperationPtr& operation) {
    out.set(key, operation->encodeWithObjectEncoder(encoder));
  });
  return out;
}

void Object::_mergeAfterSaveWithResult(const std::optional<Dictionary>& result, const Decoder& decoder) {
  std::string uuid;
  {
    std::lock_guard lock(mutex_);
    uuid = operationSetQueue_.front().uuid();
  }
  _mergeAfterSaveWithResult(result, decoder, uuid);
}

void Object::_mergeAfterSaveWithResult(const std::optional<Dictionary>& result, const Decoder& decoder,
                                       const std::string& operationSetUUID) {
  std::optional<Dictionary> decoded;
  if (result) decoded = decodeResult(*result, decoder);
  std::lock_guard lock(mutex_);
  std::size_t index = queueIndexLocked(operationSetUUID);
  if (index == kNotQueued) return;
  // The last set collects new changes; it is never the one sent, but a queue must never
  // be left empty.
  if (index + 1 == operationSetQueue_.size()) operationSetQueue_.emplace_back();
  OperationSet sent = std::move(operationSetQueue_[index]);
  operationSetQueue_.erase(operationSetQueue_.begin() + static_cast<std::ptrdiff_t>(index));
  if (decoded) {
    auto state = state_->mutableCopy();
    state->applyOperationSet(sent);
    mergeDecodedLocked(*decoded, false, *state);
    installStateLocked(std::move(state));
    makeAvailableLocked(*decoded);
    dirty_ = false;
  } else {
    // What the failed set's changes applied to: the server data with the sets before it.
    std::vector<OperationSet> before(operationSetQueue_.begin(),
                                     operationSetQueue_.begin() + static_cast<std::ptrdiff_t>(index));
    ObjectEstimatedData base = ObjectEstimatedData::estimatedDataFromServerData(state_->serverData(), before);
    operationSetQueue_[index].mergeOperationSet(sent, &base.data());
  }
  rebuildEstimatedDataLocked();
  snapshotAllLocked();
}

// ---- PendingSave ----

Object::PendingSave::PendingSave(ObjectPtr object, OperationSet operationSet)
    : object_(std::move(object)), operationSet_(std::move(operationSet)) {}

Object::PendingSave::PendingSave(PendingSave&& other) noexcept
    : object_(std::move(other.object_)), operationSet_(std::move(other.operationSet_)) {}

Object::PendingSave& Object::PendingSave::operator=(PendingSave&& other) noexcept {
  if (this != &other) {
    fail();
    object_ = std::move(other.object_);
    operationSet_ = std::move(other.operationSet_);
  }
  return *this;
}

Object::PendingSave::~PendingSave() { fail(); }

void Object::PendingSave::finishWithResult(const Dictionary& result, const Decoder& decoder) {
  ObjectPtr object = std::move(object_);
  if (object) object->_mergeAfterSaveWithResult(result, decoder, operationSet_.uuid());
}

void Object::PendingSave::fail() {
  ObjectPtr object = std::move(object_);
  if (!object) return;
  try {
    object->_mergeAfterSaveWithResult(std::nullopt, *Decoder::objectDecoder(), operationSet_.uuid());
  } catch (const std::exception& e) {
    logError("Folding back the changes of a failed save failed: %@", e.what());
  }
}

// ---- Persisted form ----

Dictionary Object::RESTDictionaryWithObjectEncoder(const Encoder& encoder,
                                                   std::vector<std::string>* operationSetUUIDs) const {
  ObjectStatePtr state;
  std::vector<OperationSet> queue;
  int deletingEventually;
  {
    std::lock_guard lock(mutex_);
    const_cast<Object*>(this)->checkForChangedReferencesLocked();
    state = state_;
    queue = operationSetQueue_;
    deletingEventually = deletingEventually_;
  }
  // Encoding may ask other objects for their local ids: no lock of ours is held.
  Dictionary out = state->dictionaryRepresentationWithObjectEncoder(encoder);
  out.set("className", Value(state->className()));
  out.set("__complete", Value(state->isComplete()));
  out.set("isDeletingEventually", Value(deletingEventually));
  Array operations;
  operations.reserve(queue.size());
  for (const auto& set : queue) {
    operations.push_back(Value(set.RESTDictionaryWithObjectEncoder(encoder)));
    if (operationSetUUIDs) operationSetUUIDs->push_back(set.uuid());
  }
  out.set("__operations", Value(std::move(operations)));
  return out;
}

void Object::mergeFromRESTDictionary(const Dictionary& dictionary, const Decoder& decoder) {
  std::vector<OperationSet> remoteSets;
  std::optional<bool> complete;
  std::optional<int> deletingEventually;
  Dictionary serverPart;
  for (const auto& [key, value] : dictionary) {
    if (key == "__operations") {
      if (!value.isArray()) {
        logWarning("Ignoring pending changes that are not a list: %@", value);
        continue;
      }
      for (const auto& element : value.arrayValue()) {
        if (!element.isDictionary()) {
          logWarning("Ignoring a set of pending changes that is not a dictionary: %@", element);
          continue;
        }
        remoteSets.push_back(OperationSet::operationSetFromRESTDictionary(element.dictionaryValue(), decoder));
      }
    } else if (key == "__complete") {
      if (value.isNumber()) complete = value.boolValue();
    } else if (key == "isDeletingEventually") {
      if (value.isNumber()) deletingEventually = value.intValue();
    } else if (key == "__type" || key == "className") {
      continue;
    } else {
      serverPart.set(key, value);
    }
  }
  Dictionary decoded = decodeResult(serverPart, decoder);
  std::optional<Date> remoteUpdatedAt;
  if (const Value* v = decoded.find("updatedAt")) remoteUpdatedAt = dateFromServerValue(*v);

  std::lock_guard lock(mutex_);
  checkForChangedReferencesLocked();
  const auto& localUpdatedAt = state_->updatedAt();
  bool mergeServer = remoteUpdatedAt ? (!localUpdatedAt || *remoteUpdatedAt >= *localUpdatedAt) : !localUpdatedAt;

  if (!remoteSets.empty()) {
    bool lastMatched = false;
    std::size_t cursor = 0;
    for (auto& remote : remoteSets) {
      std::size_t index = queueIndexLocked(remote.uuid());
      if (index != kNotQueued) {
        // The same generation of changes seen twice: take the operations this object lacks
        // rather than merging the set with itself (which would count increments twice).
        OperationSet& local = operationSetQueue_[index];
        remote.forEach([&](const std::string& key, const FieldOperationPtr& operation) {
          if (!local.objectForKey(key)) local.setObject(operation, key);
        });
        if (index + 1 == operationSetQueue_.size()) lastMatched = true;
        cursor = index + 1;
      } else {
        operationSetQueue_.insert(operationSetQueue_.begin() + static_cast<std::ptrdiff_t>(cursor), std::move(remote));
        ++cursor;
      }
    }
    // An object read back from its persisted form: its own empty set of new changes gives way
    // to the persisted one, which stays last.
    if (!lastMatched && operationSetQueue_.size() > 1 && operationSetQueue_.back().empty() &&
        cursor + 1 == operationSetQueue_.size()) {
      operationSetQueue_.pop_back();
    }
  }
  if (deletingEventually) deletingEventually_ = *deletingEventually;
  auto state = state_->mutableCopy();
  if (mergeServer) {
    mergeDecodedLocked(decoded, false, *state);
    if (complete.value_or(false)) {
      state->setComplete(true);
      for (const auto& key : state->serverData().keys()) {
        if (!decoded.contains(key)) {
          state->removeServerDataObjectForKey(key);
          availableKeys_.erase(key);
        }
      }
    } else {
      state->setComplete(false);
    }
  }
  if (!state->updatedAt() && state->createdAt()) state->setUpdatedAt(state->createdAt());
  installStateLocked(std::move(state));
  if (mergeServer) makeAvailableLocked(decoded);
  // A key with a pending change has a local value, as after performOperation.
  for (const auto& set : operationSetQueue_) {
    set.forEach([this](const std::string& key, const FieldOperationPtr&) { makeAvailableLocked(key); });
  }
  rebuildEstimatedDataLocked();
  snapshotAllLocked();
}

// ---- Identity ----

std::string Object::getOrCreateLocalId() {
  std::lock_guard lock(identityMutex_);
  if (!localId_) localId_ = newLocalId();
  return *localId_;
}

std::optional<std::string> Object::localId() const {
  std::lock_guard lock(identityMutex_);
  return localId_;
}

int Object::_deletingEventually() const {
  std::lock_guard lock(mutex_);
  return deletingEventually_;
}

namespace {

// Describes a field value with the objects in it shown by class and id only: an object's full
// description would take that object's lock and, for objects that point at each other, never end.
std::string describeField(const Value& value) {
  switch (value.type()) {
    case Value::Type::Reference:
      if (auto object = value.as<const BackendObject>()) {
        return formatMessage("<%@: %p, objectId: %@>", object->className(), static_cast<const void*>(object.get()),
                             Value(object->objectId().value_or("new")));
      }
      return value.description();
    case Value::Type::Array: {
      std::string out = "(";
      bool first = true;
      for (const auto& v : value.arrayValue()) {
        if (!first) out += ", ";
        first = false;
        out += describeField(v);
      }
      return out + ")";
    }
    case Value::Type::Dictionary: {
      std::string out = "{";
      for (const auto& [k, v] : value.dictionaryValue()) out += k + " = " + describeField(v) + "; ";
      return out + "}";
    }
    default:
      return value.description();
  }
}

}  // namespace

std::string Object::description() const {
  ObjectStatePtr state;
  Dictionary fields;
  std::optional<std::string> localId;
  {
    std::lock_guard lock(mutex_);
    state = state_;
    fields = estimatedData_.data();
  }
  localId = this->localId();
  std::string out = formatMessage("<%@: %p, objectId: %@, localId: %@> {", state->className(),
                                  static_cast<const void*>(this), Value(state->objectId().value_or("new")),
                                  Value(localId.value_or("(null)")));
  for (const auto& [key, value] : fields) out += "\n    " + key + " = " + describeField(value) + ";";
  return out + "\n}";
}

}  // namespace keel
