#include "app/ExerciseBrowser.h"

#include "AppTestSupport.h"

namespace stillnook {
namespace {

using testing::videoEntry;
using Tab = ExerciseBrowser::Tab;
using Swipe = ExerciseBrowser::SwipeDirection;

class ExerciseBrowserTest : public testing::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    script->entries = {videoEntry("e1", 15, "Energize"), videoEntry("e2", 15, "Energize"),
                       videoEntry("e3", 15, "Energize"), videoEntry("r1", 15, "Relax"),
                       videoEntry("r14", 14, "Relax"),   videoEntry("solo", 5, "Energize")};
    ASSERT_TRUE(platform::Application::sharedApplication().didFinishLaunching());
  }

  // A browser as the exercise screen makes it, with `minutes` handed over and the first tab shown.
  ExerciseBrowser opened(std::optional<int> minutes) {
    ExerciseBrowser browser(CatalogData(delegate->managedObjectContext()), Favorites(delegate->userDefaults()));
    browser.handOver(minutes);
    browser.showCategory(Tab::Energize);
    return browser;
  }

  static std::string shown(const ExerciseBrowser& browser) {
    return browser.currentExercise() ? browser.currentExercise()->objectId() : "none";
  }
};

TEST_F(ExerciseBrowserTest, TheTabsLookUpThePickedLengthWhileTheCountdownRuns) {
  ExerciseBrowser browser = opened(15);
  EXPECT_EQ(browser.tab(), Tab::Energize);
  EXPECT_EQ(shown(browser), "e1");
  EXPECT_EQ(browser.freeTimeText(), "Free Time: 15 min");
  EXPECT_FALSE(browser.countdown());
  EXPECT_EQ(browser.freeTimeText(), "Free Time: 14 min");
  // There is a 14-minute "Relax" exercise, but the user picked 15.
  browser.showCategory(Tab::Relax);
  EXPECT_EQ(browser.tab(), Tab::Relax);
  EXPECT_EQ(shown(browser), "r1");
  ASSERT_TRUE(browser.exercises());
  EXPECT_EQ(browser.exercises()->size(), 1u);
}

TEST_F(ExerciseBrowserTest, TheCountdownStopsAtZeroAndNeverGoesBelow) {
  ExerciseBrowser browser = opened(2);
  EXPECT_TRUE(browser.hasTimeLeft());
  EXPECT_FALSE(browser.countdown());
  EXPECT_TRUE(browser.countdown());
  EXPECT_TRUE(browser.countdown());
  EXPECT_EQ(browser.minutes(), 0);
  EXPECT_FALSE(browser.hasTimeLeft());

  EXPECT_FALSE(opened(0).hasTimeLeft());
  EXPECT_FALSE(opened(-3).hasTimeLeft());
  ExerciseBrowser none = opened(std::nullopt);
  EXPECT_FALSE(none.hasTimeLeft());
  EXPECT_TRUE(none.countdown());
  EXPECT_EQ(none.minutes(), std::nullopt);
  EXPECT_EQ(none.freeTimeText(), "");
  // No length handed over: no list to show.
  EXPECT_EQ(none.exercises(), std::nullopt);
  EXPECT_EQ(shown(none), "none");
}

TEST_F(ExerciseBrowserTest, SwipesStepThroughTheListWrappingBothWays) {
  ExerciseBrowser browser = opened(15);
  std::vector<std::string> seen;
  for (int i = 0; i < 3; ++i) {
    browser.swipe(Swipe::Right);
    seen.push_back(shown(browser));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"e2", "e3", "e1"}));
  browser.swipe(Swipe::Left);
  EXPECT_EQ(shown(browser), "e3");
  EXPECT_EQ(browser.index(), 2);
  browser.previous();
  EXPECT_EQ(shown(browser), "e2");

  ExerciseBrowser solo = opened(5);
  solo.next();
  EXPECT_EQ(shown(solo), "solo");
  solo.previous();
  EXPECT_EQ(shown(solo), "solo");
  EXPECT_EQ(solo.index(), 0);
}

TEST_F(ExerciseBrowserTest, AnEmptyListShowsNothingAndAFailedLookUpKeepsTheExerciseOnDisplay) {
  ExerciseBrowser empty = opened(30);
  ASSERT_TRUE(empty.exercises());
  EXPECT_TRUE(empty.exercises()->empty());
  EXPECT_EQ(shown(empty), "none");
  EXPECT_EQ(empty.displayTitle(), ExerciseBrowser::kNoExerciseTitle);
  empty.next();
  empty.swipe(Swipe::Left);
  EXPECT_EQ(shown(empty), "none");

  ExerciseBrowser browser = opened(15);
  browser.next();
  browser.setExercises(std::nullopt);
  EXPECT_EQ(browser.exercises(), std::nullopt);
  EXPECT_EQ(shown(browser), "e2");
  EXPECT_EQ(browser.displayTitle(), "Title e2");
  browser.next();
  EXPECT_EQ(shown(browser), "e2");
  // A list that turns out empty takes the exercise off display.
  browser.setExercises(std::vector<ExercisePtr>{});
  EXPECT_EQ(shown(browser), "none");
}

TEST_F(ExerciseBrowserTest, FavoritesAreListedNewestFirstAndASelectionLeavesTheCategoryList) {
  Favorites favorites(delegate->userDefaults());
  favorites.addFavorite("e2");
  favorites.addFavorite("gone");
  favorites.addFavorite("r1");
  ExerciseBrowser browser = opened(15);
  browser.showFavorites();
  EXPECT_EQ(browser.tab(), Tab::Favorites);
  ASSERT_EQ(browser.favoriteCount(), 3);
  EXPECT_EQ(browser.favoriteRow(0).text, "15 min Title r1");
  EXPECT_EQ(browser.favoriteRow(0).objectId, "r1");
  EXPECT_EQ(browser.favoriteRow(1).text, ExerciseBrowser::kUnknownFavorite);
  EXPECT_EQ(browser.favoriteRow(1).objectId, "gone");
  EXPECT_EQ(browser.favoriteRow(2).text, "15 min Title e2");
  EXPECT_EQ(browser.favoriteRow(7).objectId, "");

  browser.selectFavorite("r1");
  EXPECT_EQ(shown(browser), "r1");
  EXPECT_EQ(browser.tab(), Tab::Relax);
  // The list is still the "Energize" one, at its old position.
  browser.swipe(Swipe::Right);
  EXPECT_EQ(shown(browser), "e2");
  EXPECT_EQ(browser.tab(), Tab::Relax);

  browser.showFavorites();
  browser.selectFavorite("e2");
  EXPECT_EQ(browser.tab(), Tab::Energize);
  // A favourite that left the catalogue keeps what is on display, and the tab follows it.
  browser.showFavorites();
  browser.selectFavorite("gone");
  EXPECT_EQ(shown(browser), "e2");
  EXPECT_EQ(browser.tab(), Tab::Energize);

  // Favourites changed elsewhere are read again.
  favorites.addFavorite("e3");
  EXPECT_EQ(browser.favoriteCount(), 4);
}

TEST_F(ExerciseBrowserTest, EveryChangeOfTheExerciseOnDisplayBumpsTheGeneration) {
  ExerciseBrowser browser = opened(15);
  auto generation = browser.displayGeneration();
  browser.next();
  EXPECT_GT(browser.displayGeneration(), generation);
  generation = browser.displayGeneration();
  // Showing the same exercise again is a new display: an older download must not land.
  browser.show(browser.currentExercise());
  EXPECT_GT(browser.displayGeneration(), generation);
  generation = browser.displayGeneration();
  browser.show(nullptr);
  browser.showFavorites();
  browser.countdown();
  browser.setExercises(std::nullopt);
  EXPECT_EQ(browser.displayGeneration(), generation);
  browser.setExercises(std::vector<ExercisePtr>{});
  EXPECT_GT(browser.displayGeneration(), generation);
}

}  // namespace
}  // namespace stillnook
