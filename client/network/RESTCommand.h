// RESTCommand: one call to the backend described as a value: a path under the REST root
// ("classes/Video", no leading slash), an HTTP method, JSON parameters (already in their JSON
// form), an optional session token and bookkeeping for offline sending (operation-set id, local
// id). A command can be turned into a dictionary for the offline queue and back, has a stable
// cache key for the query-result cache, and rewrites the local ids inside it into server ids
// just before it is sent.
//
// Subclasses only add class constructors for the command families (users, sessions, cloud
// functions, configuration, analytics, push, files, batches). Query and object commands live
// with the queries and objects.
//
// Thread-safety: every member may be called from any thread; a command guards its fields with
// its own lock. Commands are shared through std::shared_ptr; the runner resolves local ids in
// place before each send, so a command is meant to be run by one run at a time.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <keel/base/Value.h>

namespace keel {

// The local-id store as commands see it: the server object id recorded for a local id.
// The offline local-id store implements it.
class LocalIdLookup {
 public:
  virtual ~LocalIdLookup() = default;
  // Returns the object id the object with `localId` received, or no value.
  virtual std::optional<std::string> objectIdForLocalId(const std::string& localId) = 0;
};

// Encoders for parameter values that still hold references (objects). The value coding installs
// its pointer encoder (unsaved objects rejected) and its pointer-or-local-id encoder (unsaved
// objects keep their local ids); until it does, values pass unchanged.
class CommandParameterEncoding {
 public:
  using Encoder = std::function<Value(const Value&)>;
  static void setPointerEncoder(Encoder encoder);
  static void setPointerOrLocalIdEncoder(Encoder encoder);
  static Value encodeWithPointerEncoder(const Value& value);
  static Value encodeWithPointerOrLocalIdEncoder(const Value& value);
};

// What the runner and the offline queue need of any command.
class NetworkCommand {
 public:
  virtual ~NetworkCommand() = default;
  virtual std::optional<std::string> sessionToken() const = 0;
  virtual std::optional<std::string> operationSetUUID() const = 0;
  virtual std::optional<std::string> localId() const = 0;
  virtual void setLocalId(std::optional<std::string> localId) = 0;
  // Rewrites local ids into object ids with what `store` knows. REQUIRES: store may be null
  // (then only the checks that need no store run).
  virtual void resolveLocalIds(LocalIdLookup* store) = 0;
};

class RESTCommand;
using RESTCommandPtr = std::shared_ptr<RESTCommand>;

class RESTCommand : public NetworkCommand, public std::enable_shared_from_this<RESTCommand> {
 public:
  RESTCommand() = default;
  ~RESTCommand() override = default;

  // Returns a command without an operation-set id.
  static RESTCommandPtr commandWithHTTPPath(std::string path, std::string method,
                                            std::optional<Dictionary> parameters,
                                            std::optional<std::string> sessionToken);
  // Returns a command of class T (RESTCommand or a subclass) with the given fields.
  template <class T = RESTCommand>
  static std::shared_ptr<T> commandWithHTTPPath(std::string path, std::string method,
                                             std::optional<Dictionary> parameters,
                                             std::optional<std::string> operationSetUUID,
                                             std::optional<std::string> sessionToken) {
    auto command = std::make_shared<T>();
    RESTCommand* base = command.get();
    base->httpPath_ = std::move(path);
    base->httpMethod_ = std::move(method);
    if (parameters) base->parameters_ = Value(std::move(*parameters));
    base->operationSetUUID_ = std::move(operationSetUUID);
    base->sessionToken_ = std::move(sessionToken);
    return command;
  }

  std::string httpPath() const;
  void setHTTPPath(std::string path);
  std::string httpMethod() const;
  void setHTTPMethod(std::string method);
  std::optional<Dictionary> parameters() const;
  void setParameters(std::optional<Dictionary> parameters);
  // Returns the parameters as a Value (null when none), without copying the dictionary.
  Value parametersValue() const;
  std::optional<Dictionary> additionalRequestHeaders() const;
  void setAdditionalRequestHeaders(std::optional<Dictionary> headers);
  std::optional<std::string> sessionToken() const override;
  void setSessionToken(std::optional<std::string> token);
  std::optional<std::string> operationSetUUID() const override;
  void setOperationSetUUID(std::optional<std::string> uuid);
  std::optional<std::string> localId() const override;
  void setLocalId(std::optional<std::string> localId) override;

  // Returns the key under which results of this command are cached. Computed on first call and
  // kept. Throws InvalidArgumentException "Couldn't create cache key from %@" when a parameter
  // value is not JSON-compatible.
  std::string cacheKey() const;
  // Returns the canonical text of a JSON-compatible value: dictionary keys in ascending byte
  // order, every entry and element followed by ",", strings and keys quoted with JSON escaping.
  static std::string cacheKeyForObject(const Value& object);

  // Returns the dictionary form: "httpPath", "httpMethod", "parameters", "sessionToken" and
  // "localId", each only when set.
  Dictionary dictionaryRepresentation() const;
  // Returns the command a dictionary form describes, or nullptr when it has no "httpPath".
  static RESTCommandPtr commandFromDictionaryRepresentation(const Dictionary& dictionary);
  static bool isValidDictionaryRepresentation(const Dictionary& dictionary);

  // Resolves the local ids inside the parameters, then maybeChangeServerOperation.
  void resolveLocalIds(LocalIdLookup* store) override;
  // Replaces, inside the parameters, every pointer that has only a local id by a pointer with the
  // object id `store` knows for it. Returns true iff something changed.
  bool forEachLocalId(LocalIdLookup* store);
  // Calls `block` on every pointer dictionary ({"__type": "Pointer", ..., "localId": ...}) nested
  // in `value`; the block may change it and returns true iff it did. Returns true iff any did.
  static bool forEachLocalIdIn(Value& value, const std::function<bool(Dictionary& pointer)>& block);
  // Turns a create queued while offline into an update of the object that meanwhile got its id.
  // Throws InternalInconsistencyException "Attempt to delete non-existent object." for a DELETE
  // whose local id has no object id.
  void maybeChangeServerOperation(LocalIdLookup* store);

 protected:
  mutable std::mutex mutex_;
  std::string httpPath_;
  std::string httpMethod_;
  Value parameters_;  // a dictionary, or null when the command has none (copies share the buffer)
  std::optional<Dictionary> additionalRequestHeaders_;
  std::optional<std::string> sessionToken_;
  std::optional<std::string> operationSetUUID_;
  std::optional<std::string> localId_;
  mutable std::optional<std::string> cacheKey_;
};

// Sign-up, log-in, current user, log-out, password reset and session upgrade.
class RESTUserCommand : public RESTCommand {
 public:
  static std::shared_ptr<RESTUserCommand> logInUserCommandWithUsername(const std::string& username,
                                                                       const std::string& password,
                                                                       bool revocableSession);
  static std::shared_ptr<RESTUserCommand> serviceLoginUserCommandWithParameters(
      Dictionary parameters, bool revocableSession, std::optional<std::string> sessionToken);
  static std::shared_ptr<RESTUserCommand> signUpUserCommandWithParameters(
      Dictionary parameters, bool revocableSession, std::optional<std::string> sessionToken);
  static std::shared_ptr<RESTUserCommand> getCurrentUserCommandWithSessionToken(std::optional<std::string> sessionToken);
  static std::shared_ptr<RESTUserCommand> upgradeToRevocableSessionCommandWithSessionToken(
      std::optional<std::string> sessionToken);
  static std::shared_ptr<RESTUserCommand> logOutUserCommandWithSessionToken(std::optional<std::string> sessionToken);
  static std::shared_ptr<RESTUserCommand> resetPasswordCommandForUserWithEmail(const std::string& email);

  bool revocableSessionEnabled() const;

 private:
  static std::shared_ptr<RESTUserCommand> make(std::string path, std::string method,
                                               std::optional<Dictionary> parameters,
                                               std::optional<std::string> sessionToken, bool revocableSession);
  bool revocableSessionEnabled_ = false;
};

class RESTSessionCommand : public RESTCommand {
 public:
  static std::shared_ptr<RESTSessionCommand> getCurrentSessionCommandWithSessionToken(
      std::optional<std::string> sessionToken);
};

class RESTCloudCommand : public RESTCommand {
 public:
  static std::shared_ptr<RESTCloudCommand> commandForFunction(const std::string& function,
                                                              std::optional<Dictionary> parameters,
                                                              std::optional<std::string> sessionToken);
};

class RESTConfigCommand : public RESTCommand {
 public:
  static std::shared_ptr<RESTConfigCommand> configFetchCommandWithSessionToken(std::optional<std::string> sessionToken);
  static std::shared_ptr<RESTConfigCommand> configUpdateCommandWithConfigParameters(
      Dictionary configParameters, std::optional<std::string> sessionToken);
};

class RESTAnalyticsCommand : public RESTCommand {
 public:
  // "events/AppOpened" with the time and, when given, the hash of the push that opened the app.
  static std::shared_ptr<RESTAnalyticsCommand> trackAppOpenedEventCommandWithPushHash(
      std::optional<std::string> pushHash, std::optional<std::string> sessionToken);
  // "events/<name>" with the time and the event's dimensions, when any.
  static std::shared_ptr<RESTAnalyticsCommand> trackEventCommandWithName(const std::string& name,
                                                                         std::optional<Dictionary> dimensions,
                                                                         std::optional<std::string> sessionToken);
  // "events/_CrashReport" carrying the report.
  static std::shared_ptr<RESTAnalyticsCommand> trackCrashReportCommandWithCrashReport(
      const std::string& crashReport, std::optional<std::string> sessionToken);
};

class RESTPushCommand : public RESTCommand {
 public:
  // `pushState` is the push's JSON form ("channels", "where", "data", "expiration_time", ...).
  static std::shared_ptr<RESTPushCommand> sendPushCommandWithPushState(Dictionary pushState,
                                                                       std::optional<std::string> sessionToken);
};

class RESTFileCommand : public RESTCommand {
 public:
  static std::shared_ptr<RESTFileCommand> uploadCommandForFileWithName(const std::string& fileName,
                                                                       std::optional<std::string> sessionToken);
};

class RESTObjectBatchCommand : public RESTCommand {
 public:
  static constexpr int kMaximumBatchCommandCount = 50;
  // Returns a "batch" command carrying `commands`. Throws InvalidArgumentException
  // "Max of %d commands are allowed in a single batch command" for more than 50.
  static std::shared_ptr<RESTObjectBatchCommand> batchCommandWithCommands(const std::vector<RESTCommandPtr>& commands,
                                                                          std::optional<std::string> sessionToken);
};

}  // namespace keel
