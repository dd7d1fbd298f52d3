#include "app/screens/NavigationController.h"

#include "ScreenTestSupport.h"
#include "app/ChillPoints.h"
#include "app/screens/DoneViewController.h"
#include "app/screens/HomeViewController.h"
#include "app/screens/Storyboard.h"
#include <keel/platform/FileSystem.h>
#include <keel/platform/UserDefaults.h>

namespace stillnook {
namespace {

class NavigationControllerTest : public testing::QtTest {};

ViewController* screenWithTitle(const QString& name) {
  auto* screen = new ViewController;
  screen->setStoryboardIdentifier(name);
  auto* title = new QLabel(name, screen);
  screen->navigationItem()->setTitleView(title);
  return screen;
}

TEST_F(NavigationControllerTest, ShowsTheTopScreensTitleAndSurvivesAScreenDeletedOnTheStack) {
  NavigationController navigation(screenWithTitle("first"));
  navigation.show();
  ViewController* second = screenWithTitle("second");
  navigation.pushViewController(second);
  EXPECT_EQ(navigation.topViewController(), second);
  EXPECT_EQ(second->navigationItem()->titleView()->parentWidget(), navigation.navigationBar());

  delete second;
  ViewController* third = screenWithTitle("third");
  navigation.pushViewController(third);
  EXPECT_EQ(navigation.viewControllers().size(), 2u);
  EXPECT_EQ(navigation.topViewController(), third);
  navigation.popViewController();
  ViewController* first = navigation.topViewController();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->storyboardIdentifier(), "first");
  EXPECT_EQ(first->navigationItem()->titleView()->parentWidget(), navigation.navigationBar());
  EXPECT_EQ(navigation.popViewController(), nullptr);
}

class StoryboardTest : public testing::ScreenTest {};

using testing::videoEntry;

TEST_F(StoryboardTest, ATransitionThatIsNotInTheTableDoesNothing) {
  launch({});
  open();
  ViewController* home = navigation->topViewController();
  EXPECT_FALSE(home->performSegue("done", nullptr));
  EXPECT_FALSE(home->performSegue("home", nullptr));
  EXPECT_EQ(navigation->viewControllers().size(), 1u);
  ViewController loose;
  loose.setStoryboardIdentifier("home");
  EXPECT_FALSE(loose.performSegue("exercise", nullptr));
  EXPECT_EQ(storyboard->instantiateViewController("nowhere"), nullptr);
}

// The screens read and write only what the storyboard hands them: another record store and
// another settings store than the delegate's make another app.
TEST_F(StoryboardTest, EveryScreenWorksInTheEnvironmentItIsHanded) {
  launch({videoEntry("mine", 10, "Energize")});
  const std::string elsewhere = root + "/elsewhere";
  ASSERT_FALSE(platform::createDirectories(elsewhere));
  auto coordinator = std::make_shared<PersistentStoreCoordinator>(delegate->managedObjectModel());
  ASSERT_TRUE(coordinator->addSQLiteStore(elsewhere + "/records.sqlite", nullptr));
  auto records = std::make_shared<ManagedObjectContext>();
  records->setPersistentStoreCoordinator(coordinator);
  Exercise::addExercise("theirs", 10, "Energize", "Their exercise", "", "", "", *records);
  auto settings = std::make_shared<platform::UserDefaults>(elsewhere + "/settings.json");
  ChillPoints(settings).setChillPoints(42);

  AppEnvironment world = environment();
  world.context = records;
  world.defaults = settings;
  storyboard = Storyboard::makeMain(world);
  navigation = storyboard->instantiateInitialViewController();
  navigation->show();
  auto* home = top<HomeViewController>();
  EXPECT_EQ(home->chillPoints()->title(), "42");
  home->stepper()->setValue(1);
  ASSERT_TRUE(home->performSegue("exercise", nullptr));
  auto* exercise = top<ExerciseViewController>();
  ASSERT_NE(exercise->currentExercise(), nullptr);
  EXPECT_EQ(exercise->currentExercise()->objectId(), "theirs");
  ASSERT_TRUE(exercise->performSegue("done", nullptr));
  auto* done = top<DoneViewController>();
  ASSERT_TRUE(done->performSegue("home", nullptr));

  EXPECT_EQ(ChillPoints(settings).chillPoints(), 52);
  EXPECT_FALSE(records->hasChanges());
  const auto today = platform::dateComponents(std::chrono::system_clock::now());
  EXPECT_EQ(Progress::fetchProgressForWeek(today.weekOfYear, today.yearForWeekOfYear, *records)->size(), 1u);
  // The delegate's own stores are untouched.
  EXPECT_EQ(ChillPoints(delegate->userDefaults()).chillPoints(), 0);
  EXPECT_TRUE(Progress::fetchProgressForWeek(today.weekOfYear, today.yearForWeekOfYear, context())->empty());
}

}  // namespace
}  // namespace stillnook
