// A fresh application sandbox per test: a temporary home directory, the settings store in it,
// and an AppDelegate (with the test's catalogue source) as the running application's delegate.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "app/Progress.h"
#include <keel/platform/Application.h>
#include <keel/platform/Calendar.h>
#include <keel/platform/FileSystem.h>

namespace stillnook::testing {

// A catalogue source that answers with what the test put in it, or fails.
class FakeCatalogSource : public CatalogSource {
 public:
  struct Script {
    bool fail = false;
    std::vector<CatalogEntry> entries;
    int fetches = 0;
    int configured = 0;
  };
  explicit FakeCatalogSource(std::shared_ptr<Script> script) : script_(std::move(script)) {}
  void configure() override { ++script_->configured; }
  using CatalogSource::fetchCatalog;
  std::optional<std::vector<CatalogEntry>> fetchCatalog(keel::ErrorPtr* error, const FetchContext&) override {
    ++script_->fetches;
    if (script_->fail) {
      if (error) *error = keel::Error::keel(100, "The Internet connection appears to be offline.");
      return std::nullopt;
    }
    return script_->entries;
  }

 private:
  std::shared_ptr<Script> script_;
};

inline CatalogEntry videoEntry(const std::string& id, int minutes, const std::string& type) {
  return {id, keel::Dictionary{{"Mins", keel::Value(minutes)},
                               {"Type", keel::Value(type)},
                               {"Title", keel::Value("Title " + id)},
                               {"HTMLLink", keel::Value("https://videos.example/" + id)},
                               {"ThumbnailImage", keel::Value("https://images.example/" + id + ".png")},
                               {"MP4Link", keel::Value("https://videos.example/" + id + ".mp4")}}};
}

class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/stillnook-test-XXXXXX";
    root = mkdtemp(pattern);
    platform::setSandboxRoot(root);
    script = std::make_shared<FakeCatalogSource::Script>();
    startApplication();
  }
  void TearDown() override {
    platform::Application::sharedApplication().setDelegate(nullptr);
    delegate.reset();
    platform::setSandboxRoot("");
    std::filesystem::remove_all(root);
  }

  // Makes a new delegate, as a new run of the application would (the files stay).
  void startApplication() {
    delegate = std::make_shared<AppDelegate>(std::make_unique<FakeCatalogSource>(script));
    platform::Application::sharedApplication().setDelegate(delegate);
    platform::Application::sharedApplication().didBecomeActive();
  }

  std::string storePath() const { return platform::documentsDirectory() + "/" + kStoreFileName; }

  ManagedObjectContext& context() { return *delegate->managedObjectContext(); }

  // Records `minutes` of practice on the civil date year-month-day, with the calendar's
  // components as the completion screen passes them.
  void practise(int year, int month, int day, int minutes) {
    const auto c = platform::dateComponents(year, month, day);
    Progress::addProgress(c.month, c.day, c.year, c.weekday, c.weekOfYear, minutes, context());
  }

  std::string root;
  std::shared_ptr<FakeCatalogSource::Script> script;
  std::shared_ptr<AppDelegate> delegate;
};

}  // namespace stillnook::testing
