// KeelManager: the process-wide owner of the library's configuration and of its long-lived
// components. Keel::setApplicationId makes one; every component (files, keychain, installation
// identifier, command runner, core manager, ...) is made on first use, once, under a serial
// queue of its own, and lives as long as the manager.
//
// Configuration also keeps the data of one application id from being read under another: the
// data item "applicationId" records the id, and a different id clears the keychain items and the
// data directory before the new id is recorded.
//
// Thread-safety: every member may be called from any thread.
// Ownership: held by Keel (std::shared_ptr); components hold the manager weakly when they need
// it as their data source.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <keel/network/CommandURLRequestConstructor.h>
#include <keel/core/CoreManager.h>
#include <keel/storage/FileManager.h>
#include <keel/storage/InstallationIdentifierStore.h>
#include <keel/storage/KeychainStore.h>
#include <keel/core/LazyComponent.h>
#include <keel/storage/OfflineStore.h>
#include <keel/tasks/Task.h>
#include <keel/network/URLSessionCommandRunner.h>

namespace keel {

class KeelManager : public CommandRequestDataSource, public std::enable_shared_from_this<KeelManager> {
 public:
  // Throws: the plain initializer is not the designated one.
  KeelManager();
  KeelManager(std::string applicationId, std::string clientKey);
  static std::shared_ptr<KeelManager> initWithApplicationId(std::string applicationId, std::string clientKey);

  const std::string& applicationId() const { return applicationId_; }
  const std::string& clientKey() const { return clientKey_; }
  const std::optional<std::string>& applicationGroupIdentifier() const { return applicationGroupIdentifier_; }
  const std::optional<std::string>& containingApplicationIdentifier() const { return containingApplicationIdentifier_; }

  // Stores the data-sharing settings, moves sandbox data into the shared container when data
  // sharing has just been enabled, checks the application-id marker and loads the offline store
  // when asked to. File failures are logged; configuration goes on.
  void configureWithApplicationGroupIdentifierContainingApplicationIdentifierEnabledLocalDataStore(
      std::optional<std::string> applicationGroupIdentifier, std::optional<std::string> containingApplicationIdentifier,
      bool localDataStoreEnabled);

  // Loads the offline store. Throws "Can't load offline store more than once." when it is.
  void loadOfflineStoreWithOptions(unsigned options);
  bool isOfflineStoreLoaded();
  std::shared_ptr<OfflineStore> offlineStore();
  void setOfflineStore(std::shared_ptr<OfflineStore> store);

  // Components, each made on first use.
  std::shared_ptr<FileManager> fileManager();
  std::shared_ptr<KeychainStore> keychainStore();
  std::shared_ptr<InstallationIdentifierStore> installationIdentifierStore();
  std::shared_ptr<URLSessionCommandRunner> commandRunner();
  std::shared_ptr<CoreManager> coreManager();
  // Drops the core manager; the next use makes a new one.
  void unloadCoreManager();

  // Returns a task, run on the preload queue, that reads each current object this build of the
  // library keeps on disk (see registerPreloadStep) so that first use finds it in memory.
  Task<void> preloadDiskObjectsToMemoryAsync();
  // Adds a step to every manager's preload, for a part of the library that keeps a current
  // object on disk. Steps run in the order they were added.
  static void registerPreloadStep(std::string name, std::function<void(KeelManager&)> step);

  // Returns the keychain service: the bundle (or containing application) identifier, ".", and
  // the library's suffix.
  std::string keychainServiceName() const;

  // CommandRequestDataSource
  std::string installationIdentifier() override;

  const platform::DispatchQueuePtr& preloadQueue() const { return preloadQueue_; }
  const platform::DispatchQueuePtr& controllerAccessQueue() const { return controllerAccessQueue_; }

 private:
  void migrateSandboxDataToSharedContainer();
  void checkApplicationId();

  std::string applicationId_;
  std::string clientKey_;
  std::optional<std::string> applicationGroupIdentifier_;
  std::optional<std::string> containingApplicationIdentifier_;

  platform::DispatchQueuePtr offlineStoreAccessQueue_;
  std::shared_ptr<OfflineStore> offlineStore_;
  LazyComponent<FileManager> fileManager_;
  LazyComponent<KeychainStore> keychainStore_;
  LazyComponent<InstallationIdentifierStore> installationIdentifierStore_;
  LazyComponent<URLSessionCommandRunner> commandRunner_;
  LazyComponent<CoreManager> coreManager_;
  platform::DispatchQueuePtr controllerAccessQueue_;
  platform::DispatchQueuePtr preloadQueue_;
};

// The suffix of the library's keychain service.
std::string keychainServiceSuffix();

}  // namespace keel
