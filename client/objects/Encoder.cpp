#include <keel/objects/Encoder.h>

#include <algorithm>

#include <keel/base/Base64Encoder.h>
#include <keel/base/DateFormatter.h>
#include <keel/base/Exception.h>
#include <keel/objects/ACL.h>
#include <keel/objects/FieldOperation.h>
#include <keel/objects/File.h>
#include <keel/objects/GeoPoint.h>
#include <keel/objects/Relation.h>

namespace keel {

namespace {

// Shared texts: copying a Value shares its buffer, so writing these allocates nothing.
const Value kBytesText("Bytes");
const Value kDateText("Date");
const Value kFileText("File");
const Value kPointerText("Pointer");
const Value kOfflineObjectText("OfflineObject");

// The uuid an OfflineObjectEncoder fills in once the store has made it.
class PendingOfflineUUID : public ValueReference {
 public:
  std::string className() const override { return "PendingOfflineUUID"; }
  void set(std::string uuid) {
    std::lock_guard lock(mutex_);
    uuid_ = std::move(uuid);
  }
  std::optional<std::string> get() const {
    std::lock_guard lock(mutex_);
    return uuid_;
  }

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> uuid_;
};

Value resolvePlaceholders(const Value& value) {
  switch (value.type()) {
    case Value::Type::Array: {
      Array out;
      out.reserve(value.arrayValue().size());
      for (const auto& v : value.arrayValue()) out.push_back(resolvePlaceholders(v));
      return Value(std::move(out));
    }
    case Value::Type::Dictionary: {
      Dictionary out;
      out.reserve(value.dictionaryValue().size());
      for (const auto& [k, v] : value.dictionaryValue()) out.set(k, resolvePlaceholders(v));
      return Value(std::move(out));
    }
    case Value::Type::Reference:
      if (auto pending = value.as<PendingOfflineUUID>()) {
        if (auto uuid = pending->get()) return Value(*uuid);
      }
      return value;
    default:
      return value;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Encoder

const std::shared_ptr<Encoder>& Encoder::objectEncoder() {
  static const auto shared = std::make_shared<Encoder>();
  return shared;
}

Value Encoder::encodeObject(const Value& object) const {
  switch (object.type()) {
    case Value::Type::Bytes:
      return Value(Dictionary{{"__type", kBytesText},
                              {"base64", Value(Base64Encoder::base64StringFromData(object.bytesValue()))}});
    case Value::Type::Date: {
      std::int64_t millis = millisFromDate(object.dateValue());
      parameterAssert(millis >= kFirstWritableMillis && millis <= kLastWritableMillis,
                      "Object values must be serializable to JSON");
      return Value(Dictionary{
          {"__type", kDateText},
          {"iso", Value(DateFormatter::sharedFormatter().preciseStringFromDate(object.dateValue()))}});
    }
    case Value::Type::Array: {
      const Array& in = object.arrayValue();
      Array out;
      out.reserve(in.size());
      for (const auto& v : in) out.push_back(encodeObject(v));
      return Value(std::move(out));
    }
    case Value::Type::Dictionary: {
      const Dictionary& in = object.dictionaryValue();
      Dictionary out;
      out.reserve(in.size());
      for (const auto& [k, v] : in) out.set(k, encodeObject(v));
      return Value(std::move(out));
    }
    case Value::Type::Reference:
      break;
    default:
      return object;
  }
  switch (*object.referenceKind()) {
    case ReferenceKind::Object: {
      auto o = object.as<BackendObject>();
      consistencyAssert(o != nullptr, "Objects must be held as mutable references.");
      return encodeBackendObject(o);
    }
    case ReferenceKind::File: {
      auto file = object.as<const File>();
      if (file->isDirty()) return Value(Dictionary{{"__type", kFileText}});
      Dictionary out{{"__type", kFileText}};
      if (auto url = file->url()) out.set("url", Value(*url));
      if (auto name = file->name()) out.set("name", Value(*name));
      return Value(std::move(out));
    }
    case ReferenceKind::FieldOperation:
      return object.as<const FieldOperation>()->encodeWithObjectEncoder(
          *PointerOrLocalIdObjectEncoder::objectEncoder());
    case ReferenceKind::ACL:
      return Value(object.as<const ACL>()->permissions());
    case ReferenceKind::GeoPoint:
      return Value(object.as<const GeoPoint>()->encodeIntoDictionary());
    case ReferenceKind::Relation:
      return Value(object.as<const Relation>()->encodeIntoDictionary(*this));
    default:
      return object;
  }
}

Value Encoder::encodeBackendObject(const BackendObjectPtr&) const { return Value(); }

Value Encoder::pointerTo(const BackendObject& object, const std::string& objectId) {
  return Value(Dictionary{
      {"__type", kPointerText}, {"objectId", Value(objectId)}, {"className", Value(object.className())}});
}

// ---------------------------------------------------------------------------------------------
// The object policies

const std::shared_ptr<NoObjectEncoder>& NoObjectEncoder::objectEncoder() {
  static const auto shared = std::make_shared<NoObjectEncoder>();
  return shared;
}

Value NoObjectEncoder::encodeBackendObject(const BackendObjectPtr&) const {
  throw InternalInconsistencyException("Objects are not allowed here.");
}

const std::shared_ptr<PointerOrLocalIdObjectEncoder>& PointerOrLocalIdObjectEncoder::objectEncoder() {
  static const auto shared = std::make_shared<PointerOrLocalIdObjectEncoder>();
  return shared;
}

Value PointerOrLocalIdObjectEncoder::encodeBackendObject(const BackendObjectPtr& object) const {
  if (auto id = object->objectId()) return pointerTo(*object, *id);
  return Value(Dictionary{{"__type", kPointerText},
                          {"localId", Value(object->getOrCreateLocalId())},
                          {"className", Value(object->className())}});
}

const std::shared_ptr<PointerObjectEncoder>& PointerObjectEncoder::objectEncoder() {
  static const auto shared = std::make_shared<PointerObjectEncoder>();
  return shared;
}

Value PointerObjectEncoder::encodeBackendObject(const BackendObjectPtr& object) const {
  auto id = object->objectId();
  consistencyAssert(id.has_value(), "Tried to save an object with a new, unsaved child.");
  return pointerTo(*object, *id);
}

// ---------------------------------------------------------------------------------------------
// OfflineObjectEncoder

OfflineObjectEncoder::OfflineObjectEncoder(std::shared_ptr<OfflineObjectStore> store,
                                           std::shared_ptr<OfflineDatabase> database)
    : store_(std::move(store)), database_(std::move(database)) {}

std::shared_ptr<OfflineObjectEncoder> OfflineObjectEncoder::objectEncoderWithOfflineStore(
    std::shared_ptr<OfflineObjectStore> store, std::shared_ptr<OfflineDatabase> database) {
  return std::make_shared<OfflineObjectEncoder>(std::move(store), std::move(database));
}

Value OfflineObjectEncoder::encodeBackendObject(const BackendObjectPtr& object) const {
  if (auto id = object->objectId()) return pointerTo(*object, *id);
  auto placeholder = std::make_shared<PendingOfflineUUID>();
  std::lock_guard lock(mutex_);
  Task<std::string> uuid = store_->getOrCreateUUIDAsyncForObject(object, database_);
  // The list holds the continuation, not the store's task, so that waiting for the list also
  // waits for the uuid to be in place.
  pending_.push_back(uuid.continueWithSuccessBlock(
      [placeholder](const Task<std::string>& t) { placeholder->set(t.result()); }));
  return Value(Dictionary{{"__type", kOfflineObjectText}, {"uuid", Value(placeholder)}});
}

Task<void> OfflineObjectEncoder::encodeFinished() const {
  std::vector<Task<void>> pending;
  {
    std::lock_guard lock(mutex_);
    pending = pending_;
  }
  auto self = shared_from_this();
  return Task<void>::taskForCompletionOfAllTasks(pending).continueWithBlock(
      [self, pending](const Task<void>&) -> Task<void> {
        std::lock_guard lock(self->mutex_);
        for (const auto& t : pending) {
          if (t.isCancelled() || t.isFaulted()) return t;
        }
        // Only what this call waited for leaves the list; uuids asked for since stay pending.
        std::erase_if(self->pending_, [&pending](const Task<void>& t) {
          return std::find(pending.begin(), pending.end(), t) != pending.end();
        });
        return Task<void>::taskWithResult();
      });
}

Value OfflineObjectEncoder::resolvedValue(const Value& encoded) const { return resolvePlaceholders(encoded); }

// ---------------------------------------------------------------------------------------------

void checkNoReservedKeys(const Value& value) {
  if (value.isArray()) {
    for (const auto& v : value.arrayValue()) checkNoReservedKeys(v);
  } else if (value.isDictionary()) {
    for (const auto& [k, v] : value.dictionaryValue()) {
      parameterAssert(k != "__op" && k != "__type",
                      "Dictionary values may not use the reserved key \"%@\".", k);
      checkNoReservedKeys(v);
    }
  }
}

}  // namespace keel
