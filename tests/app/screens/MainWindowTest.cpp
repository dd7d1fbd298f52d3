#include "app/screens/MainWindow.h"

#include "ScreenTestSupport.h"
#include "app/Exercise.h"
#include "app/screens/HomeViewController.h"

namespace stillnook {
namespace {

using testing::ScreenTest;

class MainWindowTest : public ScreenTest {};

TEST_F(MainWindowTest, HostsTheHomeScreenAndSavesPendingRecordsWhenClosed) {
  launch({});
  MainWindow window;
  EXPECT_EQ(window.size(), QSize(MainWindow::kWidth, MainWindow::kHeight));
  ASSERT_NE(qobject_cast<HomeViewController*>(window.navigationController()->topViewController()), nullptr);
  window.show();
  Exercise::addExercise("pending", 5, "Relax", "Pending", "", "", "", context());
  ASSERT_TRUE(context().hasChanges());
  window.close();
  EXPECT_EQ(platform::Application::sharedApplication().applicationState(), platform::ApplicationState::Background);
  EXPECT_FALSE(context().hasChanges());
}

}  // namespace
}  // namespace stillnook
