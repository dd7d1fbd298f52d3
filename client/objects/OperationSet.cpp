#include <keel/objects/OperationSet.h>

#include <keel/base/Crypto.h>
#include <keel/base/Exception.h>
#include <keel/base/Logger.h>
#include <keel/objects/ACL.h>
#include <keel/objects/Decoder.h>
#include <keel/objects/Encoder.h>

namespace keel {

OperationSet::OperationSet() : OperationSet(uuidV4Lowercase()) {}

OperationSet::OperationSet(std::string uuid) : uuid_(std::move(uuid)), updatedAt_(dateNow()) {}

FieldOperationPtr OperationSet::objectForKey(std::string_view key) const {
  const Value* v = operations_.find(key);
  return v ? v->as<const FieldOperation>() : nullptr;
}

void OperationSet::setObject(FieldOperationPtr operation, const std::string& key) {
  if (!operation) {
    operations_.remove(key);
  } else {
    operations_.set(key, Value(std::move(operation)));
  }
  updatedAt_ = dateNow();
}

void OperationSet::removeObjectForKey(std::string_view key) {
  if (operations_.remove(key)) updatedAt_ = dateNow();
}

void OperationSet::removeAllObjects() {
  operations_.clear();
  updatedAt_ = dateNow();
}

namespace {

// Applies `operation` to `value`, or leaves `value` when the operation does not apply to it.
std::optional<Value> applyOrKeep(const FieldOperation& operation, const std::optional<Value>& value,
                                 const std::string& key) {
  try {
    return operation.applyToValue(value, key);
  } catch (const Exception&) {
    return value;
  }
}

}  // namespace

void OperationSet::mergeOperationSet(const OperationSet& older, const Dictionary* serverData) {
  older.forEach([&](const std::string& key, const FieldOperationPtr& olderOperation) {
    FieldOperationPtr newer = objectForKey(key);
    if (!newer) {
      operations_.set(key, Value(olderOperation));
      return;
    }
    try {
      operations_.set(key, Value(newer->mergeWithPrevious(olderOperation)));
    } catch (const Exception&) {
      // Both changes were made by the application and both must reach the server: send the
      // value they give together, as the estimate showed it.
      std::optional<Value> base;
      if (serverData) {
        if (const Value* v = serverData->find(key)) base = *v;
      }
      std::optional<Value> value = applyOrKeep(*newer, applyOrKeep(*olderOperation, base, key), key);
      FieldOperationPtr folded;
      if (value) {
        folded = std::make_shared<const SetOperation>(*value);
      } else {
        folded = DeleteOperation::operation();
      }
      operations_.set(key, Value(std::move(folded)));
    }
  });
  updatedAt_ = dateNow();
}

Dictionary OperationSet::RESTDictionaryWithObjectEncoder(const Encoder& encoder) const {
  Dictionary out;
  out.reserve(operations_.size() + 3);
  forEach([&](const std::string& key, const FieldOperationPtr& operation) {
    out.set(key, operation->encodeWithObjectEncoder(encoder));
  });
  out.set("__uuid", Value(uuid_));
  if (updatedAt_) out.set("__updatedAt", encoder.encodeObject(Value(*updatedAt_)));
  if (saveEventually_) out.set("__isSaveEventually", Value(true));
  return out;
}

OperationSet OperationSet::operationSetFromRESTDictionary(const Dictionary& dictionary, const Decoder& decoder) {
  const Value& uuid = dictionary["__uuid"];
  OperationSet set = uuid.isString() && !uuid.stringValue().empty() ? OperationSet(uuid.stringValue())
                                                                     : OperationSet();
  set.updatedAt_.reset();
  for (const auto& [key, value] : dictionary) {
    if (key == "__uuid") continue;
    if (key == "__isSaveEventually") {
      set.saveEventually_ = value.isNumber() && value.boolValue();
      continue;
    }
    if (key == "__updatedAt") {
      Value date = decoder.decodeObject(value);
      if (date.isDate()) set.updatedAt_ = date.dateValue();
      continue;
    }
    FieldOperationPtr operation;
    if (key == "ACL" && value.isDictionary()) {
      operation = std::make_shared<const SetOperation>(Value(ACL::ACLWithDictionary(value.dictionaryValue())));
    } else {
      operation = decoder.decodeFieldChange(value);
    }
    if (!operation) {
      logWarning("Leaving out a pending change of \"%@\" that cannot be read: %@", key, value);
      continue;
    }
    set.operations_.set(key, Value(std::move(operation)));
  }
  return set;
}

bool OperationSet::operator==(const OperationSet& other) const {
  return uuid_ == other.uuid_ && updatedAt_ == other.updatedAt_ && saveEventually_ == other.saveEventually_ &&
         operations_ == other.operations_;
}

void applyFieldOperationToDictionary(Dictionary& dictionary, const FieldOperation& operation, const std::string& key) {
  std::optional<Value> old;
  if (const Value* v = dictionary.find(key)) old = *v;
  std::optional<Value> next = operation.applyToValue(old, key);
  if (next) {
    dictionary.set(key, std::move(*next));
  } else {
    dictionary.remove(key);
  }
}

}  // namespace keel
