#include <keel/objects/QueryController.h>

#include <chrono>
#include <cmath>
#include <exception>

#include <keel/base/ErrorUtilities.h>
#include <keel/base/Exception.h>
#include <keel/base/Format.h>
#include <keel/base/JSONSerialization.h>
#include <keel/base/Logger.h>
#include <keel/core/CoreManager.h>
#include <keel/core/KeelManager.h>
#include <keel/network/URLSessionCommandRunner.h>
#include <keel/objects/KeyValueCache.h>
#include <keel/objects/Query.h>
#include <keel/objects/RESTQueryCommand.h>
#include <keel/objects/SessionTokenProvider.h>

namespace keel {

namespace {

using SteadyClock = std::chrono::steady_clock;

double secondsBetween(SteadyClock::time_point from, SteadyClock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

ErrorPtr malformedReply(const std::string& what, bool shouldLog = true) {
  return ErrorUtilities::errorWithCode(kQueryErrorInternalServer, "Malformed query reply: " + what, shouldLog);
}

// Returns the checked error of `result` logged once, where a run reports it.
ErrorPtr loggedReplyError(const CommandResult& result, bool isCount) {
  auto error = QueryController::replyError(result, isCount);
  if (error) logError("%@ (Code: %ld, Version: %@)", error->localizedDescription(), error->code(), kKeelLibraryVersion);
  return error;
}

std::optional<std::vector<std::string>> selectedKeysOf(const QueryState& state) {
  if (!state.selectedKeys()) return std::nullopt;
  return std::vector<std::string>(state.selectedKeys()->begin(), state.selectedKeys()->end());
}

// Builds the objects of a checked find reply. The object class may still refuse what a reply
// names (a class name that is not one, say); that is bad data too, and becomes error 1 rather
// than an exception out of a wait.
Task<std::vector<ObjectPtr>> objectsFromReply(const CommandResult& result, const QueryState& state) {
  using Result = Task<std::vector<ObjectPtr>>;
  if (auto error = loggedReplyError(result, false)) return Result::taskWithError(error);
  const Dictionary& reply = result.result().dictionaryValue();
  std::string className = state.className();
  if (const Value* name = reply.find("className"); name && name->isString()) className = name->stringValue();
  const auto selectedKeys = selectedKeysOf(state);
  const Array& elements = reply.find("results")->arrayValue();
  std::vector<ObjectPtr> objects;
  objects.reserve(elements.size());
  try {
    for (const Value& element : elements) {
      auto object = Object::_objectFromDictionary(element.dictionaryValue(), className, selectedKeys);
      if (!object) return Result::taskWithError(malformedReply("an element is not an object"));
      objects.push_back(std::move(object));
    }
  } catch (const std::exception& e) {
    return Result::taskWithError(malformedReply(e.what()));
  }
  return Result::taskWithResult(std::move(objects));
}

}  // namespace

// ---- QueryController ---------------------------------------------------------------------------

QueryController::QueryController() {
  throw InternalInconsistencyException(
      formatMessage("%@ is not the designated initializer for instances of %@.", "init", "QueryController"));
}

QueryController::QueryController(std::weak_ptr<QueryControllerDataSource> dataSource)
    : dataSource_(std::move(dataSource)) {}

std::shared_ptr<QueryController> QueryController::controllerWithCommonDataSource(
    std::weak_ptr<QueryControllerDataSource> dataSource) {
  return std::make_shared<QueryController>(std::move(dataSource));
}

ErrorPtr QueryController::replyError(const CommandResult& result, bool isCount) {
  const Value& reply = result.result();
  if (!reply.isDictionary()) return malformedReply("not a dictionary", false);
  if (isCount) {
    const Value* count = reply.dictionaryValue().find("count");
    if (!count || !count->isNumber() || count->isBool()) return malformedReply("no \"count\" number", false);
    // Integers arrive as Int64; a double must still be a whole count to mean one.
    double value = count->doubleValue();
    if (!count->isIntegerNumber() && (!std::isfinite(value) || value != std::floor(value) || value > 9.0e15)) {
      return malformedReply("\"count\" is not a whole number", false);
    }
    if (value < 0) return malformedReply("\"count\" is negative", false);
    return nullptr;
  }
  const Value* results = reply.dictionaryValue().find("results");
  if (!results || !results->isArray()) return malformedReply("no \"results\" array", false);
  for (const Value& element : results->arrayValue()) {
    if (!element.isDictionary()) return malformedReply("a result is not a dictionary", false);
  }
  if (const Value* name = reply.dictionaryValue().find("className")) {
    // The name becomes the objects' class and, later, part of their request paths.
    if (!name->isString()) return malformedReply("\"className\" is not a string", false);
    try {
      checkQueryClassName(name->stringValue());
    } catch (const std::exception&) {
      return malformedReply("\"className\" is not a class name", false);
    }
  }
  return nullptr;
}

Task<std::vector<ObjectPtr>> QueryController::findObjectsAsync(const QueryStatePtr& state,
                                                               const CancellationTokenPtr& cancellationToken,
                                                               const std::optional<std::string>& sessionToken) {
  auto self = shared_from_this();
  const auto start = SteadyClock::now();
  auto sent = std::make_shared<SteadyClock::time_point>(start);
  return Task<>::taskWithResult()
      .continueAsyncWithBlock([self, state, cancellationToken, sessionToken, sent](const Task<>&) {
        if (cancellationToken && cancellationToken->isCancellationRequested()) {
          return Task<CommandResultPtr>::cancelledTask();
        }
        auto command = RESTQueryCommand::findCommandForQueryState(*state, sessionToken);
        *sent = SteadyClock::now();
        return self->runNetworkCommandAsync(command, cancellationToken, *state);
      })
      .continueWithSuccessBlock(
          [state, start, sent](const Task<CommandResultPtr>& task) {
            const auto parseStart = SteadyClock::now();
            const CommandResultPtr& result = task.result();
            if (!result) {
              return Task<std::vector<ObjectPtr>>::taskWithError(malformedReply("no reply"));
            }
            auto objects = objectsFromReply(*result, *state);
            if (result->result().isDictionary()) {
              if (const Value* trace = result->result().dictionaryValue().find("trace")) {
                std::string serverTrace = trace->isString() ? trace->stringValue() : trace->description();
                // The caller asked for the timings (setTrace), so they go out at the level shown
                // by default.
                logWarning("Pre-processing took %f seconds\n%@Client side parsing took %f seconds",
                        secondsBetween(start, *sent), serverTrace, secondsBetween(parseStart, SteadyClock::now()));
              }
            }
            return objects;
          },
          cancellationToken);
}

Task<std::int64_t> QueryController::countObjectsAsync(const QueryStatePtr& state,
                                                      const CancellationTokenPtr& cancellationToken,
                                                      const std::optional<std::string>& sessionToken) {
  auto self = shared_from_this();
  return Task<>::taskWithResult()
      .continueAsyncWithBlock([self, state, cancellationToken, sessionToken](const Task<>&) {
        if (cancellationToken && cancellationToken->isCancellationRequested()) {
          return Task<CommandResultPtr>::cancelledTask();
        }
        auto find = RESTQueryCommand::findCommandForQueryState(*state, sessionToken);
        std::shared_ptr<RESTCommand> count = RESTQueryCommand::countCommandFromFindCommand(*find);
        return self->runNetworkCommandAsync(count, cancellationToken, *state);
      })
      .continueWithSuccessBlock(
          [](const Task<CommandResultPtr>& task) {
            const CommandResultPtr& result = task.result();
            if (!result) return Task<std::int64_t>::taskWithError(malformedReply("no reply"));
            if (auto error = loggedReplyError(*result, true)) return Task<std::int64_t>::taskWithError(error);
            const Value& count = *result->result().dictionaryValue().find("count");
            return Task<std::int64_t>::taskWithResult(
                count.isIntegerNumber() ? count.int64Value() : static_cast<std::int64_t>(count.doubleValue()));
          },
          cancellationToken);
}

Task<CommandResultPtr> QueryController::runCommand(const std::shared_ptr<RESTCommand>& command,
                                                   CommandRunningOptions options,
                                                   const CancellationTokenPtr& cancellationToken) {
  auto source = dataSource_.lock();
  auto runner = source ? source->commandRunner() : nullptr;
  if (!runner) {
    return Task<CommandResultPtr>::taskWithError(
        ErrorUtilities::errorWithCode(kQueryErrorInternalServer, "The query's manager is gone."));
  }
  return runner->runCommandAsync(command, options, cancellationToken);
}

Task<CommandResultPtr> QueryController::runNetworkCommandAsync(const std::shared_ptr<RESTCommand>& command,
                                                               const CancellationTokenPtr& cancellationToken,
                                                               const QueryState&) {
  return runCommand(command, kCommandRunningOptionRetryIfFailed, cancellationToken);
}

std::optional<std::string> QueryController::cacheKeyForQueryState(const QueryState&,
                                                                   const std::optional<std::string>&) {
  return std::nullopt;
}
bool QueryController::hasCachedResultForQueryState(const QueryState&, const std::optional<std::string>&) {
  return false;
}
void QueryController::clearCachedResultForQueryState(const QueryState&, const std::optional<std::string>&) {}
void QueryController::clearAllCachedResults() {}

// ---- CachedQueryController ---------------------------------------------------------------------

CachedQueryController::CachedQueryController(std::weak_ptr<QueryControllerDataSource> dataSource)
    : QueryController(std::move(dataSource)) {}

std::shared_ptr<CachedQueryController> CachedQueryController::controllerWithCommonDataSource(
    std::weak_ptr<QueryControllerDataSource> dataSource) {
  return std::make_shared<CachedQueryController>(std::move(dataSource));
}

Task<CommandResultPtr> CachedQueryController::runNetworkCommandAsync(const std::shared_ptr<RESTCommand>& command,
                                                                     const CancellationTokenPtr& cancellationToken,
                                                                     const QueryState& state) {
  if (cancellationToken && cancellationToken->isCancellationRequested()) {
    return Task<CommandResultPtr>::cancelledTask();
  }
  switch (state.cachePolicy()) {
    case CachePolicy::IgnoreCache:
      return networkAsync(command, kCommandRunningOptionRetryIfFailed, cancellationToken, false);
    case CachePolicy::CacheOnly:
      return cacheAsync(command, state);
    case CachePolicy::NetworkOnly:
      return networkAsync(command, kCommandRunningOptionRetryIfFailed, cancellationToken, true);
    case CachePolicy::CacheElseNetwork: {
      auto self = std::static_pointer_cast<CachedQueryController>(shared_from_this());
      return cacheAsync(command, state).continueWithBlock(
          [self, command, cancellationToken](const Task<CommandResultPtr>& cached) {
            if (!cached.isFaulted() || cached.exception()) return cached;
            return self->networkAsync(command, kCommandRunningOptionRetryIfFailed, cancellationToken, true);
          },
          cancellationToken);
    }
    case CachePolicy::NetworkElseCache: {
      auto self = std::static_pointer_cast<CachedQueryController>(shared_from_this());
      auto frozen = state.copy();
      return networkAsync(command, kCommandRunningOptionNone, cancellationToken, true)
          .continueWithBlock(
              [self, command, frozen](const Task<CommandResultPtr>& network) {
                if (network.isCancelled() || network.exception() || !network.error()) return network;
                return self->cacheAsync(command, *frozen);
              },
              cancellationToken);
    }
    case CachePolicy::CacheThenNetwork:
      throw InternalInconsistencyException("kCachePolicyCacheThenNetwork is not implemented as a runner.");
  }
  throw InternalInconsistencyException(
      formatMessage("Unrecognized cache policy: %d", static_cast<int>(state.cachePolicy())));
}

Task<CommandResultPtr> CachedQueryController::networkAsync(const std::shared_ptr<RESTCommand>& command,
                                                           CommandRunningOptions options,
                                                           const CancellationTokenPtr& cancellationToken, bool store) {
  auto task = runCommand(command, options, cancellationToken);
  if (!store) return task;
  auto self = std::static_pointer_cast<CachedQueryController>(shared_from_this());
  return task.continueWithSuccessBlock([self, command](const Task<CommandResultPtr>& done) {
    const CommandResultPtr& result = done.result();
    // Only a reply a query can use is kept: a bad one would otherwise be served again from the
    // cache when the network is down, long after the server has mended it.
    bool isCount = command->parametersValue().get("count").isString();
    if (result && !result->resultString().empty() && !replyError(*result, isCount)) {
      auto source = self->commonDataSource();
      if (auto cache = source ? source->keyValueCache() : nullptr) {
        cache->setObject(result->resultString(), command->cacheKey());
      }
    }
    return result;
  });
}

Task<CommandResultPtr> CachedQueryController::cacheAsync(const std::shared_ptr<RESTCommand>& command,
                                                         const QueryState& state) {
  auto source = commonDataSource();
  auto cache = source ? source->keyValueCache() : nullptr;
  std::optional<std::string> text;
  if (cache) text = cache->objectForKey(command->cacheKey(), KeyValueCache::maxAgeFromSeconds(state.maxCacheAge()));
  if (!text) {
    return Task<CommandResultPtr>::taskWithError(
        ErrorUtilities::errorWithCode(kQueryErrorCacheMiss, "Cache miss.", false));
  }
  auto parsed = JSONSerialization::JSONObjectFromString(*text);
  if (!parsed) {
    return Task<CommandResultPtr>::taskWithError(
        ErrorUtilities::errorWithCode(kQueryErrorCacheMiss, "Cache contains corrupted JSON."));
  }
  // The parsed text is handed on as the runner hands on a reply: the find decodes each result
  // into its object, so decoding here as well would only do that work twice.
  return Task<CommandResultPtr>::taskWithResult(
      CommandResult::commandResultWithResult(std::move(*parsed), std::move(*text), platform::HTTPResponse{}));
}

std::optional<std::string> CachedQueryController::cacheKeyForQueryState(const QueryState& state,
                                                                         const std::optional<std::string>& sessionToken) {
  return RESTQueryCommand::findCommandForQueryState(state, sessionToken)->cacheKey();
}

bool CachedQueryController::hasCachedResultForQueryState(const QueryState& state,
                                                         const std::optional<std::string>& sessionToken) {
  auto source = commonDataSource();
  auto cache = source ? source->keyValueCache() : nullptr;
  if (!cache) return false;
  return cache->objectForKey(*cacheKeyForQueryState(state, sessionToken),
                             KeyValueCache::maxAgeFromSeconds(state.maxCacheAge()))
      .has_value();
}

void CachedQueryController::clearCachedResultForQueryState(const QueryState& state,
                                                           const std::optional<std::string>& sessionToken) {
  auto source = commonDataSource();
  if (auto cache = source ? source->keyValueCache() : nullptr) cache->removeObjectForKey(*cacheKeyForQueryState(state, sessionToken));
}

void CachedQueryController::clearAllCachedResults() {
  auto source = commonDataSource();
  if (auto cache = source ? source->keyValueCache() : nullptr) cache->removeAllObjects();
}

// ---- The core manager's slots ------------------------------------------------------------------

namespace {

// The controller's view of a core manager: its KeelManager's runner and the manager's cache.
class CoreQueryDataSource final : public QueryControllerDataSource {
 public:
  explicit CoreQueryDataSource(std::weak_ptr<CoreManager> core) : core_(std::move(core)) {}

  std::shared_ptr<CommandRunning> commandRunner() override {
    auto core = core_.lock();
    auto manager = core ? core->dataSource() : nullptr;
    return manager ? manager->commandRunner() : nullptr;
  }
  std::shared_ptr<KeyValueCache> keyValueCache() override {
    auto core = core_.lock();
    return core ? keel::keyValueCache(*core) : nullptr;
  }

 private:
  std::weak_ptr<CoreManager> core_;
};

// Keeps the data source alive beside the controller that holds it weakly.
class CoreCachedQueryController final : public CachedQueryController {
 public:
  explicit CoreCachedQueryController(std::shared_ptr<CoreQueryDataSource> source)
      : CachedQueryController(source), source_(std::move(source)) {}

 private:
  std::shared_ptr<CoreQueryDataSource> source_;
};

}  // namespace

std::shared_ptr<QueryController> queryController(CoreManager& core) {
  return core.component<QueryController>([](CoreManager& core) -> std::shared_ptr<QueryController> {
    if (!core.dataSource()) return nullptr;
    return std::make_shared<CoreCachedQueryController>(
        std::make_shared<CoreQueryDataSource>(core.weak_from_this()));
  });
}

std::shared_ptr<SessionTokenProvider> sessionTokenProvider(CoreManager& core) {
  return core.component<SessionTokenProvider>(
      [](CoreManager&) { return std::make_shared<NoSessionTokenProvider>(); });
}

}  // namespace keel
