// A running app for screen tests: a fresh sandbox with a small catalogue (thumbnails answered in
// memory, so no test reaches the network), Qt's loop as the main queue, and the app's window
// contents (a navigation container from the storyboard) on screen offscreen.
#pragma once

#include <QCoreApplication>
#include <QImage>
#include <QBuffer>

#include <chrono>
#include <optional>

#include "QtTestApp.h"
#include "app/AppTestSupport.h"
#include "app/Progress.h"
#include "app/screens/ExerciseViewController.h"
#include "app/screens/NavigationController.h"
#include "app/screens/Storyboard.h"
#include <keel/platform/Calendar.h>

namespace stillnook::testing {

// Returns PNG bytes of a small image filled with `color`.
inline QByteArray pngOf(const QColor& color) {
  QImage image(8, 8, QImage::Format_ARGB32);
  image.fill(color);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return bytes;
}

class ScreenTest : public SandboxTest {
 protected:
  ScreenTest() { qtApp(); }

  void SetUp() override {
    SandboxTest::SetUp();
    ExerciseViewController::setThumbnailFetcher([](const QString&) { return std::optional<QByteArray>(pngOf(Qt::gray)); });
  }
  void TearDown() override {
    delete navigation;
    ExerciseViewController::setThumbnailFetcher({});
    SandboxTest::TearDown();
  }

  // Launches with `entries` as the backend's catalogue.
  void launch(std::vector<CatalogEntry> entries) {
    script->entries = std::move(entries);
    ASSERT_TRUE(platform::Application::sharedApplication().didFinishLaunching());
  }

  // Puts the storyboard's first screen on display in a navigation container.
  NavigationController* open() {
    navigation = Storyboard::main().instantiateInitialViewController();
    navigation->resize(390, 800);
    navigation->show();
    return navigation;
  }

  template <typename Screen>
  Screen* top() const {
    return qobject_cast<Screen*>(navigation->topViewController());
  }

  ManagedObjectContext& context() { return *delegate->managedObjectContext(); }

  // Records `minutes` of practice on the civil date y-m-d.
  void practise(int year, int month, int day, int minutes) {
    const auto c = platform::dateComponents(year, month, day);
    Progress::addProgress(c.month, c.day, c.year, c.weekday, c.weekOfYear, minutes, context());
  }

  NavigationController* navigation = nullptr;
};

}  // namespace stillnook::testing
