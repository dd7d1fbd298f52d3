// KeelManager: the owner of one configuration of the library and of its long-lived components.
// Keel::setApplicationId makes the process-wide one; every component (files, keychain,
// installation identifier, command runner, core manager, ...) is made on first use, once, under
// a serial queue of its own, and lives as long as the manager.
//
// Components get what they use from the manager that makes them: the server, the application
// id and client key, the home directory their files lie under, the keychain service, the
// installation id. Nothing of it is read from process-wide state after the manager is made, so
// two managers (two servers, two data directories) can work side by side in one process.
//
// Configuration also keeps the data of one application id from being read under another: the
// data item "applicationId" records the id, and a different id clears the keychain items and the
// data directory before the new id is recorded.
//
// Thread-safety: every member may be called from any thread.
// Ownership: held by Keel (std::shared_ptr) or by whoever made it; components hold the manager
// weakly when they need it as their data source.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <keel/core/CoreManager.h>
#include <keel/network/CommandURLRequestConstructor.h>
#include <keel/network/URLSessionCommandRunner.h>
#include <keel/storage/FileManager.h>
#include <keel/storage/InstallationIdentifierStore.h>
#include <keel/storage/KeychainStore.h>
#include <keel/storage/OfflineStore.h>
#include <keel/tasks/Task.h>

namespace keel {

// Where one manager's requests go and where its data lives. Empty texts take the process's own
// facts when the manager is made.
struct KeelManagerEnvironment {
  // The server requests go to: scheme, host and port.
  std::string serverURL = kDefaultServerURLString;
  // The directory the data, documents and caches directories lie under; empty for the
  // application's sandbox (platform::homeDirectory()).
  std::string homeDirectory;
  // The bundle identifier that names the keychain service; empty for the running program's.
  std::string bundleIdentifier;
};

class KeelManager : public CommandRequestDataSource, public std::enable_shared_from_this<KeelManager> {
 public:
  // Throws: the plain initializer is not the designated one.
  KeelManager();
  KeelManager(std::string applicationId, std::string clientKey, KeelManagerEnvironment environment = {});
  ~KeelManager() override;
  static std::shared_ptr<KeelManager> initWithApplicationId(std::string applicationId, std::string clientKey,
                                                            KeelManagerEnvironment environment = {});

  const std::string& applicationId() const { return applicationId_; }
  const std::string& clientKey() const { return clientKey_; }
  // Returns the directory the manager's files lie under.
  const std::string& homeDirectory() const { return homeDirectory_; }
  const std::string& bundleIdentifier() const { return bundleIdentifier_; }
  // Returns the server the manager's requests go to.
  std::string serverURL() const;
  // Re-points the manager's requests, the command runner's too when it has been made.
  void setServerURL(std::string serverURL);
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
  std::string homeDirectory_;
  std::string bundleIdentifier_;
  std::optional<std::string> applicationGroupIdentifier_;
  std::optional<std::string> containingApplicationIdentifier_;

  // The components and the state they are guarded with; kept out of this header.
  struct Components;
  std::unique_ptr<Components> components_;
  platform::DispatchQueuePtr controllerAccessQueue_;
  platform::DispatchQueuePtr preloadQueue_;
};

// The suffix of the library's keychain service.
std::string keychainServiceSuffix();

}  // namespace keel
