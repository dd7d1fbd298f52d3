// AppDelegate: the application's delegate. At launch it configures the backend client and
// replaces the stored exercise catalogue with the backend's (the catalogue sync); it owns the
// record store stack (model, SQLite store "SingleViewCoreData.sqlite" in the documents
// directory, one shared context) for the life of the process; it saves that context when the
// application enters the background.
//
// The sync asks the backend first and replaces the stored catalogue only when the answer came:
// a launch without network keeps the catalogue of the last successful sync.
//
// Thread-safety: main thread only. Set-up and save failures of the store are fatal: they log a
// line starting "Unresolved error " and abort, as the application cannot run without its records.
// Ownership: the platform Application holds the delegate; the delegate holds the store stack and
// shares its context and settings store with the screens through environment().
#pragma once

#include <memory>
#include <string>

#include "app/AppEnvironment.h"
#include "app/CatalogSource.h"
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
  void applicationWillTerminate() override {}

  // Replaces the catalogue in the shared context with the backend's. Returns false with `error`
  // set when the backend could not be asked; the stored catalogue is then left as it was.
  bool getAllVideos(keel::ErrorPtr* error);
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
  std::unique_ptr<CatalogSource> catalogSource_;
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
