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
// Commands are values: once built, a command never changes. Resolving local ids, or giving a
// command another session token, local id, headers or parameters, yields a new command (of the
// same class) and leaves the original as it was, so a command may sit in a cache or a queue, be
// sent by several runs at once and be asked for its cache key at any time, and always show the
// same content. The cache key is therefore computed once per command, from its final content.
//
// Thread-safety: every member may be called from any thread without locking (the cache key's
// first computation takes a lock of its own). Commands are shared as
// std::shared_ptr<const RESTCommand> (RESTCommandPtr).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
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
};

class RESTCommand;
using RESTCommandPtr = std::shared_ptr<const RESTCommand>;

class RESTCommand : public NetworkCommand, public std::enable_shared_from_this<RESTCommand> {
 public:
  RESTCommand() = default;
  // A copy has its own cache key, computed from its own content when first asked for.
  RESTCommand(const RESTCommand& other) = default;
  RESTCommand& operator=(const RESTCommand&) = delete;
  ~RESTCommand() override = default;

  // Returns a command without an operation-set id.
  static RESTCommandPtr commandWithHTTPPath(std::string path, std::string method,
                                            std::optional<Dictionary> parameters,
                                            std::optional<std::string> sessionToken);
  // Returns a command of class T (RESTCommand or a subclass) with the given fields. Every
  // command derived from it later (with another token, with resolved local ids) is a T too.
  template <class T = RESTCommand>
  static std::shared_ptr<T> commandWithHTTPPath(std::string path, std::string method,
                                             std::optional<Dictionary> parameters,
                                             std::optional<std::string> operationSetUUID,
                                             std::optional<std::string> sessionToken) {
    static_assert(std::is_base_of_v<RESTCommand, T> && std::is_copy_constructible_v<T>);
    auto command = std::make_shared<T>();
    RESTCommand* base = command.get();
    base->copier_ = &copyAs<T>;
    base->httpPath_ = std::move(path);
    base->httpMethod_ = std::move(method);
    if (parameters) base->parameters_ = Value(std::move(*parameters));
    base->operationSetUUID_ = std::move(operationSetUUID);
    base->sessionToken_ = std::move(sessionToken);
    return command;
  }

  const std::string& httpPath() const { return httpPath_; }
  const std::string& httpMethod() const { return httpMethod_; }
  std::optional<Dictionary> parameters() const;
  // Returns the parameters as a Value (null when none), without copying the dictionary.
  const Value& parametersValue() const { return parameters_; }
  const std::optional<Dictionary>& additionalRequestHeaders() const { return additionalRequestHeaders_; }
  std::optional<std::string> sessionToken() const override { return sessionToken_; }
  std::optional<std::string> operationSetUUID() const override { return operationSetUUID_; }
  std::optional<std::string> localId() const override { return localId_; }

  // Each returns a command of this command's class equal to it but for one field. The command
  // itself never changes: whoever holds it (a cache, a queue, a run in progress) keeps seeing
  // the content it was given.
  [[nodiscard]] RESTCommandPtr commandWithSessionToken(std::optional<std::string> sessionToken) const;
  [[nodiscard]] RESTCommandPtr commandWithLocalId(std::optional<std::string> localId) const;
  [[nodiscard]] RESTCommandPtr commandWithAdditionalRequestHeaders(std::optional<Dictionary> headers) const;
  [[nodiscard]] RESTCommandPtr commandWithParameters(std::optional<Dictionary> parameters) const;

  // Returns the key under which results of this command are cached, from its method, path,
  // parameters and session token. Computed on first call and kept: the content it is computed
  // from never changes. Throws InvalidArgumentException "Couldn't create cache key from %@" when
  // a parameter value is not JSON-compatible.
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

  // Returns this command as it must be sent now that `store` may know object ids for its local
  // ids: pointers inside the parameters that carry only a local id get the object id, and a
  // create queued while offline becomes an update of the object that meanwhile got its id.
  // Returns this very command when nothing changes. `store` may be null (then only the check
  // below runs). Throws InternalInconsistencyException "Attempt to delete non-existent object."
  // for a DELETE whose local id has no object id.
  [[nodiscard]] RESTCommandPtr resolveLocalIds(LocalIdLookup* store) const;
  // Calls `block` on every pointer dictionary ({"__type": "Pointer", ..., "localId": ...}) nested
  // in `value`; the block may change it and returns true iff it did. Returns true iff any did.
  static bool forEachLocalIdIn(Value& value, const std::function<bool(Dictionary& pointer)>& block);

 protected:
  // The cache key, once computed. Copying a command leaves it behind, so a command derived
  // from another never answers with the key of the content it was copied from.
  class CacheKeyMemo {
   public:
    CacheKeyMemo() = default;
    CacheKeyMemo(const CacheKeyMemo&) {}
    CacheKeyMemo& operator=(const CacheKeyMemo&) = delete;
    template <typename Compute>
    std::string get(Compute&& compute) const {
      std::lock_guard lock(mutex_);
      if (!key_) key_ = compute();
      return *key_;
    }

   private:
    mutable std::mutex mutex_;
    mutable std::optional<std::string> key_;
  };

  // Returns a copy of this command, of its own class, that the caller may change before anyone
  // else sees it.
  std::shared_ptr<RESTCommand> mutableCopy() const { return copier_(*this); }
  // Returns the parameters with every local-id pointer `store` knows replaced, or no value when
  // none is.
  std::optional<Value> parametersWithResolvedLocalIds(LocalIdLookup* store) const;

  std::string httpPath_;
  std::string httpMethod_;
  Value parameters_;  // a dictionary, or null when the command has none (copies share the buffer)
  std::optional<Dictionary> additionalRequestHeaders_;
  std::optional<std::string> sessionToken_;
  std::optional<std::string> operationSetUUID_;
  std::optional<std::string> localId_;

 private:
  template <class T>
  static std::shared_ptr<RESTCommand> copyAs(const RESTCommand& command) {
    return std::make_shared<T>(static_cast<const T&>(command));
  }

  std::shared_ptr<RESTCommand> (*copier_)(const RESTCommand&) = &copyAs<RESTCommand>;
  CacheKeyMemo cacheKey_;
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

  bool revocableSessionEnabled() const { return revocableSessionEnabled_; }

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
