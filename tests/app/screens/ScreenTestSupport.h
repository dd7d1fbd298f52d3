// A running app for screen tests: a fresh sandbox with a small catalogue, the delegate's stores
// handed to the screens through an environment whose thumbnails are answered in memory (so no
// test reaches the network), Qt's loop as the main queue, and the app's window contents (a
// navigation container from the storyboard) on screen offscreen.
#pragma once

#include <QCoreApplication>
#include <QImage>
#include <QBuffer>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>

#include "QtTestApp.h"
#include "app/AppTestSupport.h"
#include "app/Progress.h"
#include "app/screens/ExerciseViewController.h"
#include "app/screens/NavigationController.h"
#include "app/screens/Storyboard.h"
#include <keel/platform/Calendar.h>
#include <keel/platform/Dispatch.h>

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

// A thumbnail source whose answers the test gives: by default every address gets a grey
// picture on the next turn of the main queue; with holding() set, requests wait until the test
// answers them.
class FakeThumbnails : public ThumbnailSource {
 public:
  struct Request {
    QString address;
    Completion completion;
  };

  void fetch(const QString& address, Completion completion) override {
    ++fetches;
    if (holding) {
      pending.push_back({address, std::move(completion)});
      return;
    }
    answer({address, std::move(completion)}, pngOf(Qt::gray));
  }

  // Answers `request` on the main queue, as a real source does.
  static void answer(Request request, std::optional<QByteArray> bytes) {
    platform::DispatchQueue::main()->async(
        [completion = std::move(request.completion), bytes = std::move(bytes)] { completion(bytes); });
  }
  // Answers the oldest held request whose address ends with `suffix`; returns false if none.
  bool answerFor(const QString& suffix, std::optional<QByteArray> bytes) {
    for (auto it = pending.begin(); it != pending.end(); ++it) {
      if (!it->address.endsWith(suffix)) continue;
      Request request = std::move(*it);
      pending.erase(it);
      answer(std::move(request), std::move(bytes));
      return true;
    }
    return false;
  }

  bool holding = false;
  int fetches = 0;
  std::deque<Request> pending;
};

// Runs the main-queue work posted so far (and what Qt has queued with it); returns false if it
// did not get through in time.
[[nodiscard]] inline bool settleMainQueue() {
  auto reached = std::make_shared<bool>(false);
  platform::DispatchQueue::main()->async([reached] { *reached = true; });
  return QTest::qWaitFor([&] { return *reached; }, 5000);
}

class ScreenTest : public SandboxTest {
 protected:
  ScreenTest() { qtApp(); }

  void TearDown() override {
    delete navigation;
    storyboard.reset();
    SandboxTest::TearDown();
  }

  // What the delegate hands the screens, with the fake thumbnails and, when set, a fixed today.
  AppEnvironment environment() {
    AppEnvironment e = delegate->environment(thumbnails);
    e.today = today;
    return e;
  }

  // Launches with `entries` as the backend's catalogue.
  void launch(std::vector<CatalogEntry> entries) {
    script->entries = std::move(entries);
    ASSERT_TRUE(platform::Application::sharedApplication().didFinishLaunching());
  }

  // Puts the storyboard's first screen on display in a navigation container.
  NavigationController* open() {
    storyboard = Storyboard::makeMain(environment());
    navigation = storyboard->instantiateInitialViewController();
    navigation->resize(390, 800);
    navigation->show();
    return navigation;
  }

  template <typename Screen>
  Screen* top() const {
    return qobject_cast<Screen*>(navigation->topViewController());
  }

  std::shared_ptr<FakeThumbnails> thumbnails = std::make_shared<FakeThumbnails>();
  AppEnvironment::Clock today;
  std::unique_ptr<Storyboard> storyboard;
  NavigationController* navigation = nullptr;
};

}  // namespace stillnook::testing
