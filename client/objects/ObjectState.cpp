#include <keel/objects/ObjectState.h>

#include <keel/base/DateFormatter.h>
#include <keel/base/Exception.h>
#include <keel/base/Logger.h>
#include <keel/objects/Encoder.h>
#include <keel/objects/OperationSet.h>

namespace keel {

ObjectState::ObjectState(std::string className, std::optional<std::string> objectId, bool complete)
    : className_(std::move(className)), objectId_(std::move(objectId)), complete_(complete) {}

std::shared_ptr<const ObjectState> ObjectState::stateWithClassName(std::string className,
                                                                   std::optional<std::string> objectId,
                                                                   bool complete) {
  return std::make_shared<const ObjectState>(std::move(className), std::move(objectId), complete);
}

std::shared_ptr<const ObjectState> ObjectState::copy() const {
  return std::make_shared<const ObjectState>(static_cast<const ObjectState&>(*this));
}

std::shared_ptr<MutableObjectState> ObjectState::mutableCopy() const {
  return std::make_shared<MutableObjectState>(static_cast<const ObjectState&>(*this));
}

Dictionary ObjectState::dictionaryRepresentationWithObjectEncoder(const Encoder& encoder) const {
  Dictionary out;
  out.reserve(serverData_.size() + 3);
  if (objectId_) out.set("objectId", Value(*objectId_));
  if (createdAt_) out.set("createdAt", Value(DateFormatter::sharedFormatter().preciseStringFromDate(*createdAt_)));
  if (updatedAt_) out.set("updatedAt", Value(DateFormatter::sharedFormatter().preciseStringFromDate(*updatedAt_)));
  for (const auto& [key, value] : serverData_) out.set(key, encoder.encodeObject(value));
  return out;
}

BaseState::PropertyList ObjectState::propertyValues() const {
  auto optionalString = [](const std::optional<std::string>& s) { return s ? Value(*s) : Value(); };
  auto optionalDate = [](const std::optional<Date>& d) { return d ? Value(*d) : Value(); };
  return {{"className", Value(className_)},     {"objectId", optionalString(objectId_)},
          {"createdAt", optionalDate(createdAt_)}, {"updatedAt", optionalDate(updatedAt_)},
          {"serverData", Value(serverData_)},    {"complete", Value(complete_)},
          {"deleted", Value(deleted_)}};
}

void MutableObjectState::removeServerDataObjectsForKeys(const std::vector<std::string>& keys) {
  for (const auto& key : keys) serverData_.remove(key);
}

void MutableObjectState::setCreatedAtFromString(std::string_view text) {
  createdAt_ = DateFormatter::sharedFormatter().dateFromString(text);
}

void MutableObjectState::setUpdatedAtFromString(std::string_view text) {
  updatedAt_ = DateFormatter::sharedFormatter().dateFromString(text);
}

void MutableObjectState::applyState(const ObjectState& other) {
  if (other.objectId()) objectId_ = other.objectId();
  if (other.createdAt()) createdAt_ = other.createdAt();
  if (other.updatedAt()) updatedAt_ = other.updatedAt();
  for (const auto& [key, value] : other.serverData()) serverData_.set(key, value);
  complete_ = complete_ || other.isComplete();
}

void MutableObjectState::applyOperationSet(const OperationSet& operationSet) {
  operationSet.forEach([this](const std::string& key, const FieldOperationPtr& operation) {
    try {
      applyFieldOperationToDictionary(serverData_, *operation, key);
    } catch (const Exception& e) {
      logWarning("Keeping the server's value of \"%@\": the saved change no longer applies to it (%@)", key,
                 e.reason());
    }
  });
}

}  // namespace keel
