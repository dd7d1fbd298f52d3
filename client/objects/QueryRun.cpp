// The run forms of Query: each marks the query running, hands a frozen copy of its state to the
// current manager's query controller and marks it idle when the run ends.
#include <keel/objects/Query.h>

#include <keel/base/ErrorUtilities.h>
#include <keel/base/Exception.h>
#include <keel/core/CoreManager.h>
#include <keel/core/Keel.h>
#include <keel/core/KeelManager.h>
#include <keel/objects/Object.h>
#include <keel/objects/QueryController.h>
#include <keel/objects/SessionTokenProvider.h>

namespace keel {

namespace {

struct RunParts {
  std::shared_ptr<QueryController> controller;
  std::shared_ptr<SessionTokenProvider> tokens;
};

RunParts runParts() {
  auto manager = Keel::_currentManager();
  if (!manager) {
    throw InternalInconsistencyException("You have to call setApplicationId:clientKey: on Keel to configure Keel.");
  }
  auto core = manager->coreManager();
  RunParts parts{queryController(*core), sessionTokenProvider(*core)};
  consistencyAssert(parts.controller != nullptr, "The query controller is gone.");
  return parts;
}

void refuseCacheThenNetwork(const QueryState& state) {
  consistencyAssert(state.cachePolicy() != CachePolicy::CacheThenNetwork,
                    "kCachePolicyCacheThenNetwork can only be used with methods that have a callback.");
}

QueryStatePtr withPolicy(const QueryState& state, CachePolicy policy) {
  auto copy = state.mutableCopy();
  copy->setCachePolicy(policy);
  return copy->copy();
}

std::optional<std::string> sessionTokenOf(const Task<std::optional<std::string>>& task) {
  return task.result();
}

// The first object of a find: no object at all is an error, as a get promises one.
Task<ObjectPtr> firstOf(const Task<std::vector<ObjectPtr>>& found) {
  return found.continueWithSuccessBlock([](const Task<std::vector<ObjectPtr>>& task) {
    const auto& objects = task.result();
    if (objects.empty()) {
      return Task<ObjectPtr>::taskWithError(
          ErrorUtilities::errorWithCode(kQueryErrorObjectNotFound, "No results matched the query."));
    }
    return Task<ObjectPtr>::taskWithResult(objects.front());
  });
}

}  // namespace

template <typename T, typename Work>
Task<T> Query::runMarked(const CancellationTokenSourcePtr& source, const QueryStatePtr& state, bool endsRun,
                         Work work) {
  auto self = std::static_pointer_cast<Query>(shared_from_this());
  Task<T> run;
  try {
    RunParts parts = runParts();
    auto token = source->token();
    run = parts.tokens->currentSessionTokenAsync().continueWithSuccessBlock(
        [controller = parts.controller, state, token, work](const Task<std::optional<std::string>>& session) {
          return work(*controller, state, token, sessionTokenOf(session));
        },
        token);
  } catch (...) {
    _endRun(source);
    throw;
  }
  if (!endsRun) return run;
  return run.continueWithBlock([self, source](const Task<T>& done) {
    self->_endRun(source);
    return done;
  });
}

template <typename T, typename Work>
void Query::runWithBlock(Work work, std::function<void(T, ErrorPtr)> block) {
  auto [source, state] = _beginRun();
  if (state->cachePolicy() != CachePolicy::CacheThenNetwork || state->queriesLocalDatastore()) {
    runMarked<T>(source, state, true, work).continueWithMainThreadResultBlock(block, false);
    return;
  }
  // Both halves belong to one run under one token source: the query stays running in between,
  // so cancel() reaches the network half too, and no other run can start between them.
  auto self = std::static_pointer_cast<Query>(shared_from_this());
  auto networkState = withPolicy(*state, CachePolicy::NetworkOnly);
  runMarked<T>(source, withPolicy(*state, CachePolicy::CacheOnly), false, work)
      .continueWithMainThreadResultBlock(block, false)
      .continueWithBlock([self, source, networkState, work](const Task<>&) {
        return self->runMarked<T>(source, networkState, true, work);
      })
      .continueWithMainThreadResultBlock(block, false);
}

// ---- Find ----

namespace {

Task<std::vector<ObjectPtr>> findWork(QueryController& controller, const QueryStatePtr& state,
                                      const CancellationTokenPtr& token, const std::optional<std::string>& session) {
  return controller.findObjectsAsync(state, token, session);
}

Task<ObjectPtr> firstWork(QueryController& controller, const QueryStatePtr& state, const CancellationTokenPtr& token,
                          const std::optional<std::string>& session) {
  return firstOf(controller.findObjectsAsync(state, token, session));
}

Task<std::int64_t> countWork(QueryController& controller, const QueryStatePtr& state,
                             const CancellationTokenPtr& token, const std::optional<std::string>& session) {
  return controller.countObjectsAsync(state, token, session);
}

}  // namespace

Task<std::vector<ObjectPtr>> Query::findObjectsInBackground() {
  auto [source, state] = _beginRun();
  try {
    refuseCacheThenNetwork(*state);
  } catch (...) {
    _endRun(source);
    throw;
  }
  return runMarked<std::vector<ObjectPtr>>(source, state, true, findWork);
}

std::vector<ObjectPtr> Query::findObjects(ErrorPtr* error) { return findObjectsInBackground().waitForResult(error); }

void Query::findObjectsInBackgroundWithBlock(ObjectsBlock block) {
  runWithBlock<std::vector<ObjectPtr>>(findWork, std::move(block));
}

// ---- First and get ----

Task<ObjectPtr> Query::getFirstObjectInBackground() {
  _changeState([](MutableQueryState& state) { state.setLimit(1); });
  auto [source, state] = _beginRun();
  try {
    refuseCacheThenNetwork(*state);
  } catch (...) {
    _endRun(source);
    throw;
  }
  return runMarked<ObjectPtr>(source, state, true, firstWork);
}

ObjectPtr Query::getFirstObject(ErrorPtr* error) { return getFirstObjectInBackground().waitForResult(error); }

void Query::getFirstObjectInBackgroundWithBlock(ObjectBlock block) {
  _changeState([](MutableQueryState& state) { state.setLimit(1); });
  runWithBlock<ObjectPtr>(firstWork, std::move(block));
}

namespace {

void becomeGetOfId(MutableQueryState& state, const std::string& objectId) {
  state.setLimit(1);
  state.setSkip(0);
  state.removeAllConditions();
  state.setEqualityConditionWithObject(Value(objectId), "objectId");
}

}  // namespace

Task<ObjectPtr> Query::getObjectInBackgroundWithId(const std::string& objectId) {
  _changeState([&](MutableQueryState& state) { becomeGetOfId(state, objectId); });
  return getFirstObjectInBackground();
}

ObjectPtr Query::getObjectWithId(const std::string& objectId, ErrorPtr* error) {
  return getObjectInBackgroundWithId(objectId).waitForResult(error);
}

void Query::getObjectInBackgroundWithId(const std::string& objectId, ObjectBlock block) {
  _changeState([&](MutableQueryState& state) { becomeGetOfId(state, objectId); });
  getFirstObjectInBackgroundWithBlock(std::move(block));
}

ObjectPtr Query::getObjectOfClass(const std::string& className, const std::string& objectId, ErrorPtr* error) {
  return queryWithClassName(className)->getObjectWithId(objectId, error);
}

// ---- Count ----

Task<std::int64_t> Query::countObjectsInBackground() {
  auto [source, state] = _beginRun();
  try {
    refuseCacheThenNetwork(*state);
  } catch (...) {
    _endRun(source);
    throw;
  }
  return runMarked<std::int64_t>(source, state, true, countWork);
}

std::int64_t Query::countObjects(ErrorPtr* error) {
  auto task = countObjectsInBackground();
  task.waitUntilFinished();
  if (task.exception()) std::rethrow_exception(task.exception());
  if (task.isCancelled() || task.error()) {
    if (error && task.error()) *error = task.error();
    return -1;
  }
  return task.result();
}

void Query::countObjectsInBackgroundWithBlock(CountBlock block) {
  runWithBlock<std::int64_t>(countWork, std::move(block));
}

// ---- Cached results ----

namespace {

std::optional<std::string> currentSessionToken(const RunParts& parts) {
  return parts.tokens->currentSessionTokenAsync().waitForResult(nullptr, false);
}

}  // namespace

bool Query::hasCachedResult() {
  RunParts parts = runParts();
  return parts.controller->hasCachedResultForQueryState(*state(), currentSessionToken(parts));
}

void Query::clearCachedResult() {
  RunParts parts = runParts();
  parts.controller->clearCachedResultForQueryState(*state(), currentSessionToken(parts));
}

void Query::clearAllCachedResults() { runParts().controller->clearAllCachedResults(); }

}  // namespace keel
