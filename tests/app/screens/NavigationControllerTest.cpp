#include "app/screens/NavigationController.h"

#include "ScreenTestSupport.h"
#include "app/screens/Storyboard.h"

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

TEST_F(StoryboardTest, ATransitionThatIsNotInTheTableDoesNothing) {
  launch({});
  NavigationController* navigation = Storyboard::main().instantiateInitialViewController();
  ViewController* home = navigation->topViewController();
  EXPECT_FALSE(home->performSegue("done", nullptr));
  EXPECT_FALSE(home->performSegue("home", nullptr));
  EXPECT_EQ(navigation->viewControllers().size(), 1u);
  ViewController loose;
  loose.setStoryboardIdentifier("home");
  EXPECT_FALSE(loose.performSegue("exercise", nullptr));
  EXPECT_EQ(Storyboard::main().instantiateViewController("nowhere"), nullptr);
  delete navigation;
}

}  // namespace
}  // namespace stillnook
