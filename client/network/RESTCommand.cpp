#include <keel/network/RESTCommand.h>

#include <algorithm>
#include <boost/json/serialize.hpp>
#include <boost/json/string.hpp>
#include <shared_mutex>

#include <keel/base/Crypto.h>
#include <keel/base/DateFormatter.h>
#include <keel/base/Exception.h>
#include <keel/base/Format.h>

namespace keel {

namespace {

std::shared_mutex encodersMutex;
CommandParameterEncoding::Encoder pointerEncoder;
CommandParameterEncoding::Encoder pointerOrLocalIdEncoder;

void appendCanonicalText(std::string& out, const Value& value);

// JSON string escaping: without it {"a": "x\",\"b\":\"y"} and {"a": "x", "b": "y"} would share a
// key, and one query could be answered from another query's cached result.
void appendQuoted(std::string& out, const std::string& text) {
  out += boost::json::serialize(boost::json::string(text));
}

void appendCanonicalText(std::string& out, const Value& value) {
  switch (value.type()) {
    case Value::Type::Dictionary: {
      const Dictionary& d = value.dictionaryValue();
      std::vector<const Dictionary::Entry*> entries;
      entries.reserve(d.size());
      for (const auto& e : d) entries.push_back(&e);
      std::sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->first < b->first; });
      out += '{';
      for (const auto* e : entries) {
        appendQuoted(out, e->first);
        out += ':';
        appendCanonicalText(out, e->second);
        out += ',';
      }
      out += '}';
      return;
    }
    case Value::Type::Array:
      out += '[';
      for (const auto& v : value.arrayValue()) {
        appendCanonicalText(out, v);
        out += ',';
      }
      out += ']';
      return;
    case Value::Type::String:
      appendQuoted(out, value.stringValue());
      return;
    case Value::Type::Number:
      out += value.description();
      return;
    case Value::Type::Null:
      out += "null";
      return;
    default:
      throw InvalidArgumentException(formatMessage("Couldn't create cache key from %@", value));
  }
}

std::vector<std::string> pathComponents(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

Dictionary eventParameters(std::optional<Dictionary> extra) {
  Dictionary p;
  p.set("at", Value(Dictionary{{"__type", Value("Date")},
                               {"iso", Value(DateFormatter::sharedFormatter().preciseStringFromDate(dateNow()))}}));
  if (extra)
    for (const auto& [k, v] : *extra) p.set(k, v);
  return p;
}

}  // namespace

void CommandParameterEncoding::setPointerEncoder(Encoder encoder) {
  std::unique_lock lock(encodersMutex);
  pointerEncoder = std::move(encoder);
}

void CommandParameterEncoding::setPointerOrLocalIdEncoder(Encoder encoder) {
  std::unique_lock lock(encodersMutex);
  pointerOrLocalIdEncoder = std::move(encoder);
}

Value CommandParameterEncoding::encodeWithPointerEncoder(const Value& value) {
  std::shared_lock lock(encodersMutex);
  return pointerEncoder ? pointerEncoder(value) : value;
}

Value CommandParameterEncoding::encodeWithPointerOrLocalIdEncoder(const Value& value) {
  std::shared_lock lock(encodersMutex);
  return pointerOrLocalIdEncoder ? pointerOrLocalIdEncoder(value) : value;
}

RESTCommandPtr RESTCommand::commandWithHTTPPath(std::string path, std::string method,
                                                std::optional<Dictionary> parameters,
                                                std::optional<std::string> sessionToken) {
  return commandWithHTTPPath<RESTCommand>(std::move(path), std::move(method), std::move(parameters),
                                          std::nullopt, std::move(sessionToken));
}

std::optional<Dictionary> RESTCommand::parameters() const {
  if (parameters_.isNull()) return std::nullopt;
  return parameters_.dictionaryValue();
}

RESTCommandPtr RESTCommand::commandWithSessionToken(std::optional<std::string> sessionToken) const {
  auto copy = mutableCopy();
  copy->sessionToken_ = std::move(sessionToken);
  return copy;
}

RESTCommandPtr RESTCommand::commandWithLocalId(std::optional<std::string> localId) const {
  auto copy = mutableCopy();
  copy->localId_ = std::move(localId);
  return copy;
}

RESTCommandPtr RESTCommand::commandWithAdditionalRequestHeaders(std::optional<Dictionary> headers) const {
  auto copy = mutableCopy();
  copy->additionalRequestHeaders_ = std::move(headers);
  return copy;
}

RESTCommandPtr RESTCommand::commandWithParameters(std::optional<Dictionary> parameters) const {
  auto copy = mutableCopy();
  copy->parameters_ = parameters ? Value(std::move(*parameters)) : Value();
  return copy;
}

std::string RESTCommand::cacheKeyForObject(const Value& object) {
  std::string out;
  appendCanonicalText(out, object);
  return out;
}

std::string RESTCommand::cacheKey() const {
  return cacheKey_.get([this] {
    Dictionary d;
    if (!parameters_.isNull()) d.set("parameters", parameters_);
    if (sessionToken_) d.set("sessionToken", Value(*sessionToken_));
    return formatMessage("RESTCommand.%i.%@.%@.%ld.%@", 1, httpMethod_, md5HexDigest(httpPath_), 2L,
                         md5HexDigest(cacheKeyForObject(Value(std::move(d)))));
  });
}

Dictionary RESTCommand::dictionaryRepresentation() const {
  Dictionary d;
  d.set("httpPath", Value(httpPath_));
  d.set("httpMethod", Value(httpMethod_));
  if (!parameters_.isNull())
    d.set("parameters", CommandParameterEncoding::encodeWithPointerOrLocalIdEncoder(parameters_));
  if (sessionToken_) d.set("sessionToken", Value(*sessionToken_));
  if (localId_) d.set("localId", Value(*localId_));
  return d;
}

bool RESTCommand::isValidDictionaryRepresentation(const Dictionary& dictionary) {
  return dictionary.contains("httpPath");
}

RESTCommandPtr RESTCommand::commandFromDictionaryRepresentation(const Dictionary& dictionary) {
  if (!isValidDictionaryRepresentation(dictionary)) return nullptr;
  std::optional<Dictionary> parameters;
  if (const Value* p = dictionary.find("parameters"); p && p->isDictionary()) parameters = p->dictionaryValue();
  auto command = commandWithHTTPPath<RESTCommand>(dictionary["httpPath"].stringValue(),
                                                 dictionary["httpMethod"].stringValue(), std::move(parameters),
                                                 std::nullopt, dictionary["sessionToken"].optionalString());
  command->localId_ = dictionary["localId"].optionalString();
  return command;
}

bool RESTCommand::forEachLocalIdIn(Value& value, const std::function<bool(Dictionary& pointer)>& block) {
  bool changed = false;
  if (value.isDictionary()) {
    const Dictionary& view = value.dictionaryValue();
    if (view["__type"].stringValue() == "Pointer" && view.contains("localId")) {
      Dictionary pointer = view;
      if (block(pointer)) {
        value = Value(std::move(pointer));
        return true;
      }
      return false;
    }
    // Walk a copy so that only dictionaries that really change are unshared.
    Dictionary copy = view;
    for (const auto& key : copy.keys()) changed |= forEachLocalIdIn(copy.at(key), block);
    if (changed) value = Value(std::move(copy));
  } else if (value.isArray()) {
    Array copy = value.arrayValue();
    for (auto& item : copy) changed |= forEachLocalIdIn(item, block);
    if (changed) value = Value(std::move(copy));
  }
  return changed;
}

std::optional<Value> RESTCommand::parametersWithResolvedLocalIds(LocalIdLookup* store) const {
  if (!store || parameters_.isNull()) return std::nullopt;
  Value parameters = parameters_;
  bool changed = forEachLocalIdIn(parameters, [&](Dictionary& pointer) {
    if (pointer.contains("objectId")) return false;
    auto objectId = store->objectIdForLocalId(pointer["localId"].stringValue());
    if (!objectId) return false;
    pointer.remove("localId");
    pointer.set("objectId", Value(*objectId));
    return true;
  });
  if (!changed) return std::nullopt;
  return CommandParameterEncoding::encodeWithPointerOrLocalIdEncoder(parameters);
}

RESTCommandPtr RESTCommand::resolveLocalIds(LocalIdLookup* store) const {
  std::optional<Value> parameters = parametersWithResolvedLocalIds(store);
  std::optional<std::string> objectId;
  if (localId_ && store) objectId = store->objectIdForLocalId(*localId_);
  // Checked before anything is built: a command that cannot be sent must not look resolved.
  consistencyAssert(httpMethod_ != "DELETE" || !localId_ || objectId.has_value(),
                    "Attempt to delete non-existent object.");
  if (!parameters && !objectId) {
    if (auto self = weak_from_this().lock()) return self;
    return mutableCopy();
  }
  auto resolved = mutableCopy();
  if (parameters) resolved->parameters_ = std::move(*parameters);
  if (objectId) {
    // A create queued while offline becomes an update of the object that meanwhile got its id.
    resolved->localId_.reset();
    auto parts = pathComponents(httpPath_);
    if (parts.size() == 2) resolved->httpPath_ = parts[0] + "/" + parts[1] + "/" + *objectId;
    if (resolved->httpPath_.starts_with("classes") && httpMethod_ == "POST") resolved->httpMethod_ = "PUT";
  }
  return resolved;
}

// ---------------------------------------------------------------------------

std::shared_ptr<RESTUserCommand> RESTUserCommand::make(std::string path, std::string method,
                                                       std::optional<Dictionary> parameters,
                                                       std::optional<std::string> sessionToken, bool revocableSession) {
  auto command = commandWithHTTPPath<RESTUserCommand>(std::move(path), std::move(method), std::move(parameters),
                                                      std::nullopt, std::move(sessionToken));
  if (revocableSession) {
    command->revocableSessionEnabled_ = true;
    command->additionalRequestHeaders_ = Dictionary{{"X-Keel-Revocable-Session", Value("1")}};
  }
  return command;
}

std::shared_ptr<RESTUserCommand> RESTUserCommand::logInUserCommandWithUsername(const std::string& username,
                                                                               const std::string& password,
                                                                               bool revocableSession) {
  return make("login", "GET", Dictionary{{"username", Value(username)}, {"password", Value(password)}},
              std::nullopt, revocableSession);
}

std::shared_ptr<RESTUserCommand> RESTUserCommand::serviceLoginUserCommandWithParameters(
    Dictionary parameters, bool revocableSession, std::optional<std::string> sessionToken) {
  return make("users", "POST", std::move(parameters), std::move(sessionToken), revocableSession);
}

std::shared_ptr<RESTUserCommand> RESTUserCommand::signUpUserCommandWithParameters(
    Dictionary parameters, bool revocableSession, std::optional<std::string> sessionToken) {
  return make("users", "POST", std::move(parameters), std::move(sessionToken), revocableSession);
}

std::shared_ptr<RESTUserCommand> RESTUserCommand::getCurrentUserCommandWithSessionToken(
    std::optional<std::string> sessionToken) {
  return make("users/me", "GET", std::nullopt, std::move(sessionToken), false);
}

std::shared_ptr<RESTUserCommand> RESTUserCommand::upgradeToRevocableSessionCommandWithSessionToken(
    std::optional<std::string> sessionToken) {
  return make("upgradeToRevocableSession", "POST", std::nullopt, std::move(sessionToken), false);
}

std::shared_ptr<RESTUserCommand> RESTUserCommand::logOutUserCommandWithSessionToken(
    std::optional<std::string> sessionToken) {
  return make("logout", "POST", std::nullopt, std::move(sessionToken), false);
}

std::shared_ptr<RESTUserCommand> RESTUserCommand::resetPasswordCommandForUserWithEmail(const std::string& email) {
  return make("requestPasswordReset", "POST", Dictionary{{"email", Value(email)}}, std::nullopt, false);
}

std::shared_ptr<RESTSessionCommand> RESTSessionCommand::getCurrentSessionCommandWithSessionToken(
    std::optional<std::string> sessionToken) {
  return commandWithHTTPPath<RESTSessionCommand>("sessions/me", "GET", std::nullopt, std::nullopt,
                                                 std::move(sessionToken));
}

std::shared_ptr<RESTCloudCommand> RESTCloudCommand::commandForFunction(const std::string& function,
                                                                      std::optional<Dictionary> parameters,
                                                                      std::optional<std::string> sessionToken) {
  return commandWithHTTPPath<RESTCloudCommand>(formatMessage("functions/%@", function), "POST", std::move(parameters),
                                               std::nullopt, std::move(sessionToken));
}

std::shared_ptr<RESTConfigCommand> RESTConfigCommand::configFetchCommandWithSessionToken(
    std::optional<std::string> sessionToken) {
  return commandWithHTTPPath<RESTConfigCommand>("config", "GET", std::nullopt, std::nullopt, std::move(sessionToken));
}

std::shared_ptr<RESTConfigCommand> RESTConfigCommand::configUpdateCommandWithConfigParameters(
    Dictionary configParameters, std::optional<std::string> sessionToken) {
  return commandWithHTTPPath<RESTConfigCommand>("config", "PUT",
                                                Dictionary{{"params", Value(std::move(configParameters))}},
                                                std::nullopt, std::move(sessionToken));
}

std::shared_ptr<RESTAnalyticsCommand> RESTAnalyticsCommand::trackAppOpenedEventCommandWithPushHash(
    std::optional<std::string> pushHash, std::optional<std::string> sessionToken) {
  std::optional<Dictionary> extra;
  if (pushHash && !pushHash->empty()) extra = Dictionary{{"push_hash", Value(*pushHash)}};
  return commandWithHTTPPath<RESTAnalyticsCommand>("events/AppOpened", "POST", eventParameters(std::move(extra)),
                                                   std::nullopt, std::move(sessionToken));
}

std::shared_ptr<RESTAnalyticsCommand> RESTAnalyticsCommand::trackEventCommandWithName(
    const std::string& name, std::optional<Dictionary> dimensions, std::optional<std::string> sessionToken) {
  std::optional<Dictionary> extra;
  if (dimensions) extra = Dictionary{{"dimensions", Value(std::move(*dimensions))}};
  return commandWithHTTPPath<RESTAnalyticsCommand>(formatMessage("events/%@", name), "POST",
                                                   eventParameters(std::move(extra)), std::nullopt,
                                                   std::move(sessionToken));
}

std::shared_ptr<RESTAnalyticsCommand> RESTAnalyticsCommand::trackCrashReportCommandWithCrashReport(
    const std::string& crashReport, std::optional<std::string> sessionToken) {
  return commandWithHTTPPath<RESTAnalyticsCommand>(
      "events/_CrashReport", "POST", eventParameters(Dictionary{{"data", Value(crashReport)}}), std::nullopt,
      std::move(sessionToken));
}

std::shared_ptr<RESTPushCommand> RESTPushCommand::sendPushCommandWithPushState(Dictionary pushState,
                                                                              std::optional<std::string> sessionToken) {
  return commandWithHTTPPath<RESTPushCommand>("push", "POST", std::move(pushState), std::nullopt,
                                              std::move(sessionToken));
}

std::shared_ptr<RESTFileCommand> RESTFileCommand::uploadCommandForFileWithName(const std::string& fileName,
                                                                              std::optional<std::string> sessionToken) {
  return commandWithHTTPPath<RESTFileCommand>("files/" + fileName, "POST", std::nullopt, std::nullopt,
                                              std::move(sessionToken));
}

std::shared_ptr<RESTObjectBatchCommand> RESTObjectBatchCommand::batchCommandWithCommands(
    const std::vector<RESTCommandPtr>& commands, std::optional<std::string> sessionToken) {
  parameterAssert(commands.size() <= static_cast<std::size_t>(kMaximumBatchCommandCount),
                  "Max of %d commands are allowed in a single batch command", kMaximumBatchCommandCount);
  Array requests;
  requests.reserve(commands.size());
  for (const auto& c : commands) {
    Dictionary r{{"method", Value(c->httpMethod())}, {"path", Value(formatMessage("/1/%@", c->httpPath()))}};
    if (auto p = c->parameters()) r.set("body", Value(std::move(*p)));
    requests.emplace_back(std::move(r));
  }
  return commandWithHTTPPath<RESTObjectBatchCommand>("batch", "POST", Dictionary{{"requests", Value(std::move(requests))}},
                                                     std::nullopt, std::move(sessionToken));
}

}  // namespace keel
