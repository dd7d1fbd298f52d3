#include "app/screens/HomeViewController.h"

#include <QPushButton>
#include <QSignalSpy>

#include "ScreenTestSupport.h"
#include "app/ChillPoints.h"

namespace stillnook {
namespace {

using testing::ScreenTest;
using testing::videoEntry;

class HomeViewControllerTest : public ScreenTest {};

TEST_F(HomeViewControllerTest, SteppingUpWalksThroughTheSixLengthsAndStopsAtSixty) {
  launch({});
  open();
  auto* home = top<HomeViewController>();
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(home->timeLabel()->text(), "5");
  EXPECT_EQ(home->stepper()->maximumValue(), 5);
  auto* plus = home->stepper()->findChild<QPushButton*>("increment");
  QStringList shown{home->timeLabel()->text()};
  for (int i = 0; i < 7; ++i) {
    QTest::mouseClick(plus, Qt::LeftButton);
    if (shown.back() != home->timeLabel()->text()) shown << home->timeLabel()->text();
  }
  EXPECT_EQ(shown, (QStringList{"5", "10", "15", "30", "45", "60"}));
  EXPECT_EQ(home->timeLabel()->text(), "60");
  QTest::mouseClick(home->stepper()->findChild<QPushButton*>("decrement"), Qt::LeftButton);
  EXPECT_EQ(home->timeLabel()->text(), "45");
}

TEST_F(HomeViewControllerTest, ShowsThePointsOfTheStoreWhenLoaded) {
  launch({});
  ChillPoints().addPoints(15);
  open();
  auto* home = top<HomeViewController>();
  EXPECT_EQ(home->chillPoints()->title(), "15");
  EXPECT_EQ(navigation->navigationBar()->findChild<BarButtonItem*>("chillPoints"), home->chillPoints());
  auto* title = qobject_cast<ImageView*>(home->navigationItem()->titleView());
  ASSERT_NE(title, nullptr);
  EXPECT_TRUE(title->isAspectFit());
  EXPECT_FALSE(title->image().isNull());
}

TEST_F(HomeViewControllerTest, HandsTheLengthOverDirectlyOrThroughANavigationContainer) {
  launch({});
  open();
  auto* home = top<HomeViewController>();
  home->stepper()->setValue(3);
  ASSERT_EQ(home->timeLabel()->text(), "30");

  ExerciseViewController direct(environment());
  Segue toScreen("exercise", home, &direct);
  home->prepareForSegue(toScreen, nullptr);
  EXPECT_EQ(direct.minutes(), 30);

  auto* wrapped = new ExerciseViewController(environment());
  NavigationController container(wrapped);
  Segue toContainer("anything", home, &container);
  home->prepareForSegue(toContainer, nullptr);
  EXPECT_EQ(wrapped->minutes(), 30);

  for (const char* text : {"abc", "", "3.5", "12a", "99999999999"}) {
    ExerciseViewController target(environment());
    target.setMinutes(7);
    home->timeLabel()->setText(text);
    Segue segue("exercise", home, &target);
    home->prepareForSegue(segue, nullptr);
    EXPECT_EQ(target.minutes(), std::nullopt) << text;
  }
}

TEST_F(HomeViewControllerTest, BeginAndProgressPushTheirScreensUnderTheAppsBar) {
  launch({videoEntry("e1", 10, "Energize")});
  open();
  auto* home = top<HomeViewController>();
  home->stepper()->stepUp();
  QTest::mouseClick(home->beginButton(), Qt::LeftButton);
  auto* exercise = top<ExerciseViewController>();
  ASSERT_NE(exercise, nullptr);
  EXPECT_EQ(exercise->minutes(), 10);
  EXPECT_EQ(exercise->currentExercise()->objectId(), "e1");

  NavigationBar* bar = navigation->navigationBar();
  EXPECT_FALSE(bar->isTranslucent());
  EXPECT_EQ(bar->barTintColor(), QColor::fromRgbF(0.2f, 0.72f, 0.58f, 1.0f));
  EXPECT_EQ(bar->titleTextColor(), QColor(Qt::white));
  EXPECT_EQ(bar->tintColor(), QColor(Qt::white));
  EXPECT_EQ(navigation->preferredStatusBarStyle(), StatusBarStyle::LightContent);
  EXPECT_TRUE(bar->backButton()->isVisibleTo(bar));
  EXPECT_EQ(bar->backButtonTitle(), "");

  QTest::mouseClick(bar->backButton(), Qt::LeftButton);
  ASSERT_EQ(top<HomeViewController>(), home);
  EXPECT_FALSE(bar->backButton()->isVisibleTo(bar));
  QTest::mouseClick(home->progressButton(), Qt::LeftButton);
  EXPECT_EQ(navigation->topViewController()->storyboardIdentifier(), "progress");
}

}  // namespace
}  // namespace stillnook
