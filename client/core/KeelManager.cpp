#include <keel/core/KeelManager.h>

#include <mutex>

#include <keel/base/Exception.h>
#include <keel/tasks/Executor.h>
#include <keel/base/Format.h>
#include <keel/base/Logger.h>
#include <keel/storage/MultiProcessFileLock.h>
#include <keel/tasks/TaskLibrary.h>
#include <keel/platform/DeviceInfo.h>
#include <keel/platform/FileSystem.h>

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

KeelManager::KeelManager()
    : fileManager_(label(".filemanager.access")),
      keychainStore_(label(".keychainstore.access")),
      installationIdentifierStore_(label(".installationidentifierstore.access")),
      commandRunner_(label(".commandrunner.access")),
      coreManager_(label(".coreManager.access")) {
  throw InternalInconsistencyException(
      formatMessage("%@ is not the designated initializer for instances of %@.", "init", "KeelManager"));
}

KeelManager::KeelManager(std::string applicationId, std::string clientKey)
    : applicationId_(std::move(applicationId)),
      clientKey_(std::move(clientKey)),
      offlineStoreAccessQueue_(platform::DispatchQueue::createConcurrent(label(".offlinestore.access"))),
      fileManager_(label(".filemanager.access")),
      keychainStore_(label(".keychainstore.access")),
      installationIdentifierStore_(label(".installationidentifierstore.access")),
      commandRunner_(label(".commandrunner.access")),
      coreManager_(label(".coreManager.access")),
      controllerAccessQueue_(platform::DispatchQueue::createSerial(label(".controller.access"))),
      preloadQueue_(platform::DispatchQueue::createSerial(label(".preload"))) {}

std::shared_ptr<KeelManager> KeelManager::initWithApplicationId(std::string applicationId, std::string clientKey) {
  return std::make_shared<KeelManager>(std::move(applicationId), std::move(clientKey));
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
  offlineStoreAccessQueue_->barrierSync([&] {
    if (offlineStore_) throw InternalInconsistencyException("Can't load offline store more than once.");
    offlineStore_ = std::make_shared<OfflineStore>(files, options);
  });
}

bool KeelManager::isOfflineStoreLoaded() { return offlineStore() != nullptr; }

std::shared_ptr<OfflineStore> KeelManager::offlineStore() {
  return offlineStoreAccessQueue_->syncResult([&] { return offlineStore_; });
}

void KeelManager::setOfflineStore(std::shared_ptr<OfflineStore> store) {
  offlineStoreAccessQueue_->barrierSync([&] { offlineStore_ = std::move(store); });
}

std::shared_ptr<FileManager> KeelManager::fileManager() {
  return fileManager_.get([&] { return std::make_shared<FileManager>(applicationId_, applicationGroupIdentifier_); });
}

std::string KeelManager::keychainServiceName() const {
  const std::string owner = containingApplicationIdentifier_ ? *containingApplicationIdentifier_
                                                             : platform::mainBundleInfo().identifier;
  return formatMessage("%@.%@", owner, keychainServiceSuffix());
}

std::shared_ptr<KeychainStore> KeelManager::keychainStore() {
  return keychainStore_.get([&] { return std::make_shared<KeychainStore>(keychainServiceName()); });
}

std::shared_ptr<InstallationIdentifierStore> KeelManager::installationIdentifierStore() {
  return installationIdentifierStore_.get([&] { return std::make_shared<InstallationIdentifierStore>(fileManager()); });
}

std::shared_ptr<URLSessionCommandRunner> KeelManager::commandRunner() {
  return commandRunner_.get([&] {
    return URLSessionCommandRunner::commandRunnerWithDataSource(weak_from_this(), applicationId_, clientKey_);
  });
}

std::shared_ptr<CoreManager> KeelManager::coreManager() {
  return coreManager_.get([&] { return CoreManager::managerWithDataSource(weak_from_this()); });
}

void KeelManager::unloadCoreManager() { coreManager_.set(nullptr); }

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
