// The launch on Qt's loop against a scripted backend: the launch window while the catalogue is
// fetched or retried, "Continue offline", and the main window once the catalogue is there.
#include "app/screens/Launcher.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>

#include "ScreenTestSupport.h"
#include "app/BackendCatalogSource.h"
#include "app/CatalogData.h"
#include "app/screens/HomeViewController.h"
#include "app/screens/MainWindow.h"
#include "app/screens/NavigationController.h"
#include "support/ScriptedHttpServer.h"

namespace stillnook {
namespace {

using keel::testing::ScriptedHttpServer;
using keel::testing::ScriptedResponse;
using testing::videoEntry;
using testing::waitFor;

class LauncherTest : public testing::ScreenTest {
 protected:
  // Makes the running application's delegate fetch from `server`, and a launcher over it.
  void prepare(const ScriptedHttpServer& server, double initialRetryDelay) {
    delegate = std::make_shared<AppDelegate>(
        makeBackendCatalogSource(server.baseURL(), {.initialRetryDelay = initialRetryDelay}));
    platform::Application::sharedApplication().setDelegate(delegate);
    launcher = std::make_unique<Launcher>(delegate, [this] { return std::make_unique<MainWindow>(environment()); });
  }
  void TearDown() override {
    launcher.reset();
    ScreenTest::TearDown();
  }
  bool showsHome() const {
    auto* window = qobject_cast<MainWindow*>(launcher->mainWindow());
    return window && window->isVisible() &&
           qobject_cast<HomeViewController*>(window->navigationController()->topViewController()) != nullptr;
  }
  CatalogData catalog() { return CatalogData(delegate->managedObjectContext()); }

  std::unique_ptr<Launcher> launcher;
};

TEST_F(LauncherTest, ADownBackendShowsTheAttemptsAndContinueOfflineKeepsTheCatalogue) {
  launch({videoEntry("old", 5, "Relax")});
  delegate->saveContext();
  ScriptedHttpServer server;
  server.setDefaultResponse(ScriptedResponse::dropped());
  prepare(server, 1.0);
  // Held back for long: only the failed attempt may bring the window up this early.
  launcher->setLaunchWindowDelay(60'000);
  QSignalSpy launched(launcher.get(), &Launcher::launched);

  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(launcher->launch());
  EXPECT_EQ(launcher->mainWindow(), nullptr);
  ASSERT_TRUE(waitFor([&] { return launcher->launchWindow() && launcher->launchWindow()->isVisible(); }));
  LaunchWindow* window = launcher->launchWindow();
  EXPECT_TRUE(waitFor([&] { return window->nextTryLabel()->text().contains(QStringLiteral("Next try in")); }))
      << window->nextTryLabel()->text().toStdString();
  EXPECT_EQ(window->attemptLabel()->text(), QStringLiteral("Attempt 1 of 5"));
  ASSERT_TRUE(waitFor([&] { return window->attemptLabel()->text() == QStringLiteral("Attempt 2 of 5"); }))
      << window->attemptLabel()->text().toStdString();
  EXPECT_EQ(launcher->mainWindow(), nullptr);

  QTest::mouseClick(window->continueOfflineButton(), Qt::LeftButton);
  ASSERT_EQ(launched.count(), 1);
  EXPECT_FALSE(launched.at(0).at(0).toBool());
  EXPECT_TRUE(showsHome());
  EXPECT_EQ(launcher->launchWindow(), nullptr);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("getAllVideos() failed: ", 0), 0u) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_NE(catalog().fetchExercise("old"), nullptr);
  EXPECT_EQ(launched.count(), 1);
}

TEST_F(LauncherTest, ASlowAnswerShowsTheWindowThenTheHomeScreenWithTheNewCatalogue) {
  ScriptedHttpServer server;
  auto slow = ScriptedResponse::json(
      200, R"({"results":[{"objectId":"v1","Mins":5,"Type":"Relax","Title":"T","HTMLLink":"h","ThumbnailImage":"t","MP4Link":"m"}]})");
  slow.delay = std::chrono::milliseconds(1500);
  server.enqueue(slow);
  prepare(server, 0.01);
  launcher->setLaunchWindowDelay(0);
  QSignalSpy launched(launcher.get(), &Launcher::launched);

  ASSERT_TRUE(launcher->launch());
  ASSERT_TRUE(waitFor([&] { return launcher->launchWindow() && launcher->launchWindow()->isVisible(); }));
  EXPECT_TRUE(waitFor([&] { return launcher->launchWindow()->attemptLabel()->text() == QStringLiteral("Attempt 1 of 5"); }));
  EXPECT_EQ(launcher->mainWindow(), nullptr);
  QPointer<LaunchWindow> window = launcher->launchWindow();

  ASSERT_TRUE(waitFor([&] { return launched.count() == 1; }));
  EXPECT_TRUE(launched.at(0).at(0).toBool());
  EXPECT_TRUE(showsHome());
  EXPECT_EQ(launcher->launchWindow(), nullptr);
  EXPECT_TRUE(!window || !window->isVisible());
  EXPECT_NE(catalog().fetchExercise("v1"), nullptr);
  EXPECT_EQ(server.requestCount(), 1u);
}

}  // namespace
}  // namespace stillnook
