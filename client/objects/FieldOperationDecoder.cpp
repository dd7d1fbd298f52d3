#include <keel/objects/FieldOperationDecoder.h>

#include <cmath>

#include <keel/base/Exception.h>
#include <keel/objects/Decoder.h>

namespace keel {

namespace {

[[noreturn]] void undecodable(const Value& op) {
  throw InvalidArgumentException(formatMessage("Unable to decode operation of type %@.", op));
}

// Returns the decoded "objects" array; refuses anything else, and operations inside it.
Array decodedObjects(const Dictionary& encoded, const Decoder& decoder) {
  const Value* objects = encoded.find("objects");
  if (!objects || !objects->isArray()) undecodable(encoded["__op"]);
  Value decoded = decoder.decodeObject(*objects);
  for (const auto& v : decoded.arrayValue()) {
    if (v.isReferenceOfKind(ReferenceKind::FieldOperation)) undecodable(encoded["__op"]);
  }
  return decoded.arrayValue();
}

std::vector<BackendObjectPtr> decodedRelationObjects(const Dictionary& encoded, const Decoder& decoder) {
  std::vector<BackendObjectPtr> out;
  std::optional<std::string> className;
  for (const auto& v : decodedObjects(encoded, decoder)) {
    auto object = v.as<BackendObject>();
    if (!object) undecodable(encoded["__op"]);
    if (className && *className != object->className()) undecodable(encoded["__op"]);
    className = object->className();
    out.push_back(std::move(object));
  }
  return out;
}

}  // namespace

const FieldOperationDecoder& FieldOperationDecoder::defaultDecoder() {
  static const FieldOperationDecoder shared;
  return shared;
}

FieldOperationDecoder::FieldOperationDecoder() {
  table_["Delete"] = [](const Dictionary&, const Decoder&) -> FieldOperationPtr {
    return DeleteOperation::operation();
  };
  table_["Increment"] = [](const Dictionary& encoded, const Decoder&) -> FieldOperationPtr {
    const Value& amount = encoded["amount"];
    if (!amount.isNumber() || amount.isBool() || !std::isfinite(amount.doubleValue())) {
      undecodable(encoded["__op"]);
    }
    return std::make_shared<const IncrementOperation>(amount);
  };
  table_["Add"] = [](const Dictionary& encoded, const Decoder& decoder) -> FieldOperationPtr {
    return std::make_shared<const AddOperation>(decodedObjects(encoded, decoder));
  };
  table_["AddUnique"] = [](const Dictionary& encoded, const Decoder& decoder) -> FieldOperationPtr {
    return std::make_shared<const AddUniqueOperation>(decodedObjects(encoded, decoder));
  };
  table_["Remove"] = [](const Dictionary& encoded, const Decoder& decoder) -> FieldOperationPtr {
    return std::make_shared<const RemoveOperation>(decodedObjects(encoded, decoder));
  };
  table_["AddRelation"] = [](const Dictionary& encoded, const Decoder& decoder) -> FieldOperationPtr {
    auto objects = decodedRelationObjects(encoded, decoder);
    if (objects.empty()) return nullptr;
    return RelationOperation::addRelationToObjects(objects);
  };
  table_["RemoveRelation"] = [](const Dictionary& encoded, const Decoder& decoder) -> FieldOperationPtr {
    auto objects = decodedRelationObjects(encoded, decoder);
    if (objects.empty()) return nullptr;
    return RelationOperation::removeRelationToObjects(objects);
  };
  table_["Batch"] = [this](const Dictionary& encoded, const Decoder& decoder) -> FieldOperationPtr {
    const Value* ops = encoded.find("ops");
    if (!ops || !ops->isArray()) undecodable(encoded["__op"]);
    FieldOperationPtr result;
    for (const auto& element : ops->arrayValue()) {
      FieldOperationPtr op;
      if (auto given = element.as<const FieldOperation>()) {
        op = std::move(given);
      } else if (element.isDictionary()) {
        op = decode(element.dictionaryValue(), decoder);
      } else {
        undecodable(encoded["__op"]);
      }
      if (op) result = op->mergeWithPrevious(result);
    }
    return result;
  };
}

FieldOperationPtr FieldOperationDecoder::decode(const Dictionary& encoded, const Decoder& decoder) const {
  const Value& op = encoded["__op"];
  auto it = op.isString() ? table_.find(op.stringValue()) : table_.end();
  if (it == table_.end()) undecodable(op);
  return it->second(encoded, decoder);
}

}  // namespace keel
