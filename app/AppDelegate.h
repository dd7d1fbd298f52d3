// AppDelegate: the application's delegate. At launch it configures the backend client and
// replaces the stored exercise catalogue with the backend's (the catalogue sync); it owns the
// record store stack (model, SQLite store "SingleViewCoreData.sqlite" in the documents
// directory, one shared context) for the life of the process; it saves that context when the
// application enters the background.
//
// The sync asks the backend first and replaces the stored catalogue only when the answer came:
// a launch without network keeps the catalogue of the last successful sync.
//
// The launch runs the sync in one of two ways. By default it blocks until the catalogue is
// there (tools, tests, screenshots). With setAsynchronousLaunch() the fetch runs off the main
// thread, the launch callback returns at once, and the handlers hear of each attempt and of the
// end; continueOffline() ends the wait early as a failure. Either way the catalogue is replaced
// (or the failure line printed) before the handlers learn the launch has finished, so the home
// screen still comes after the catalogue.
//
// Thread-safety: main thread only. Set-up and save failures of the store are fatal: they log a
// line starting "Unresolved error " and abort, as the application cannot run without its records.
// Ownership: the platform Application holds the delegate; the delegate holds the store stack and
// shares its context and settings store with the screens through environment().
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>
#include <string>

#include "app/AppEnvironment.h"
#include "app/CatalogSource.h"
#include "app/CatalogSync.h"
#include "app/RecordStore.h"
#include <keel/platform/Application.h>
#include <keel/platform/UserDefaults.h>

namespace stillnook {

// The backend identifiers compiled into the application.
inline constexpr const char* kApplicationId = "Qz7mR2vK9pLw4tXb8nHc3sJd6fYg1aEu5oWi0kTe";
inline constexpr const char* kClientKey = "Lm3Nq8Rt2Vx6Zb9Cd4Fg7Hj1Kp5Ws0Ye8Ua3Io6X";

class AppDelegate : public platform::ApplicationDelegate {
 public:
  // Uses a source that reports that no backend is configured.
  AppDelegate();
  explicit AppDelegate(std::unique_ptr<CatalogSource> catalogSource);
  // Stops a launch sync that is still running; its outcome is dropped.
  ~AppDelegate() override;

  struct LaunchHandlers {
    // Each attempt of the fetch, and the time of the next one after a failure.
    std::function<void(const FetchProgress&)> progress;
    // The launch's sync is over: true when the catalogue was replaced.
    std::function<void(bool synced)> finished;
  };
  // Makes the launch fetch the catalogue off the main thread and report to `handlers`.
  // REQUIRES: called before the launch.
  void setAsynchronousLaunch(LaunchHandlers handlers);
  // Ends a running asynchronous sync as a failure (the user chose not to wait): the stored
  // catalogue stays. Does nothing when no sync is running.
  void continueOffline();
  // Returns true while an asynchronous sync is running.
  bool isSyncing() const { return launchSync_ && !launchSync_->isFinished(); }

  // Where the stored catalogue comes from: not asked yet, this run's sync, or an earlier run
  // (the last sync of this run failed or was given up).
  enum class CatalogState { NotSynced, Synced, Offline };
  CatalogState catalogState() const { return catalogState_; }
  // Runs the catalogue sync again off the main thread (a Retry after a failed launch sync),
  // reporting to `handlers` as the launch does. Returns false, starting nothing, while a sync
  // is running. REQUIRES: the application has launched.
  bool syncCatalog(LaunchHandlers handlers);

  // Returns the shared context of the running application's delegate, or nullptr when the
  // delegate is not an AppDelegate. The screens do not use it: they are handed environment().
  static std::shared_ptr<ManagedObjectContext> sharedManagedObjectContext();

  // Returns what the screens work with: the shared context, the settings store, `thumbnails`
  // and the system clock.
  AppEnvironment environment(std::shared_ptr<ThumbnailSource> thumbnails);

  // ApplicationDelegate
  bool applicationDidFinishLaunchingWithOptions() override;
  void applicationWillResignActive() override {}
  void applicationDidEnterBackground() override { saveContext(); }
  void applicationWillEnterForeground() override {}
  void applicationDidBecomeActive() override {}
  // A launch sync still running when the application ends is stopped and its outcome dropped.
  void applicationWillTerminate() override;

  // Replaces the catalogue in the shared context with the backend's. Returns false with `error`
  // set when the backend could not be asked; the stored catalogue is then left as it was.
  bool getAllVideos(keel::ErrorPtr* error);
  // Replaces the catalogue in the shared context with `entries`, skipping (with a printed line)
  // entries that cannot become an Exercise. Does not save.
  void replaceCatalog(const std::vector<CatalogEntry>& entries);
  // Deletes every Exercise record from the shared context. Does not save.
  void removeData();
  // Saves the shared context when it has changes; aborts when the save fails.
  void saveContext();

  bool didLoad() const { return didLoad_; }
  // The store stack, built on first use.
  const std::string& applicationDocumentsDirectory();
  std::shared_ptr<const ManagedObjectModel> managedObjectModel();
  std::shared_ptr<PersistentStoreCoordinator> persistentStoreCoordinator();
  std::shared_ptr<ManagedObjectContext> managedObjectContext();
  // The settings store (points and favourites) of the sandbox, taken on first use.
  std::shared_ptr<platform::UserDefaults> userDefaults();

 private:
  // Ends the launch's sync: stores the catalogue or prints the failure line.
  bool finishSync(const std::optional<std::vector<CatalogEntry>>& entries, const keel::ErrorPtr& error);

  // Shared with a fetch that runs on another thread.
  std::shared_ptr<CatalogSource> catalogSource_;
  std::optional<LaunchHandlers> asynchronousLaunch_;
  std::shared_ptr<CatalogSync> launchSync_;
  CatalogState catalogState_ = CatalogState::NotSynced;
  bool didLoad_ = false;
  std::string applicationDocumentsDirectory_;
  std::shared_ptr<const ManagedObjectModel> managedObjectModel_;
  std::shared_ptr<PersistentStoreCoordinator> persistentStoreCoordinator_;
  std::shared_ptr<ManagedObjectContext> managedObjectContext_;
  std::shared_ptr<platform::UserDefaults> userDefaults_;
};

// The name of the record store file in the documents directory.
inline constexpr const char* kStoreFileName = "SingleViewCoreData.sqlite";

}  // namespace stillnook
