#include "app/AppDelegate.h"

#include <cstdio>
#include <cstdlib>

#include "app/Exercise.h"
#include "app/Model.h"
#include <keel/platform/FileSystem.h>

namespace stillnook {

using keel::Dictionary;
using keel::ErrorPtr;
using keel::Value;

namespace {

[[noreturn]] void unresolved(const ErrorPtr& error) {
  std::fprintf(stderr, "Unresolved error %s, %s\n", error->description().c_str(),
               Value(error->userInfo()).description().c_str());
  std::fflush(stderr);
  std::abort();
}

// Returns why the entry cannot become an Exercise, or an empty text when it can.
std::string entryProblem(const CatalogEntry& entry) {
  if (entry.objectId.empty()) return "it has no object id";
  const Value& mins = entry.fields["Mins"];
  const bool integral = mins.isNumber() && !mins.isBool() &&
                        (mins.isIntegerNumber() || mins.doubleValue() == static_cast<double>(mins.int64Value()));
  if (!integral) return "\"Mins\" is missing or not an integer";
  for (const char* key : {"Type", "Title", "HTMLLink", "ThumbnailImage", "MP4Link"}) {
    if (!entry.fields[key].isString()) return std::string("\"") + key + "\" is missing or not a string";
  }
  return {};
}

}  // namespace

AppDelegate::AppDelegate() : AppDelegate(std::make_unique<UnconfiguredCatalogSource>()) {}

AppDelegate::AppDelegate(std::unique_ptr<CatalogSource> catalogSource) : catalogSource_(std::move(catalogSource)) {
  didLoad_ = false;
}

AppDelegate::~AppDelegate() {
  if (launchSync_) launchSync_->abandon();
}

void AppDelegate::applicationWillTerminate() {
  if (launchSync_) launchSync_->abandon();
}

void AppDelegate::setAsynchronousLaunch(LaunchHandlers handlers) { asynchronousLaunch_ = std::move(handlers); }

void AppDelegate::continueOffline() {
  if (!isSyncing()) return;
  // Completes the sync now, which prints the failure line and tells the sync's handlers.
  launchSync_->cancel(keel::Error::keel(1, "Continued offline before the exercises arrived."));
}

std::shared_ptr<ManagedObjectContext> AppDelegate::sharedManagedObjectContext() {
  auto delegate = std::dynamic_pointer_cast<AppDelegate>(platform::Application::sharedApplication().delegate());
  return delegate ? delegate->managedObjectContext() : nullptr;
}

AppEnvironment AppDelegate::environment(std::shared_ptr<ThumbnailSource> thumbnails) {
  return AppEnvironment{managedObjectContext(), userDefaults(), std::move(thumbnails), {}};
}

std::shared_ptr<platform::UserDefaults> AppDelegate::userDefaults() {
  if (!userDefaults_) userDefaults_ = platform::UserDefaults::standardUserDefaults();
  return userDefaults_;
}

bool AppDelegate::applicationDidFinishLaunchingWithOptions() {
  catalogSource_->configure();
  if (!asynchronousLaunch_) {
    ErrorPtr error;
    auto entries = catalogSource_->fetchCatalog(&error);
    finishSync(entries, error);
    return true;
  }
  // The store stack is built now, on the main thread, rather than when the answer comes: a
  // store that cannot be opened stops the launch before anything is shown.
  managedObjectContext();
  syncCatalog(*asynchronousLaunch_);
  return true;
}

bool AppDelegate::syncCatalog(LaunchHandlers handlers) {
  if (isSyncing()) return false;
  auto finished = std::move(handlers.finished);
  launchSync_ = CatalogSync::start(catalogSource_, std::move(handlers.progress),
                                   [this, finished](std::optional<std::vector<CatalogEntry>> entries, ErrorPtr error) {
                                     const bool synced = finishSync(entries, error);
                                     if (finished) finished(synced);
                                   });
  return true;
}

bool AppDelegate::finishSync(const std::optional<std::vector<CatalogEntry>>& entries, const ErrorPtr& error) {
  if (entries) {
    replaceCatalog(*entries);
    catalogState_ = CatalogState::Synced;
    return true;
  }
  catalogState_ = CatalogState::Offline;
  std::printf("getAllVideos() failed: %s\n", error ? error->description().c_str() : "unknown error");
  std::fflush(stdout);
  return false;
}

bool AppDelegate::getAllVideos(ErrorPtr* error) {
  auto entries = catalogSource_->fetchCatalog(error);
  if (!entries) return false;
  replaceCatalog(*entries);
  return true;
}

void AppDelegate::replaceCatalog(const std::vector<CatalogEntry>& entries) {
  auto context = managedObjectContext();
  removeData();
  for (const auto& entry : entries) {
    if (std::string problem = entryProblem(entry); !problem.empty()) {
      std::printf("Skipping catalogue entry \"%s\": %s\n", entry.objectId.c_str(), problem.c_str());
      continue;
    }
    const Dictionary& f = entry.fields;
    Exercise::addExercise(entry.objectId, f["Mins"].int64Value(), f["Type"].stringValue(), f["Title"].stringValue(),
                          f["HTMLLink"].stringValue(), f["ThumbnailImage"].stringValue(), f["MP4Link"].stringValue(),
                          *context);
  }
}

void AppDelegate::removeData() {
  auto context = managedObjectContext();
  FetchRequest request(Exercise::kEntityName);
  request.includesPropertyValues = false;  // only deleted
  auto all = context->executeFetchRequest(request);
  if (!all) return;
  for (const auto& record : *all) context->deleteObject(record);
}

void AppDelegate::saveContext() {
  auto context = managedObjectContext();
  if (!context->hasChanges()) return;
  ErrorPtr error;
  if (!context->save(&error)) unresolved(error);
}

const std::string& AppDelegate::applicationDocumentsDirectory() {
  if (applicationDocumentsDirectory_.empty()) applicationDocumentsDirectory_ = platform::documentsDirectory();
  return applicationDocumentsDirectory_;
}

std::shared_ptr<const ManagedObjectModel> AppDelegate::managedObjectModel() {
  if (!managedObjectModel_) {
    managedObjectModel_ = loadModelResource("Model", "momd");
    if (!managedObjectModel_) {
      std::fprintf(stderr, "Fatal error: the record model resource \"Model.momd\" is missing\n");
      std::fflush(stderr);
      std::abort();
    }
  }
  return managedObjectModel_;
}

std::shared_ptr<PersistentStoreCoordinator> AppDelegate::persistentStoreCoordinator() {
  if (persistentStoreCoordinator_) return persistentStoreCoordinator_;
  auto coordinator = std::make_shared<PersistentStoreCoordinator>(managedObjectModel());
  const std::string& directory = applicationDocumentsDirectory();
  ErrorPtr storeError;
  if (std::error_code made = platform::createDirectories(directory); made) {
    storeError = keel::Error::make(kRecordStoreErrorDomain, made.value(),
                                   Dictionary{{keel::kLocalizedDescriptionKey,
                                               Value("Cannot create " + directory + ": " + made.message())}});
  } else {
    coordinator->addSQLiteStore(platform::appendPathComponent(directory, kStoreFileName), &storeError);
  }
  if (!coordinator->hasStore()) {
    Dictionary info{{keel::kLocalizedDescriptionKey, Value("Failed to initialize the application's saved data")},
                    {"localizedFailureReason", Value("There was an error creating or loading the application's saved data.")},
                    {"underlyingError", keel::Error::toValue(storeError)}};
    unresolved(keel::Error::make("YOUR_ERROR_DOMAIN", 9999, std::move(info)));
  }
  persistentStoreCoordinator_ = coordinator;
  return persistentStoreCoordinator_;
}

std::shared_ptr<ManagedObjectContext> AppDelegate::managedObjectContext() {
  if (!managedObjectContext_) {
    auto context = std::make_shared<ManagedObjectContext>();
    context->setPersistentStoreCoordinator(persistentStoreCoordinator());
    managedObjectContext_ = context;
  }
  return managedObjectContext_;
}

}  // namespace stillnook
