#include "app/AppDelegate.h"

#include <sys/stat.h>

#include <fstream>

#include "AppTestSupport.h"
#include "app/CatalogData.h"
#include "app/Progress.h"
#include <keel/base/Sqlite.h>

namespace stillnook {
namespace {

using testing::videoEntry;

class AppDelegateTest : public testing::SandboxTest {
 protected:
  CatalogData catalog() { return CatalogData(delegate->managedObjectContext()); }
  std::string launch() {
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(platform::Application::sharedApplication().didFinishLaunching());
    return ::testing::internal::GetCapturedStdout();
  }
  int storedExercises() {
    platform::Database db(storePath(), platform::Database::Mode::ReadOnly);
    auto s = db.prepare("SELECT COUNT(*) FROM Exercise");
    return s.step() ? s.getInt(0) : -1;
  }
};

TEST_F(AppDelegateTest, ASuccessfulSyncReplacesTheCatalogueWithoutDuplicates) {
  script->entries = {videoEntry("v1", 5, "Relax"), videoEntry("v2", 5, "Relax"), videoEntry("v3", 10, "Energize")};
  EXPECT_EQ(launch(), "");
  EXPECT_EQ(script->configured, 1);
  EXPECT_EQ(catalog().fetchExercises("Relax", 5)->size(), 2u);
  auto v3 = catalog().fetchExercise("v3");
  ASSERT_NE(v3, nullptr);
  EXPECT_EQ(v3->youtubeURL(), "https://videos.example/v3");
  EXPECT_EQ(v3->thumbnailImageURL(), "https://images.example/v3.png");
  EXPECT_EQ(v3->videoURL(), "https://videos.example/v3.mp4");
  EXPECT_EQ(v3->title(), "Title v3");
  platform::Application::sharedApplication().enterBackground();

  script->entries = {videoEntry("v3", 10, "Energize"), videoEntry("v4", 5, "Relax")};
  startApplication();
  launch();
  delegate->saveContext();
  EXPECT_EQ(storedExercises(), 2);
  EXPECT_EQ(catalog().fetchExercise("v1"), nullptr);
  EXPECT_EQ(catalog().fetchExercises("Relax", 5)->size(), 1u);
}

TEST_F(AppDelegateTest, AFailedSyncIsPrintedOnceAndKeepsTheLastCatalogue) {
  script->entries = {videoEntry("v1", 5, "Relax")};
  launch();
  delegate->saveContext();

  script->fail = true;
  startApplication();
  const std::string out = launch();
  EXPECT_EQ(out.rfind("getAllVideos() failed: ", 0), 0u) << out;
  EXPECT_NE(out.find("offline"), std::string::npos);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
  EXPECT_EQ(catalog().fetchExercises("Relax", 5)->size(), 1u);
  EXPECT_FALSE(delegate->managedObjectContext()->hasChanges());
}

TEST_F(AppDelegateTest, EntriesWithMissingOrIllTypedFieldsAreSkippedAndLogged) {
  auto badMins = videoEntry("bad1", 5, "Relax");
  badMins.fields.set("Mins", keel::Value("5"));
  auto fraction = videoEntry("bad2", 5, "Relax");
  fraction.fields.set("Mins", keel::Value(5.5));
  auto noTitle = videoEntry("bad3", 5, "Relax");
  noTitle.fields.remove("Title");
  auto whole = videoEntry("ok2", 5, "Relax");
  whole.fields.set("Mins", keel::Value(5.0));
  script->entries = {videoEntry("ok1", 5, "Relax"), badMins, fraction, noTitle, whole, {"", {}}};
  const std::string out = launch();
  EXPECT_NE(out.find("\"bad1\": \"Mins\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"bad3\": \"Title\""), std::string::npos) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4);
  auto stored = catalog().fetchExercises("Relax", 5);
  ASSERT_EQ(stored->size(), 2u);
  EXPECT_EQ((*stored)[0]->objectId(), "ok1");
  EXPECT_EQ((*stored)[1]->objectId(), "ok2");
}

TEST_F(AppDelegateTest, TheBackgroundSavesPendingWorkAndWritesNothingWhenThereIsNone) {
  script->entries = {videoEntry("v1", 5, "Relax")};
  launch();
  platform::Application::sharedApplication().enterBackground();
  EXPECT_EQ(storedExercises(), 1);

  platform::Database watcher(storePath(), platform::Database::Mode::ReadOnly);
  auto version = [&] {
    auto s = watcher.prepare("PRAGMA data_version");
    s.step();
    return s.getInt64(0);
  };
  const auto before = version();
  platform::Application::sharedApplication().enterForeground();
  platform::Application::sharedApplication().enterBackground();
  EXPECT_EQ(version(), before);
}

TEST_F(AppDelegateTest, TheSharedContextIsThereOnlyForOurDelegate) {
  EXPECT_EQ(AppDelegate::sharedManagedObjectContext(), delegate->managedObjectContext());
  platform::Application::sharedApplication().setDelegate(std::make_shared<platform::ApplicationDelegate>());
  EXPECT_EQ(AppDelegate::sharedManagedObjectContext(), nullptr);
  // Without a context there is nothing to look up, and nothing fails.
  EXPECT_FALSE(CatalogData(nullptr).fetchExercises("Relax", 5).has_value());
  EXPECT_EQ(CatalogData(nullptr).fetchExercise("v1"), nullptr);
}

TEST_F(AppDelegateTest, WithoutABackendTheLaunchSaysSoAndGoesOn) {
  auto plain = std::make_shared<AppDelegate>();
  platform::Application::sharedApplication().setDelegate(plain);
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(plain->applicationDidFinishLaunchingWithOptions());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "getAllVideos() failed: " + keel::Error::keel(1, "No backend is configured for the exercise catalogue.")
                                            ->description() + "\n");
}

using AppDelegateDeathTest = AppDelegateTest;

TEST_F(AppDelegateDeathTest, AStoreThatCannotBeOpenedIsAnUnresolvedError) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  platform::createDirectories(platform::homeDirectory());
  std::ofstream(platform::documentsDirectory()) << "a file where the folder should be";
  EXPECT_DEATH(delegate->managedObjectContext(),
               "Unresolved error Error Domain=YOUR_ERROR_DOMAIN Code=9999 .*Failed to initialize the "
               "application's saved data.*There was an error creating or loading");
}

TEST_F(AppDelegateDeathTest, AFailedSaveContextIsAnUnresolvedError) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  script->entries = {videoEntry("v1", 5, "Relax")};
  launch();
  chmod(storePath().c_str(), 0400);
  chmod(platform::documentsDirectory().c_str(), 0500);
  EXPECT_DEATH(
      {
        platform::Database other(storePath());
        other.exec("BEGIN IMMEDIATE");
        delegate->saveContext();
      },
      "Unresolved error ");
  chmod(platform::documentsDirectory().c_str(), 0700);
}

}  // namespace
}  // namespace stillnook
