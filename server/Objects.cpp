#include "server/Objects.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include <fmt/format.h>

#include <keel/base/Crypto.h>
#include "server/Acl.h"
#include "server/ApiError.h"
#include "server/JsonValues.h"

namespace keel::server {

namespace {

const std::string kInstallation = "_Installation";
const std::string kUser = "_User";

std::int64_t nowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool isIdentifier(std::string_view name) {
  if (name.empty() || name.size() > 128) return false;
  if (!std::isalpha(static_cast<unsigned char>(name[0]))) return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

// Class names a pointer may name: an identifier, or one with a leading underscore for the
// backend's own classes ("_Installation").
bool isClassName(std::string_view name) {
  return isIdentifier(name.starts_with('_') ? name.substr(1) : name);
}

// True iff `text` is standard base64 (RFC 4648 alphabet, padded, no line breaks).
bool isBase64(std::string_view text) {
  if (text.size() % 4 != 0) return false;
  bool padding = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '=') {
      if (i + 2 < text.size()) return false;
      padding = true;
      continue;
    }
    if (padding) return false;
    const bool inAlphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                            c == '+' || c == '/';
    if (!inAlphabet) return false;
  }
  return true;
}

[[noreturn]] void incorrectType(const std::string& message) { throw ApiError(kIncorrectType, message); }

const json::value* member(const json::object& o, std::string_view key) {
  auto it = o.find(key);
  return it == o.end() ? nullptr : &it->value();
}

std::string requireString(const json::object& o, std::string_view key, std::string_view what) {
  const auto* v = member(o, key);
  if (!v || !v->is_string() || v->get_string().empty()) incorrectType(fmt::format("invalid {}: \"{}\" is needed", what, key));
  return std::string(v->get_string());
}

std::string requireClassName(const json::object& o, std::string_view what) {
  std::string name = requireString(o, "className", what);
  if (!isClassName(name)) incorrectType(fmt::format("invalid {}: \"{}\" is not a class name", what, name));
  return name;
}

// Returns the stored form of a value the client sent, refusing malformed special values.
json::value normalise(const json::value& v) {
  if (v.is_array()) {
    json::array out;
    out.reserve(v.get_array().size());
    for (const auto& e : v.get_array()) out.push_back(normalise(e));
    return out;
  }
  if (!v.is_object()) return v;
  const auto& o = v.get_object();
  if (o.contains("__op")) incorrectType("Field operations are only allowed on top-level fields.");
  const auto* type = member(o, "__type");
  if (!type) {
    json::object out;
    out.reserve(o.size());
    for (const auto& e : o) {
      if (e.key().starts_with("$") || e.key().find('.') != std::string_view::npos)
        throw ApiError(kInvalidNestedKey, "Nested keys should not contain the '$' or '.' characters");
      out[e.key()] = normalise(e.value());
    }
    return out;
  }
  const std::string t(stringOf(*type));
  if (t == "Date") {
    const auto* iso = member(o, "iso");
    std::optional<std::int64_t> millis;
    if (iso && iso->is_string()) millis = parseIsoDate(iso->get_string());
    if (!millis) incorrectType(fmt::format("invalid date: \"iso\" needs an ISO 8601 date text: {}", json::serialize(v)));
    return dateValue(*millis);
  }
  if (t == "Bytes") {
    const auto* b = member(o, "base64");
    if (!b || !b->is_string()) incorrectType("invalid Bytes: \"base64\" text is needed");
    if (!isBase64(b->get_string())) incorrectType("invalid Bytes: \"base64\" is not base64 text");
    return json::object{{"__type", "Bytes"}, {"base64", *b}};
  }
  if (t == "Pointer" || t == "Object") {
    const auto cls = requireClassName(o, "pointer");
    const auto id = requireString(o, "objectId", "pointer");
    return json::object{{"__type", "Pointer"}, {"className", cls}, {"objectId", id}};
  }
  if (t == "GeoPoint") {
    const auto* lat = member(o, "latitude");
    const auto* lon = member(o, "longitude");
    if (!lat || !lon || kindOf(*lat) != ValueKind::Number || kindOf(*lon) != ValueKind::Number)
      incorrectType("invalid GeoPoint: numeric \"latitude\" and \"longitude\" are needed");
    const double la = numberOf(*lat), lo = numberOf(*lon);
    if (!(la >= -90 && la <= 90)) incorrectType(fmt::format("GeoPoint latitude out of bounds: {}", la));
    if (!(lo >= -180 && lo <= 180)) incorrectType(fmt::format("GeoPoint longitude out of bounds: {}", lo));
    return json::object{{"__type", "GeoPoint"}, {"latitude", la}, {"longitude", lo}};
  }
  if (t == "File") {
    const auto name = requireString(o, "name", "File");
    json::object out{{"__type", "File"}, {"name", name}};
    if (const auto* url = member(o, "url"); url && url->is_string()) out["url"] = *url;
    return out;
  }
  if (t == "Relation") {
    // Members live in their own table and change only through AddRelation and RemoveRelation;
    // taking the value while dropping its objects would lose them without a word.
    if (o.contains("objects"))
      incorrectType("invalid Relation: a Relation value cannot carry \"objects\"; add them with AddRelation");
    return json::object{{"__type", "Relation"}, {"className", requireClassName(o, "Relation")}};
  }
  incorrectType(fmt::format("invalid type: {}", t));
}

std::optional<FieldType> typeOf(const json::value& v) {
  switch (kindOf(v)) {
    case ValueKind::Null: return std::nullopt;
    case ValueKind::Bool: return FieldType{"Boolean", ""};
    case ValueKind::Number: return FieldType{"Number", ""};
    case ValueKind::String: return FieldType{"String", ""};
    case ValueKind::Date: return FieldType{"Date", ""};
    case ValueKind::Bytes: return FieldType{"Bytes", ""};
    case ValueKind::File: return FieldType{"File", ""};
    case ValueKind::GeoPoint: return FieldType{"GeoPoint", ""};
    case ValueKind::Array: return FieldType{"Array", ""};
    case ValueKind::Object: return FieldType{"Object", ""};
    case ValueKind::Pointer: return FieldType{"Pointer", std::string(stringOf(v.get_object().at("className")))};
    case ValueKind::Relation: return FieldType{"Relation", std::string(stringOf(v.get_object().at("className")))};
  }
  return std::nullopt;
}

std::string typeText(const FieldType& t) { return t.target.empty() ? t.type : t.type + "<" + t.target + ">"; }

json::value addNumbers(const json::value& a, const json::value& b) {
  if (a.is_int64() && b.is_int64()) {
    std::int64_t sum;
    if (!__builtin_add_overflow(a.get_int64(), b.get_int64(), &sum)) return sum;
  }
  return numberOf(a) + numberOf(b);
}

json::array normalisedObjects(const json::object& op, const std::string& name) {
  const auto* objects = member(op, "objects");
  if (!objects || !objects->is_array()) incorrectType(fmt::format("{} needs an \"objects\" array", name));
  return normalise(*objects).get_array();
}

}  // namespace

void ObjectService::checkClassName(const std::string& className) {
  if (className == kInstallation || className == kUser) return;
  if (!isIdentifier(className)) throw ApiError(kInvalidClassName, fmt::format("Invalid class name: {}", className));
}

std::string ObjectService::newObjectId(const std::string& className) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (;;) {
    std::string id(10, ' ');
    // 62 does not divide 2^32; rejecting the top values keeps every character equally likely.
    for (auto& c : id) {
      std::uint32_t r;
      do r = keel::random32(); while (r >= 4294967294u);
      c = kAlphabet[r % 62];
    }
    if (!store_.exists(className, id)) return id;
  }
}

void ObjectService::checkType(const std::string& className, const std::string& key, const json::value& value) {
  if (key == "ACL") {
    checkACL(value);
    return;
  }
  const auto type = typeOf(value);
  if (!type) return;
  const auto declared = store_.fieldType(className, key);
  if (!declared) {
    store_.setFieldType(className, key, *type);
  } else if (declared->type != type->type || declared->target != type->target) {
    incorrectType(fmt::format("schema mismatch for {}.{}; expected {} but got {}", className, key,
                              typeText(*declared), typeText(*type)));
  }
}

void ObjectService::applyOperation(StoredObject& object, const std::string& key, const json::object& op,
                                   json::object& echo) {
  const std::string name(stringOf(op.contains("__op") ? op.at("__op") : json::value()));
  auto existing = object.fields.find(key);
  const json::value* current = existing == object.fields.end() || existing->value().is_null() ? nullptr
                                                                                                  : &existing->value();
  if (name == "Delete") {
    // Members of a deleted relation must not come back if the field is related again.
    if (current && kindOf(*current) == ValueKind::Relation) store_.clearRelation(object.className, object.objectId, key);
    object.fields.erase(key);
    echo.erase(key);
    return;
  }
  if (name == "Increment") {
    const auto* amount = member(op, "amount");
    if (!amount || kindOf(*amount) != ValueKind::Number) incorrectType("Increment needs a numeric \"amount\"");
    if (current && kindOf(*current) != ValueKind::Number)
      incorrectType(fmt::format("Cannot increment {}.{}: it is not a number", object.className, key));
    json::value result = current ? addNumbers(*current, *amount) : *amount;
    if (result.is_double() && !std::isfinite(result.get_double()))
      incorrectType(fmt::format("Cannot increment {}.{}: the result is beyond the range of a number", object.className, key));
    checkType(object.className, key, result);
    object.fields[key] = result;
    echo[key] = std::move(result);
    return;
  }
  if (name == "Add" || name == "AddUnique" || name == "Remove") {
    json::array objects = normalisedObjects(op, name);
    if (current && !current->is_array())
      incorrectType(fmt::format("Cannot apply {} to {}.{}: it is not an array", name, object.className, key));
    json::array result = current ? current->get_array() : json::array{};
    if (name == "Add") {
      for (auto& o : objects) result.push_back(std::move(o));
    } else if (name == "AddUnique") {
      for (auto& o : objects)
        if (std::none_of(result.begin(), result.end(), [&](const json::value& e) { return sameValue(e, o); }))
          result.push_back(std::move(o));
    } else {
      json::array kept;
      for (auto& e : result)
        if (std::none_of(objects.begin(), objects.end(), [&](const json::value& o) { return sameValue(e, o); }))
          kept.push_back(std::move(e));
      result = std::move(kept);
    }
    json::value value = std::move(result);
    checkType(object.className, key, value);
    object.fields[key] = value;
    echo[key] = std::move(value);
    return;
  }
  if (name == "AddRelation" || name == "RemoveRelation") {
    json::array objects = normalisedObjects(op, name);
    std::string target;
    for (const auto& o : objects) {
      if (kindOf(o) != ValueKind::Pointer) incorrectType(fmt::format("{} needs pointers", name));
      const std::string cls(stringOf(o.get_object().at("className")));
      if (!target.empty() && cls != target) incorrectType("All objects in a relation must be of the same class.");
      target = cls;
    }
    if (target.empty()) return;
    if (current && (kindOf(*current) != ValueKind::Relation || stringOf(current->get_object().at("className")) != target))
      incorrectType(fmt::format("schema mismatch for {}.{}; expected {} but got Relation<{}>", object.className, key,
                                typeOf(*current) ? typeText(*typeOf(*current)) : "nothing", target));
    json::value relation = json::object{{"__type", "Relation"}, {"className", target}};
    checkType(object.className, key, relation);
    object.fields[key] = relation;
    for (const auto& o : objects) {
      const std::string id(stringOf(o.get_object().at("objectId")));
      if (name == "AddRelation") store_.addRelation(object.className, object.objectId, key, target, id);
      else store_.removeRelation(object.className, object.objectId, key, id);
    }
    return;
  }
  if (name == "Batch") {
    const auto* ops = member(op, "ops");
    if (!ops || !ops->is_array()) incorrectType("Batch needs an \"ops\" array");
    for (const auto& inner : ops->get_array()) {
      if (!inner.is_object() || !inner.get_object().contains("__op")) incorrectType("Batch entries must be operations");
      applyOperation(object, key, inner.get_object(), echo);
    }
    return;
  }
  incorrectType(fmt::format("Unknown field operation: {}", name.empty() ? json::serialize(op) : name));
}

json::object ObjectService::applyBody(StoredObject& object, const json::object& body, bool isCreate) {
  json::object echo;
  for (const auto& entry : body) {
    const std::string key(entry.key());
    const auto& value = entry.value();
    if (key == "objectId") {
      if (!isCreate && value.is_string() && value.get_string() == object.objectId) continue;
      throw ApiError(kInvalidKeyName, "objectId is an invalid field name.");
    }
    // The server owns the times: a client's copy is ignored rather than refused, as clients
    // echo back what they were sent.
    if (key == "createdAt" || key == "updatedAt") continue;
    if (key == "className" || !isIdentifier(key))
      throw ApiError(kInvalidKeyName, fmt::format("Invalid field name: {}.", key));
    // A user's secrets have their own tables; a document copy would be readable by anyone
    // the row's list lets in.
    if (object.className == kUser && (key == "password" || key == "sessionToken"))
      throw ApiError(kInvalidKeyName, fmt::format("{} cannot be stored as a field.", key));
    if (value.is_object() && value.get_object().contains("__op")) {
      applyOperation(object, key, value.get_object(), echo);
      continue;
    }
    json::value stored = normalise(value);
    checkType(object.className, key, stored);
    object.fields[key] = std::move(stored);
  }
  return echo;
}

void ObjectService::prepareInstallation(StoredObject* existing, json::object& body, bool isCreate) {
  for (const char* key : {"installationId", "deviceToken", "deviceType"}) {
    if (const auto* v = member(body, key); v && !v->is_string() && !(v->is_object() && v->get_object().contains("__op")))
      incorrectType(fmt::format("{} must be a string", key));
  }
  if (auto* id = body.if_contains("installationId"); id && id->is_string()) {
    std::string lower(id->get_string());
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    *id = lower;
  }
  if (isCreate && !existing) {
    if (!body.contains("deviceType"))
      throw ApiError(kMissingRequiredField, "deviceType must be given in this operation");
    if (!body.contains("installationId") && !body.contains("deviceToken"))
      throw ApiError(kMissingRequiredField,
                     "at least one ID field (deviceToken, installationId) must be given in this operation");
    return;
  }
  if (!existing) return;
  for (const char* key : {"installationId", "deviceType"}) {
    const auto* sent = member(body, key);
    const auto* stored = member(existing->fields, key);
    if (sent && stored && !sameValue(*sent, *stored))
      throw ApiError(kChangedImmutableField, fmt::format("{} may not be changed in this operation", key));
  }
}

WriteResult ObjectService::create(const std::string& className, const json::object& sent) {
  checkClassName(className);
  json::object body = sent;
  if (className == kInstallation) {
    prepareInstallation(nullptr, body, true);
    // One installation per device: a second create for a known id updates the first.
    if (const auto* id = member(body, "installationId"); id && id->is_string()) {
      auto same = store_.findEqual(className, "installationId", *id);
      if (!same.empty()) {
        StoredObject& object = same.front();
        prepareInstallation(&object, body, false);
        json::object echo = applyBody(object, body, false);
        object.updatedAt = std::max(nowMillis(), object.updatedAt);
        store_.update(object);
        WriteResult result;
        result.body = std::move(echo);
        result.body["objectId"] = object.objectId;
        result.body["createdAt"] = preciseDateText(object.createdAt);
        result.body["updatedAt"] = preciseDateText(object.updatedAt);
        return result;
      }
    }
  }
  StoredObject object;
  object.className = className;
  object.objectId = newObjectId(className);
  object.createdAt = object.updatedAt = nowMillis();
  json::object echo = applyBody(object, body, true);
  store_.insert(object);
  WriteResult result;
  result.status = 201;
  result.body = std::move(echo);
  result.body["objectId"] = object.objectId;
  result.body["createdAt"] = preciseDateText(object.createdAt);
  return result;
}

void ObjectService::checkWritable(const std::string& className, const std::optional<StoredObject>& object) {
  const auto& access = queries_.access();
  // Someone else's user row answers like any other row the caller may not change; one that
  // cannot be read is not admitted to exist.
  if (!object || !canRead(object->fields, access)) throw ApiError(kObjectNotFound, "Object not found.");
  if (className == kUser && !access.master && access.userId != object->objectId)
    throw ApiError(kUserCannotBeAlteredWithoutSession, fmt::format("Cannot modify user {}.", object->objectId));
  if (!canWrite(object->fields, access)) throw ApiError(kObjectNotFound, "Object not found.");
}

WriteResult ObjectService::update(const std::string& className, const std::string& objectId, const json::object& sent) {
  checkClassName(className);
  auto object = store_.get(className, objectId);
  checkWritable(className, object);
  json::object body = sent;
  if (className == kInstallation) prepareInstallation(&*object, body, false);
  json::object echo = applyBody(*object, body, false);
  object->updatedAt = std::max(nowMillis(), object->updatedAt);
  store_.update(*object);
  WriteResult result;
  result.body = std::move(echo);
  result.body["updatedAt"] = preciseDateText(object->updatedAt);
  return result;
}

json::object ObjectService::fetch(const std::string& className, const std::string& objectId, const json::object& params) {
  checkClassName(className);
  auto object = store_.get(className, objectId);
  if (!object || !canRead(object->fields, queries_.access())) throw ApiError(kObjectNotFound, "Object not found.");
  auto param = [&](const char* key) -> const json::value* {
    auto it = params.find(key);
    return it == params.end() ? nullptr : &it->value();
  };
  return queries_.render(*object, param("keys"), param("include"));
}

void ObjectService::remove(const std::string& className, const std::string& objectId, bool masterKey) {
  checkClassName(className);
  if (className == kInstallation && !masterKey)
    throw ApiError(kCommandUnavailable, "Installation cannot be deleted");
  // A damaged document has no list to check, so only the master key clears its row.
  if (!queries_.access().master) checkWritable(className, store_.get(className, objectId));
  if (!store_.remove(className, objectId)) throw ApiError(kObjectNotFound, "Object not found.");
}

void ObjectService::upsert(const std::string& className, const std::string& objectId, const json::object& sent) {
  checkClassName(className);
  if (!isIdentifier(objectId)) throw ApiError(kInvalidKeyName, fmt::format("Invalid objectId: {}", objectId));
  StoredObject object;
  object.className = className;
  object.objectId = objectId;
  object.createdAt = object.updatedAt = nowMillis();
  auto timeOf = [&](const char* key, std::int64_t& out) {
    const auto* v = member(sent, key);
    if (!v) return;
    std::optional<std::int64_t> millis;
    if (v->is_string()) millis = parseIsoDate(v->get_string());
    else if (kindOf(*v) == ValueKind::Date) millis = dateMillis(*v);
    if (!millis) incorrectType(fmt::format("invalid {}: {}", key, json::serialize(*v)));
    out = *millis;
  };
  timeOf("createdAt", object.createdAt);
  object.updatedAt = object.createdAt;
  timeOf("updatedAt", object.updatedAt);
  json::object body = sent;
  body.erase("objectId");
  if (className == kInstallation) prepareInstallation(nullptr, body, true);
  store_.remove(className, objectId);
  applyBody(object, body, true);
  store_.insert(object);
}

}  // namespace keel::server
