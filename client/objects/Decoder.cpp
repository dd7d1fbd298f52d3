#include <keel/objects/Decoder.h>

#include <keel/objects/Encoder.h>

#include <keel/base/Base64Encoder.h>
#include <keel/base/DateFormatter.h>
#include <keel/base/Exception.h>
#include <keel/base/Logger.h>
#include <keel/objects/FieldOperationDecoder.h>
#include <keel/objects/File.h>
#include <keel/objects/GeoPoint.h>
#include <keel/objects/Relation.h>

namespace keel {

namespace {

std::string identityKey(const std::string& className, const std::string& objectId) {
  std::string key = className;
  key.push_back('\0');
  key += objectId;
  return key;
}

// Returns the raw dictionary, having said why it stays raw.
Value keptRaw(const Dictionary& dictionary, const std::string& type, const std::string& why) {
  logWarning("Keeping an undecodable %@ value as it is (%@): %@", type, why, Value(dictionary));
  return Value(dictionary);
}

const std::string* nonEmptyString(const Dictionary& dictionary, std::string_view key) {
  const Value* v = dictionary.find(key);
  if (!v || !v->isString() || v->stringValue().empty()) return nullptr;
  return &v->stringValue();
}

ObjectFactory& requireFactory(std::shared_ptr<ObjectFactory>& holder) {
  holder = ObjectFactory::installedFactory();
  consistencyAssert(holder != nullptr, "No object factory is installed; objects cannot be decoded.");
  return *holder;
}

}  // namespace

const std::shared_ptr<Decoder>& Decoder::objectDecoder() {
  static const auto shared = std::make_shared<Decoder>();
  return shared;
}

const std::shared_ptr<Decoder>& Decoder::partialObjectsDecoder() {
  static const auto shared = [] {
    auto decoder = std::make_shared<Decoder>();
    decoder->nestedObjectsComplete_ = false;
    return decoder;
  }();
  return shared;
}

std::shared_ptr<KnownObjectDecoder> Decoder::decoderWithFetchedObjects(const std::vector<BackendObjectPtr>& fetchedObjects) {
  return std::make_shared<KnownObjectDecoder>(fetchedObjects);
}

std::shared_ptr<OfflineDecoder> Decoder::decoderWithOfflineObjects(
    std::unordered_map<std::string, Task<BackendObjectPtr>> offlineObjects) {
  return std::make_shared<OfflineDecoder>(std::move(offlineObjects));
}

Value Decoder::decodeObject(const Value& object) const {
  if (object.isDictionary()) return decodeDictionary(object.dictionaryValue());
  if (object.isArray()) return decodeArray(object.arrayValue());
  return object;
}

Value Decoder::decodeArray(const Array& array) const {
  Array out;
  out.reserve(array.size());
  for (const auto& v : array) out.push_back(decodeObject(v));
  return Value(std::move(out));
}

Value Decoder::decodeDictionary(const Dictionary& dictionary) const {
  if (dictionary.contains("__op")) return decodeOperationDictionary(dictionary).value_or(Value());
  const Value* type = dictionary.find("__type");
  if (!type) {
    Dictionary out;
    out.reserve(dictionary.size());
    for (const auto& [k, v] : dictionary) {
      if (v.isDictionary() && v.dictionaryValue().contains("__op")) {
        // A change of nothing leaves no entry behind (rather than a null that would read as
        // "set to null").
        if (auto decoded = decodeOperationDictionary(v.dictionaryValue())) out.set(k, std::move(*decoded));
        continue;
      }
      out.set(k, decodeObject(v));
    }
    return Value(std::move(out));
  }
  if (!type->isString()) return Value(dictionary);
  return decodeSpecialValue(dictionary, type->stringValue());
}

std::optional<Value> Decoder::decodeOperationDictionary(const Dictionary& dictionary) const {
  try {
    FieldOperationPtr op = FieldOperationDecoder::defaultDecoder().decode(dictionary, *this);
    if (!op) return std::nullopt;
    return Value(op);
  } catch (const Exception& e) {
    return keptRaw(dictionary, "operation", e.reason());
  }
}

FieldOperationPtr Decoder::decodeFieldChange(const Value& encoded) const {
  if (encoded.isDictionary() && encoded.dictionaryValue().contains("__op")) {
    try {
      return FieldOperationDecoder::defaultDecoder().decode(encoded.dictionaryValue(), *this);
    } catch (const Exception& e) {
      logWarning("Dropping an undecodable operation (%@): %@", e.reason(), encoded);
      return nullptr;
    }
  }
  Value decoded = decodeObject(encoded);
  if (auto op = decoded.as<const FieldOperation>()) return op;
  return std::make_shared<const SetOperation>(std::move(decoded));
}

Value Decoder::decodeSpecialValue(const Dictionary& dictionary, const std::string& type) const {
  if (type == "Date") {
    const Value& iso = dictionary["iso"];
    if (!iso.isString()) return keptRaw(dictionary, type, "\"iso\" is not a string");
    Date date = DateFormatter::sharedFormatter().dateFromString(iso.stringValue());
    // SQLite also reads Julian day numbers, back to 4713 BC; a date the four-digit text cannot
    // name could never be written again.
    if (millisFromDate(date) < kFirstWritableMillis || millisFromDate(date) > kLastWritableMillis) {
      return keptRaw(dictionary, type, "the date is outside years 0-9999");
    }
    return Value(date);
  }
  if (type == "Bytes") {
    const Value& text = dictionary["base64"];
    if (!text.isString()) return keptRaw(dictionary, type, "\"base64\" is not a string");
    auto bytes = Base64Encoder::dataFromBase64String(text.stringValue());
    if (!bytes) return keptRaw(dictionary, type, "\"base64\" is not Base64");
    return Value(std::move(*bytes));
  }
  if (type == "GeoPoint") {
    try {
      return Value(GeoPoint::geoPointWithDictionary(dictionary));
    } catch (const Exception& e) {
      return keptRaw(dictionary, type, e.reason());
    }
  }
  if (type == "Relation") {
    std::optional<std::string> target;
    if (const Value* c = dictionary.find("className")) {
      if (!c->isString()) return keptRaw(dictionary, type, "\"className\" is not a string");
      target = c->stringValue();
    }
    std::vector<BackendObjectPtr> known;
    if (const Value* objects = dictionary.find("objects")) {
      if (!objects->isArray()) return keptRaw(dictionary, type, "\"objects\" is not an array");
      for (const auto& element : objects->arrayValue()) {
        auto object = decodeObject(element).as<BackendObject>();
        if (!object) return keptRaw(dictionary, type, "\"objects\" holds a value that is not an object");
        known.push_back(std::move(object));
      }
    }
    return Value(Relation::relationWithTargetClassKnownObjects(std::move(target), known));
  }
  if (type == "File") {
    std::optional<std::string> name, url;
    if (const Value* v = dictionary.find("name")) {
      if (!v->isString()) return keptRaw(dictionary, type, "\"name\" is not a string");
      name = v->stringValue();
    }
    if (const Value* v = dictionary.find("url")) {
      if (!v->isString()) return keptRaw(dictionary, type, "\"url\" is not a string");
      url = v->stringValue();
    }
    return Value(File::fileWithName(std::move(name), std::move(url)));
  }
  if (type == "Pointer") {
    const std::string* className = nonEmptyString(dictionary, "className");
    if (!className) return keptRaw(dictionary, type, "no class name");
    BackendObjectPtr object;
    try {
      if (dictionary.contains("localId")) {
        const std::string* localId = nonEmptyString(dictionary, "localId");
        if (!localId) return keptRaw(dictionary, type, "\"localId\" is not a local id");
        object = decodePointerForClassNameLocalId(*className, *localId);
      } else {
        const std::string* objectId = nonEmptyString(dictionary, "objectId");
        if (!objectId) return keptRaw(dictionary, type, "no object id");
        object = decodePointerForClassNameObjectId(*className, *objectId);
      }
    } catch (const InvalidArgumentException& e) {
      return keptRaw(dictionary, type, e.reason());
    }
    if (!object) return keptRaw(dictionary, type, "no object for it");
    return Value(std::move(object));
  }
  if (type == "Object") {
    const std::string* className = nonEmptyString(dictionary, "className");
    if (!className) return keptRaw(dictionary, type, "no class name");
    std::string name = *className;
    Dictionary fields = dictionary;
    fields.remove("__type");
    fields.remove("className");
    Value decoded = decodeDictionary(fields);
    std::shared_ptr<ObjectFactory> holder;
    ObjectFactory& factory = requireFactory(holder);
    try {
      auto object = factory.objectFromDictionary(decoded.dictionaryValue(), name, nestedObjectsComplete_, *this);
      if (!object) return keptRaw(dictionary, type, "no object for it");
      return Value(std::move(object));
    } catch (const InvalidArgumentException& e) {
      return keptRaw(dictionary, type, e.reason());
    }
  }
  return Value(dictionary);
}

BackendObjectPtr Decoder::decodePointerForClassNameObjectId(const std::string& className,
                                                            const std::string& objectId) const {
  std::shared_ptr<ObjectFactory> holder;
  return requireFactory(holder).objectWithoutDataWithClassNameObjectId(className, objectId);
}

BackendObjectPtr Decoder::decodePointerForClassNameLocalId(const std::string& className,
                                                           const std::string& localId) const {
  std::shared_ptr<ObjectFactory> holder;
  return requireFactory(holder).objectWithoutDataWithClassNameLocalId(className, localId);
}

// ---------------------------------------------------------------------------------------------
// KnownObjectDecoder

KnownObjectDecoder::KnownObjectDecoder(const std::vector<BackendObjectPtr>& fetchedObjects) {
  for (const auto& o : fetchedObjects) {
    if (!o) continue;
    if (auto id = o->objectId()) byIdentity_.try_emplace(identityKey(o->className(), *id), o);
  }
}

std::vector<BackendObjectPtr> KnownObjectDecoder::fetchedObjects() const {
  std::vector<BackendObjectPtr> out;
  out.reserve(byIdentity_.size());
  for (const auto& [k, o] : byIdentity_) out.push_back(o);
  return out;
}

BackendObjectPtr KnownObjectDecoder::decodePointerForClassNameObjectId(const std::string& className,
                                                                       const std::string& objectId) const {
  auto it = byIdentity_.find(identityKey(className, objectId));
  if (it != byIdentity_.end()) return it->second;
  return Decoder::decodePointerForClassNameObjectId(className, objectId);
}

// ---------------------------------------------------------------------------------------------
// OfflineDecoder

OfflineDecoder::OfflineDecoder(std::unordered_map<std::string, Task<BackendObjectPtr>> offlineObjects)
    : offlineObjects_(std::move(offlineObjects)) {}

Value OfflineDecoder::decodeObject(const Value& object) const {
  if (object.isDictionary()) {
    const Dictionary& d = object.dictionaryValue();
    if (const Value* type = d.find("__type"); type && type->isString() && type->stringValue() == "OfflineObject") {
      const Value& uuid = d["uuid"];
      if (!uuid.isString()) return Value();
      auto it = offlineObjects_.find(uuid.stringValue());
      if (it == offlineObjects_.end() || !it->second.isValid()) return Value();
      return Value(it->second.result());
    }
  }
  return Decoder::decodeObject(object);
}

}  // namespace keel
