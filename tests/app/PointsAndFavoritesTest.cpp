#include "app/ChillPoints.h"

#include <fstream>

#include "AppTestSupport.h"
#include "app/Favorites.h"
#include <keel/platform/UserDefaults.h>

namespace stillnook {
namespace {

using keel::Value;

using PointsAndFavoritesTest = testing::SandboxTest;

TEST_F(PointsAndFavoritesTest, PointsAddUpAndCountExercisesEvenForZero) {
  EXPECT_EQ(ChillPoints().chillPoints(), 0);
  EXPECT_EQ(ChillPoints().numExercises(), 0);
  ChillPoints().addPoints(15);
  ChillPoints().addPoints(5);
  ChillPoints().addPoints(0);
  EXPECT_EQ(ChillPoints().chillPoints(), 20);
  EXPECT_EQ(ChillPoints().numExercises(), 3);
}

TEST_F(PointsAndFavoritesTest, IllTypedValuesReadAsDefaultsAndAreReplacedByTheNextWrite) {
  auto defaults = platform::UserDefaults::standardUserDefaults();
  defaults->setObject(Value("12"), "chillPoints");
  defaults->setObject(keel::Array{Value("a"), Value(3)}, "favorites");
  EXPECT_EQ(ChillPoints().chillPoints(), 0);
  EXPECT_TRUE(Favorites().favorites().empty());
  ChillPoints().addPoints(4);
  EXPECT_EQ(defaults->objectForKey("chillPoints"), Value(4));
  Favorites().removeFavorite("zzz");  // writes the (empty) list back
  EXPECT_EQ(defaults->objectForKey("favorites"), Value(keel::Array{}));
}

TEST_F(PointsAndFavoritesTest, FavouritesAreNewestFirstAndRemovalTakesTheFirstOccurrence) {
  Favorites f;
  f.addFavorite("A");
  f.addFavorite("B");
  f.addFavorite("A");
  f.addFavorite("C");
  EXPECT_EQ(f.favorites(), (std::vector<std::string>{"C", "A", "B", "A"}));
  f.removeFavorite("A");
  EXPECT_EQ(f.favorites(), (std::vector<std::string>{"C", "B", "A"}));
  EXPECT_TRUE(f.isFavorite("A"));
  EXPECT_FALSE(f.isFavorite("a"));
  EXPECT_FALSE(f.isFavorite("D"));
  f.removeFavorite("D");
  EXPECT_EQ(f.favorites(), (std::vector<std::string>{"C", "B", "A"}));
}

TEST_F(PointsAndFavoritesTest, CanonicallyEquivalentIdsAreTheSameFavourite) {
  Favorites f;
  f.addFavorite("caf\xC3\xA9");          // precomposed é
  EXPECT_TRUE(f.isFavorite("cafe\xCC\x81"));  // e + combining acute accent
  f.removeFavorite("cafe\xCC\x81");
  EXPECT_TRUE(f.favorites().empty());
}

TEST_F(PointsAndFavoritesTest, SettingsSurviveARestartAndAnUnreadableFileStartsEmpty) {
  ChillPoints().addPoints(7);
  Favorites().addFavorite("X");
  const std::string path = platform::UserDefaults::standardUserDefaults()->path();
  platform::UserDefaults reopened(path);  // what the next process reads
  EXPECT_EQ(reopened.objectForKey("chillPoints"), Value(7));
  EXPECT_EQ(reopened.objectForKey("favorites"), Value(keel::Array{Value("X")}));
  EXPECT_TRUE(reopened.objectForKey("chillPoints").isIntegerNumber());

  std::ofstream(path, std::ios::trunc) << "{ not json";
  platform::UserDefaults broken(path);
  EXPECT_TRUE(broken.objectForKey("chillPoints").isNull());
  EXPECT_TRUE(broken.setObject(Value(1), "numExercises"));
  EXPECT_EQ(platform::UserDefaults(path).objectForKey("numExercises"), Value(1));
}

}  // namespace
}  // namespace stillnook
