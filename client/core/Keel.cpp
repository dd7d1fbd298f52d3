#include <keel/core/Keel.h>

#include <mutex>

#include <keel/core/Application.h>
#include <keel/base/Exception.h>
#include <keel/base/Logger.h>
#include <keel/network/NetworkActivityIndicatorManager.h>

namespace keel {
namespace {

// An installed build is quiet by default; a developer's build shows warnings and errors.
void adoptDefaultLogLevel() {
  Logger::sharedLogger().setDefaultLogLevel(static_cast<std::uint8_t>(
      Application::currentApplication().isAppStoreEnvironment() ? LoggingLevel::None : LoggingLevel::Warning));
}

struct State {
  // Orders setServer against the moment a new manager becomes current, so that neither misses
  // the other. Taken before `mutex`, never while holding it.
  std::mutex serverMutex;
  std::mutex mutex;
  std::shared_ptr<KeelManager> manager;
  std::string serverURL = kDefaultServerURLString;
  std::optional<std::string> groupIdentifier;
  std::optional<std::string> containingApplication;
  bool localDatastore = false;
};

State& state() {
  static State* s = new State();  // lives through exit: components may still be working
  return *s;
}

KeelModuleCollection& modules() {
  static KeelModuleCollection* collection = new KeelModuleCollection();
  return *collection;
}

std::shared_ptr<KeelManager> requireManager() {
  auto manager = Keel::_currentManager();
  if (!manager) {
    throw InternalInconsistencyException("You have to call setApplicationId:clientKey: on Keel to configure Keel.");
  }
  return manager;
}

void requireUnreachableCheck(const std::string& groupIdentifier) {
  if (!FileManager::isApplicationGroupContainerReachableForGroupIdentifier(groupIdentifier)) {
    throw InternalInconsistencyException(
        "ApplicationGroupContainer is unreachable. Please double check your Xcode project settings.");
  }
}

}  // namespace

void Keel::setApplicationId(const std::string& applicationId, const std::string& clientKey) {
  adoptDefaultLogLevel();
  if (applicationId.empty()) throw InternalInconsistencyException("'applicationId' should not be nil.");
  if (clientKey.empty()) throw InternalInconsistencyException("'clientKey' should not be nil.");

  KeelManagerEnvironment environment;
  std::optional<std::string> group, containing;
  bool localDatastore;
  {
    std::lock_guard lock(state().mutex);
    environment.serverURL = state().serverURL;
    group = state().groupIdentifier;
    containing = state().containingApplication;
    localDatastore = state().localDatastore;
  }
  auto manager = KeelManager::initWithApplicationId(applicationId, clientKey, std::move(environment));
  manager->configureWithApplicationGroupIdentifierContainingApplicationIdentifierEnabledLocalDataStore(
      group, containing, localDatastore);
  {
    std::lock_guard serverLock(state().serverMutex);
    std::string server;
    {
      std::lock_guard lock(state().mutex);
      state().manager = manager;
      state().localDatastore = false;
      server = state().serverURL;
    }
    // The server may have been set while the manager was being configured.
    if (server != manager->serverURL()) manager->setServerURL(server);
  }
  NetworkActivityIndicatorManager::sharedManager()->setEnabled(true);
  manager->preloadDiskObjectsToMemoryAsync();
  modules().keelDidInitializeWithApplicationId(applicationId, clientKey);
}

std::string Keel::getApplicationId() { return requireManager()->applicationId(); }

std::string Keel::getClientKey() { return requireManager()->clientKey(); }

void Keel::enableDataSharingWithApplicationGroupIdentifier(const std::string& groupIdentifier) {
  if (_currentManager()) {
    throw InternalInconsistencyException(
        "'enableDataSharingWithApplicationGroupIdentifier:' must be called before 'setApplicationId:clientKey'");
  }
  if (groupIdentifier.empty()) throw InvalidArgumentException("'groupIdentifier' should not be nil.");
  if (Application::currentApplication().isExtensionEnvironment()) {
    throw InternalInconsistencyException("This method cannot be used in application extensions.");
  }
  requireUnreachableCheck(groupIdentifier);
  std::lock_guard lock(state().mutex);
  state().groupIdentifier = groupIdentifier;
}

void Keel::enableDataSharingWithApplicationGroupIdentifierContainingApplication(const std::string& groupIdentifier,
                                                                               const std::string& bundleIdentifier) {
  if (_currentManager()) {
    throw InternalInconsistencyException(
        "'enableDataSharingWithApplicationGroupIdentifier:containingApplication:' must be called before "
        "'setApplicationId:clientKey'");
  }
  if (groupIdentifier.empty()) throw InvalidArgumentException("'groupIdentifier' should not be nil.");
  if (bundleIdentifier.empty()) throw InvalidArgumentException("Containing application bundle identifier should not be nil.");
  if (!Application::currentApplication().isExtensionEnvironment()) {
    throw InternalInconsistencyException("This method can only be used in application extensions.");
  }
  requireUnreachableCheck(groupIdentifier);
  std::lock_guard lock(state().mutex);
  state().groupIdentifier = groupIdentifier;
  state().containingApplication = bundleIdentifier;
}

std::optional<std::string> Keel::applicationGroupIdentifierForDataSharing() {
  std::lock_guard lock(state().mutex);
  return state().groupIdentifier;
}

std::optional<std::string> Keel::containingApplicationBundleIdentifierForDataSharing() {
  std::lock_guard lock(state().mutex);
  return state().containingApplication;
}

void Keel::enableLocalDatastore() {
  if (_currentManager()) {
    throw InternalInconsistencyException("'enableLocalDataStore' must be called before 'setApplicationId:clientKey:'");
  }
  std::lock_guard lock(state().mutex);
  state().localDatastore = true;
}

bool Keel::isLocalDatastoreEnabled() {
  if (auto manager = _currentManager()) return manager->isOfflineStoreLoaded();
  std::lock_guard lock(state().mutex);
  return state().localDatastore;
}

void Keel::setLogLevel(std::uint8_t level) { Logger::sharedLogger().setLogLevel(level); }

std::uint8_t Keel::logLevel() {
  adoptDefaultLogLevel();
  return Logger::sharedLogger().logLevel();
}

void Keel::setServer(const std::string& server) {
  std::lock_guard serverLock(state().serverMutex);
  std::shared_ptr<KeelManager> manager;
  {
    std::lock_guard lock(state().mutex);
    state().serverURL = server;
    manager = state().manager;
  }
  // Outside `mutex`: re-pointing waits for the manager's runner queue.
  if (manager) manager->setServerURL(server);
}

std::string Keel::serverURLString() {
  std::lock_guard lock(state().mutex);
  return state().serverURL;
}

std::shared_ptr<CommandRunning> Keel::commandRunner() { return requireManager()->commandRunner(); }

void Keel::enableKeelModule(const std::shared_ptr<KeelModule>& module) { modules().addKeelModule(module); }

void Keel::disableKeelModule(const std::shared_ptr<KeelModule>& module) { modules().removeKeelModule(module); }

bool Keel::isModuleEnabled(const std::shared_ptr<KeelModule>& module) { return modules().containsModule(module); }

std::shared_ptr<KeelManager> Keel::_currentManager() {
  std::lock_guard lock(state().mutex);
  return state().manager;
}

void Keel::_clearCurrentManager() {
  std::lock_guard lock(state().mutex);
  state().manager.reset();
}

void Keel::_resetDataSharingIdentifiers() {
  std::lock_guard lock(state().mutex);
  state().groupIdentifier.reset();
  state().containingApplication.reset();
}

}  // namespace keel
