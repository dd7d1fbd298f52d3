#include <keel/offline/ObjectFileLayout.h>

#include <keel/base/JSONSerialization.h>
#include <keel/base/Logger.h>

namespace keel {

namespace {

// Returns the first of `keys` that holds a non-empty string.
std::optional<std::string> firstText(const Dictionary& dictionary, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    if (const Value* value = dictionary.find(key); value && value->isString() && !value->stringValue().empty()) {
      return value->stringValue();
    }
  }
  return std::nullopt;
}

// Returns the text of a stored date: plain text, or the text of an encoded date value.
std::optional<std::string> dateText(const Value& value) {
  if (value.isString()) return value.stringValue();
  if (value.isDictionary() && value.get("__type").isString() && value.get("__type").stringValue() == "Date" &&
      value.get("iso").isString()) {
    return value.get("iso").stringValue();
  }
  return std::nullopt;
}

// Reads a date from `data` under `key`, else from the top level under `oldKey`.
std::optional<std::string> readDate(const Dictionary& top, const Dictionary& data, const char* key,
                                    const char* oldKey, const std::string& className) {
  for (auto [dictionary, name] : {std::pair{&data, key}, std::pair{&top, oldKey}}) {
    const Value* value = dictionary->find(name);
    if (!value || value->isNull()) continue;
    if (auto text = dateText(*value)) return text;
    logWarning("Ignoring the %@ of a stored %@ object: not a date", name, className);
  }
  return std::nullopt;
}

Value pointerValue(const std::string& className, const std::string& objectId) {
  return Dictionary{{"__type", "Pointer"}, {"className", className}, {"objectId", objectId}};
}

// Adds the entries of an old "pointers" dictionary to `fields`, each a [class name, object id]
// pair; anything else is dropped with a warning.
void addPointers(const Value& pointers, Dictionary& fields, const std::string& className) {
  if (pointers.isNull()) return;
  if (!pointers.isDictionary()) {
    logWarning("Ignoring the pointers of a stored %@ object: not a dictionary", className);
    return;
  }
  for (const auto& [key, pair] : pointers.dictionaryValue()) {
    const Array& parts = pair.arrayValue();
    if (!pair.isArray() || parts.size() != 2 || !parts[0].isString() || !parts[1].isString() ||
        parts[0].stringValue().empty() || parts[1].stringValue().empty()) {
      logWarning("Ignoring the pointer %@ of a stored %@ object: not a class name and an object id", key,
                 className);
      continue;
    }
    fields.set(key, pointerValue(parts[0].stringValue(), parts[1].stringValue()));
  }
}

}  // namespace

std::optional<ObjectFileContents> ObjectFileLayout::contentsFromData(const Bytes& data, std::string& failure) {
  std::string text(data.begin(), data.end());
  std::string parseFailure;
  auto document = JSONSerialization::JSONObjectFromString(text, parseFailure);
  if (!document) {
    failure = "not JSON (" + parseFailure + ")";
    return std::nullopt;
  }
  return contentsFromDocument(*document, failure);
}

std::optional<ObjectFileContents> ObjectFileLayout::contentsFromDocument(const Value& document, std::string& failure) {
  if (!document.isDictionary()) {
    failure = "not a JSON object";
    return std::nullopt;
  }
  const Dictionary& top = document.dictionaryValue();
  ObjectFileContents contents;
  auto className = firstText(top, {"classname", "className"});
  if (!className) {
    failure = "no class name";
    return std::nullopt;
  }
  contents.className = std::move(*className);

  // A layout without "data" is an old one: its fields are the pointers alone.
  Dictionary data;
  if (const Value* stored = top.find("data"); stored && !stored->isNull()) {
    if (!stored->isDictionary()) {
      failure = "\"data\" is not a JSON object";
      return std::nullopt;
    }
    data = stored->dictionaryValue();
  }

  using Source = std::pair<const Dictionary*, const char*>;
  for (auto [dictionary, key] : {Source{&data, "objectId"}, Source{&top, "id"}}) {
    const Value* value = dictionary->find(key);
    if (!value || value->isNull()) continue;
    if (value->isString() && !value->stringValue().empty()) {
      contents.objectId = value->stringValue();
      break;
    }
    logWarning("Ignoring the %@ of a stored %@ object: not an object id", key, contents.className);
  }
  contents.createdAt = readDate(top, data, "createdAt", "created_at", contents.className);
  contents.updatedAt = readDate(top, data, "updatedAt", "updated_at", contents.className);

  contents.fields.reserve(data.size());
  for (const auto& [key, value] : data) {
    if (key == "objectId" || key == "createdAt" || key == "updatedAt") continue;
    contents.fields.set(key, value);
  }
  if (const Value* pointers = top.find("pointers")) addPointers(*pointers, contents.fields, contents.className);

  contents.sessionToken = firstText(top, {"session_token", "sessionToken"});
  for (const char* key : {"auth_data", "authData"}) {
    const Value* value = top.find(key);
    if (!value || value->isNull()) continue;
    if (value->isDictionary()) {
      contents.authData = value->dictionaryValue();
      break;
    }
    logWarning("Ignoring the %@ of a stored %@ object: not a dictionary", key, contents.className);
  }
  return contents;
}

Value ObjectFileLayout::documentWithClassName(const std::string& className, Dictionary data) {
  return Dictionary{{"classname", className}, {"data", std::move(data)}};
}

Value ObjectFileLayout::documentFromContents(const ObjectFileContents& contents) {
  Dictionary data;
  data.reserve(contents.fields.size() + 3);
  if (contents.objectId) data.set("objectId", *contents.objectId);
  if (contents.createdAt) data.set("createdAt", *contents.createdAt);
  if (contents.updatedAt) data.set("updatedAt", *contents.updatedAt);
  for (const auto& [key, value] : contents.fields) data.set(key, value);
  return documentWithClassName(contents.className, std::move(data));
}

}  // namespace keel
