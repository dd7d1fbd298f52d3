// QueryController and CachedQueryController: run a frozen QueryState against the backend. The
// state becomes a find (or count) command, the command runner sends it, and the reply becomes
// Objects (or a number). CachedQueryController puts the result cache in front of the network
// according to the state's cache policy.
//
// Replies are checked before anything is built from them: a find reply must hold a "results"
// array of dictionaries, a count reply a whole, non-negative "count". Anything else fails with
// error 1 ("Keel" domain) rather than passing for an empty result, since callers such as the
// catalogue sync replace what they hold with what a query returns. Data from the server or from
// the cache never surfaces as an exception: a task of these controllers fails with an error,
// is cancelled, or carries an exception only for a programming error (an invalid state, policy 5
// given to a runner).
//
// Cache policies (CachedQueryController; the base class always goes to the network and stores
// nothing):
//   IgnoreCache        network; the result is not stored
//   CacheOnly          cache only; nothing cached is error 120 "Cache miss."
//   NetworkOnly        network; a good result is stored
//   CacheElseNetwork   cache; on a miss (or unreadable entry), network, result stored
//   NetworkElseCache   network without retries; on a network error, the cache
//   CacheThenNetwork   not a runner's policy: the query splits it into CacheOnly then NetworkOnly
// A cached entry is the reply text under the find or count command's cache key, which includes
// the session token, so users never see each other's results.
//
// Thread-safety: every member may be called from any thread; the controllers hold no state of
// their own beyond their data source. Work starts on the default-priority background executor.
// Ownership: the core manager owns the controller (queryController()); the controller holds its
// data source weakly.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <keel/network/CommandRunning.h>
#include <keel/objects/Object.h>
#include <keel/objects/QueryState.h>
#include <keel/tasks/Task.h>

namespace keel {

class CoreManager;
class KeyValueCache;
class RESTCommand;

// Error codes of query runs.
inline constexpr long kQueryErrorInternalServer = 1;
inline constexpr long kQueryErrorObjectNotFound = 101;
inline constexpr long kQueryErrorCacheMiss = 120;

// What the controllers take from the manager that made them.
class QueryControllerDataSource {
 public:
  virtual ~QueryControllerDataSource() = default;
  // Returns the runner to send commands with, or nullptr once it is gone.
  virtual std::shared_ptr<CommandRunning> commandRunner() = 0;
  // Returns the result cache, or nullptr when there is none (every lookup then misses and
  // nothing is stored).
  virtual std::shared_ptr<KeyValueCache> keyValueCache() = 0;
};

class QueryController : public std::enable_shared_from_this<QueryController> {
 public:
  // Throws: the plain initializer is not the designated one.
  QueryController();
  explicit QueryController(std::weak_ptr<QueryControllerDataSource> dataSource);
  virtual ~QueryController() = default;

  static std::shared_ptr<QueryController> controllerWithCommonDataSource(
      std::weak_ptr<QueryControllerDataSource> dataSource);

  std::shared_ptr<QueryControllerDataSource> commonDataSource() const { return dataSource_.lock(); }

  // Returns the objects the state finds, in the server's order. `sessionToken` is the signed-in
  // user's, if any.
  Task<std::vector<ObjectPtr>> findObjectsAsync(const QueryStatePtr& state,
                                                const CancellationTokenPtr& cancellationToken,
                                                const std::optional<std::string>& sessionToken);
  // Returns how many objects the state matches.
  Task<std::int64_t> countObjectsAsync(const QueryStatePtr& state, const CancellationTokenPtr& cancellationToken,
                                       const std::optional<std::string>& sessionToken);

  // Sends the command for the state. The base sends it with retries and stores nothing.
  virtual Task<CommandResultPtr> runNetworkCommandAsync(const std::shared_ptr<RESTCommand>& command,
                                                        const CancellationTokenPtr& cancellationToken,
                                                        const QueryState& state);

  // The result cache of the state's find. The base has none: no key, nothing cached.
  virtual std::optional<std::string> cacheKeyForQueryState(const QueryState& state,
                                                           const std::optional<std::string>& sessionToken);
  virtual bool hasCachedResultForQueryState(const QueryState& state, const std::optional<std::string>& sessionToken);
  virtual void clearCachedResultForQueryState(const QueryState& state, const std::optional<std::string>& sessionToken);
  virtual void clearAllCachedResults();

  // Returns the error that makes `result` unusable as a find reply (count reply when
  // `isCount`), or nullptr when it is usable.
  static ErrorPtr replyError(const CommandResult& result, bool isCount);

 protected:
  // Sends the command through the data source's runner with `options`.
  Task<CommandResultPtr> runCommand(const std::shared_ptr<RESTCommand>& command, CommandRunningOptions options,
                                    const CancellationTokenPtr& cancellationToken);

 private:
  std::weak_ptr<QueryControllerDataSource> dataSource_;
};

class CachedQueryController : public QueryController {
 public:
  CachedQueryController() = default;
  explicit CachedQueryController(std::weak_ptr<QueryControllerDataSource> dataSource);

  static std::shared_ptr<CachedQueryController> controllerWithCommonDataSource(
      std::weak_ptr<QueryControllerDataSource> dataSource);

  // Throws InternalInconsistencyException for CacheThenNetwork ("kCachePolicyCacheThenNetwork is
  // not implemented as a runner.") and for a policy outside the six ("Unrecognized cache
  // policy: %d").
  Task<CommandResultPtr> runNetworkCommandAsync(const std::shared_ptr<RESTCommand>& command,
                                                const CancellationTokenPtr& cancellationToken,
                                                const QueryState& state) override;

  std::optional<std::string> cacheKeyForQueryState(const QueryState& state,
                                                   const std::optional<std::string>& sessionToken) override;
  bool hasCachedResultForQueryState(const QueryState& state, const std::optional<std::string>& sessionToken) override;
  void clearCachedResultForQueryState(const QueryState& state, const std::optional<std::string>& sessionToken) override;
  void clearAllCachedResults() override;

 private:
  // Sends the command and, when `store`, keeps a usable reply under the command's cache key.
  Task<CommandResultPtr> networkAsync(const std::shared_ptr<RESTCommand>& command, CommandRunningOptions options,
                                      const CancellationTokenPtr& cancellationToken, bool store);
  // Returns the cached reply of the command: error 120 on a miss or an unreadable entry.
  Task<CommandResultPtr> cacheAsync(const std::shared_ptr<RESTCommand>& command, const QueryState& state);
};

// Returns the core manager's query controller, a CachedQueryController over the manager's
// command runner and result cache, made on first use. Returns nullptr once the KeelManager is
// gone.
std::shared_ptr<QueryController> queryController(CoreManager& core);

}  // namespace keel
