#include <keel/core/KeelManager.h>

#include <mutex>
#include <vector>

#include <keel/base/Exception.h>
#include <keel/base/Format.h>
#include <keel/base/Logger.h>
#include <keel/core/internal/LazyComponent.h>
#include <keel/platform/DeviceInfo.h>
#include <keel/platform/FileSystem.h>
#include <keel/storage/MultiProcessFileLock.h>
#include <keel/tasks/Executor.h>
#include <keel/tasks/TaskLibrary.h>

namespace keel {
namespace {

std::string label(const char* component) { return std::string(kQueueLabelPrefix) + component; }

struct PreloadStep {
  std::string name;
  std::function<void(KeelManager&)> run;
};

std::mutex& preloadMutex() {
  static std::mutex m;
  return m;
}

std::vector<PreloadStep>& preloadSteps() {
  static std::vector<PreloadStep> steps;
  return steps;
}

}  // namespace

std::string keychainServiceSuffix() { return std::string(kQueueLabelPrefix) + ".sdk"; }

struct KeelManager::Components {
  mutable std::mutex serverURLMutex;
  std::string serverURL;

  platform::DispatchQueuePtr offlineStoreAccessQueue =
      platform::DispatchQueue::createConcurrent(label(".offlinestore.access"));
  std::shared_ptr<OfflineStore> offlineStore;  // guarded by offlineStoreAccessQueue
  internal::LazyComponent<FileManager> fileManager{label(".filemanager.access")};
  internal::LazyComponent<KeychainStore> keychainStore{label(".keychainstore.access")};
  internal::LazyComponent<InstallationIdentifierStore> installationIdentifierStore{
      label(".installationidentifierstore.access")};
  internal::LazyComponent<URLSessionCommandRunner> commandRunner{label(".commandrunner.access")};
  internal::LazyComponent<CoreManager> coreManager{label(".coreManager.access")};
};

KeelManager::KeelManager() {
  throw InternalInconsistencyException(
      formatMessage("%@ is not the designated initializer for instances of %@.", "init", "KeelManager"));
}

KeelManager::KeelManager(std::string applicationId, std::string clientKey, KeelManagerEnvironment environment)
    : applicationId_(std::move(applicationId)),
      clientKey_(std::move(clientKey)),
      homeDirectory_(environment.homeDirectory.empty() ? platform::homeDirectory()
                                                       : platform::standardizePath(environment.homeDirectory)),
      bundleIdentifier_(environment.bundleIdentifier.empty() ? platform::mainBundleInfo().identifier
                                                             : std::move(environment.bundleIdentifier)),
      components_(std::make_unique<Components>()),
      controllerAccessQueue_(platform::DispatchQueue::createSerial(label(".controller.access"))),
      preloadQueue_(platform::DispatchQueue::createSerial(label(".preload"))) {
  components_->serverURL = std::move(environment.serverURL);
}

KeelManager::~KeelManager() = default;

std::shared_ptr<KeelManager> KeelManager::initWithApplicationId(std::string applicationId, std::string clientKey,
                                                                KeelManagerEnvironment environment) {
  return std::make_shared<KeelManager>(std::move(applicationId), std::move(clientKey), std::move(environment));
}

std::string KeelManager::serverURL() const {
  std::lock_guard lock(components_->serverURLMutex);
  return components_->serverURL;
}

void KeelManager::setServerURL(std::string serverURL) {
  // On the runner's queue: a runner being made meanwhile takes the new URL, one made before is
  // re-pointed, and of two calls at once the later one wins for both.
  components_->commandRunner.withComponent([&](const std::shared_ptr<URLSessionCommandRunner>& runner) {
    {
      std::lock_guard lock(components_->serverURLMutex);
      components_->serverURL = serverURL;
    }
    if (runner) runner->requestConstructor()->setServerURLString(serverURL);
  });
}

void KeelManager::configureWithApplicationGroupIdentifierContainingApplicationIdentifierEnabledLocalDataStore(
    std::optional<std::string> applicationGroupIdentifier, std::optional<std::string> containingApplicationIdentifier,
    bool localDataStoreEnabled) {
  applicationGroupIdentifier_ = std::move(applicationGroupIdentifier);
  containingApplicationIdentifier_ = std::move(containingApplicationIdentifier);
  if (applicationGroupIdentifier_ && !containingApplicationIdentifier_) migrateSandboxDataToSharedContainer();
  checkApplicationId();
  if (localDataStoreEnabled) loadOfflineStoreWithOptions(applicationGroupIdentifier_ ? kOfflineStoreOptionShared : 0);
}

void KeelManager::migrateSandboxDataToSharedContainer() {
  auto files = fileManager();
  const std::string local = files->localSandboxDataDirectoryPath();
  std::error_code listed;
  if (platform::contentsOfDirectory(local, listed).empty()) return;
  ErrorPtr error;
  FileManager::moveContentsOfDirectoryAsyncAtPath(local, files->defaultDataDirectoryPath(), Executor::immediateExecutor())
      .waitForResult(&error, false);
  if (error) {
    logError("Failed to migrate local sandbox data to shared container with error %@", error->localizedDescription());
    return;
  }
  FileManager::removeItemAtPathAsync(local, false).waitForResult(nullptr, false);
}

void KeelManager::checkApplicationId() {
  auto files = fileManager();
  const std::string marker = files->dataItemPathForPathComponent("applicationId");
  LockedContentAccess access(marker);
  std::error_code readError;
  auto recorded = platform::fileExists(marker) ? platform::readFile(marker, readError) : std::nullopt;
  if (recorded && !readError) {
    const std::string text(recorded->begin(), recorded->end());
    if (text != applicationId_) {
      // Data of another application id must not be read under this one.
      keychainStore()->removeAllObjects();
      auto contents = FileManager::removeDirectoryContentsAsyncAtPath(files->defaultDataDirectoryPath());
      auto deprecated = FileManager::removeItemAtPathAsync(files->dataDirectoryPath_DEPRECATED(), false);
      Task<void>::taskForCompletionOfAllTasks({contents, deprecated}).waitForResult(nullptr, false);
    }
  }
  if (!platform::fileExists(marker)) {
    ErrorPtr error;
    FileManager::writeStringAsync(applicationId_, marker).waitForResult(&error, false);
    if (error) logError("Unable to create applicationId file with error: %@", error->localizedDescription());
  }
}

void KeelManager::loadOfflineStoreWithOptions(unsigned options) {
  auto files = fileManager();
  components_->offlineStoreAccessQueue->barrierSync([&] {
    if (components_->offlineStore) throw InternalInconsistencyException("Can't load offline store more than once.");
    components_->offlineStore = std::make_shared<OfflineStore>(files, options);
  });
}

bool KeelManager::isOfflineStoreLoaded() { return offlineStore() != nullptr; }

std::shared_ptr<OfflineStore> KeelManager::offlineStore() {
  return components_->offlineStoreAccessQueue->syncResult([&] { return components_->offlineStore; });
}

void KeelManager::setOfflineStore(std::shared_ptr<OfflineStore> store) {
  components_->offlineStoreAccessQueue->barrierSync([&] { components_->offlineStore = std::move(store); });
}

std::shared_ptr<FileManager> KeelManager::fileManager() {
  return components_->fileManager.get(
      [&] { return std::make_shared<FileManager>(applicationId_, applicationGroupIdentifier_, homeDirectory_); });
}

std::string KeelManager::keychainServiceName() const {
  const std::string owner = containingApplicationIdentifier_ ? *containingApplicationIdentifier_
                                                             : bundleIdentifier_;
  return formatMessage("%@.%@", owner, keychainServiceSuffix());
}

std::shared_ptr<KeychainStore> KeelManager::keychainStore() {
  return components_->keychainStore.get([&] { return std::make_shared<KeychainStore>(keychainServiceName()); });
}

std::shared_ptr<InstallationIdentifierStore> KeelManager::installationIdentifierStore() {
  return components_->installationIdentifierStore.get([&] { return std::make_shared<InstallationIdentifierStore>(fileManager()); });
}

std::shared_ptr<URLSessionCommandRunner> KeelManager::commandRunner() {
  return components_->commandRunner.get([&] {
    return URLSessionCommandRunner::commandRunnerWithDataSource(weak_from_this(), applicationId_, clientKey_,
                                                                serverURL());
  });
}

std::shared_ptr<CoreManager> KeelManager::coreManager() {
  return components_->coreManager.get([&] { return CoreManager::managerWithDataSource(weak_from_this()); });
}

void KeelManager::unloadCoreManager() { components_->coreManager.set(nullptr); }

std::string KeelManager::installationIdentifier() { return installationIdentifierStore()->installationIdentifier(); }

void KeelManager::registerPreloadStep(std::string name, std::function<void(KeelManager&)> step) {
  std::lock_guard lock(preloadMutex());
  preloadSteps().push_back({std::move(name), std::move(step)});
}

Task<void> KeelManager::preloadDiskObjectsToMemoryAsync() {
  std::vector<PreloadStep> steps;
  {
    std::lock_guard lock(preloadMutex());
    steps = preloadSteps();
  }
  std::weak_ptr<KeelManager> weak = weak_from_this();
  return Task<void>::taskFromExecutor(Executor::executorWithDispatchQueue(preloadQueue_), [weak, steps] {
    for (const auto& step : steps) {
      auto manager = weak.lock();
      if (!manager) break;
      step.run(*manager);
    }
  });
}

}  // namespace keel
