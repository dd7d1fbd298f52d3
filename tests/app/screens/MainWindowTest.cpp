#include "app/screens/MainWindow.h"

#include "ScreenTestSupport.h"
#include "app/Exercise.h"
#include "app/ThumbnailLoader.h"
#include "app/screens/HomeViewController.h"
#include "app/screens/NavigationController.h"
#include <keel/network/NetworkActivityIndicatorManager.h>
#include "support/ScriptedHttpServer.h"

namespace stillnook {
namespace {

using testing::ScreenTest;

class MainWindowTest : public ScreenTest {};

// The shared activity indicator manager outlives every test; leave it as it was found.
class NetworkActivityMarkTest : public ScreenTest {
 protected:
  void SetUp() override {
    ScreenTest::SetUp();
    manager_ = keel::NetworkActivityIndicatorManager::sharedManager();
    wasEnabled_ = manager_->isEnabled();
    manager_->setEnabled(true);
    manager_->setNetworkActivityCount(0);
  }
  void TearDown() override {
    manager_->setNetworkActivityCount(0);
    manager_->setIndicatorVisibilityHandler(nullptr);
    manager_->setEnabled(wasEnabled_);
    ScreenTest::TearDown();
  }

  std::shared_ptr<keel::NetworkActivityIndicatorManager> manager_;
  bool wasEnabled_ = false;
};

TEST_F(MainWindowTest, HostsTheHomeScreenAndSavesPendingRecordsWhenClosed) {
  launch({});
  MainWindow window(environment());
  EXPECT_EQ(window.size(), QSize(MainWindow::kWidth, MainWindow::kHeight));
  ASSERT_NE(qobject_cast<HomeViewController*>(window.navigationController()->topViewController()), nullptr);
  window.show();
  Exercise::addExercise("pending", 5, "Relax", "Pending", "", "", "", context());
  ASSERT_TRUE(context().hasChanges());
  window.close();
  EXPECT_EQ(platform::Application::sharedApplication().applicationState(), platform::ApplicationState::Background);
  EXPECT_FALSE(context().hasChanges());
}

TEST_F(NetworkActivityMarkTest, TheBarTurnsItsBusyMarkWhileADownloadIsInFlight) {
  launch({});
  MainWindow window(environment());
  window.show();
  NavigationBar* bar = window.navigationController()->navigationBar();
  EXPECT_FALSE(bar->isNetworkActivityIndicatorVisible());

  keel::testing::ScriptedHttpServer server;
  keel::testing::ScriptedResponse slow;
  slow.body = "PNGDATA";
  slow.delay = std::chrono::milliseconds(600);
  server.enqueue(slow);
  ThumbnailLoader loader(manager_);
  std::optional<std::optional<QByteArray>> answer;
  loader.fetch(QString::fromStdString(server.baseURL() + "/thumb.png"),
               [&](std::optional<QByteArray> bytes) { answer = std::move(bytes); });

  EXPECT_TRUE(testing::waitFor([&] { return bar->isNetworkActivityIndicatorVisible(); }));
  EXPECT_TRUE(bar->activityIndicator()->isVisible());
  ASSERT_TRUE(testing::waitFor([&] { return answer.has_value(); }));
  EXPECT_EQ(*answer, QByteArray("PNGDATA"));
  EXPECT_TRUE(testing::waitFor([&] { return !bar->isNetworkActivityIndicatorVisible(); }));
  EXPECT_FALSE(bar->activityIndicator()->isVisible());
  EXPECT_EQ(manager_->networkActivityCount(), 0u);
}

TEST_F(NetworkActivityMarkTest, AWindowOpenedMidRequestShowsTheMarkAndAClosedOneIsLeftAlone) {
  launch({});
  manager_->incrementActivityCount();
  QCoreApplication::processEvents();
  {
    MainWindow window(environment());
    window.show();
    NavigationBar* bar = window.navigationController()->navigationBar();
    EXPECT_TRUE(bar->isNetworkActivityIndicatorVisible());
    manager_->decrementActivityCount();
    EXPECT_TRUE(testing::waitFor([&] { return !bar->isNetworkActivityIndicatorVisible(); }));
  }
  // The handler still points at the deleted window's bar.
  manager_->incrementActivityCount();
  QCoreApplication::processEvents();
  manager_->decrementActivityCount();
  QTest::qWait(2 * static_cast<int>(keel::NetworkActivityIndicatorManager::kHideDelay.count()));
  EXPECT_EQ(manager_->networkActivityCount(), 0u);
}

}  // namespace
}  // namespace stillnook
