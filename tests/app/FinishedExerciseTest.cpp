#include "app/FinishedExercise.h"

#include "AppTestSupport.h"
#include "app/Progress.h"

namespace stillnook {
namespace {

using testing::videoEntry;

class FinishedExerciseTest : public testing::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    script->entries = {videoEntry("e10", 10, "Energize"), videoEntry("r5", 5, "Relax")};
    ASSERT_TRUE(platform::Application::sharedApplication().didFinishLaunching());
    environment = delegate->environment(nullptr);
    environment.today = [] { return platform::dateComponents(2026, 3, 2); };
  }

  FinishedExercise finished(std::optional<std::string> id) {
    FinishedExercise f(environment);
    f.setExerciseId(std::move(id));
    return f;
  }

  std::vector<ProgressPtr> week() {
    return Progress::fetchProgressForWeek(platform::dateComponents(2026, 3, 2).weekOfYear, 2026,
                                          *delegate->managedObjectContext())
        .value_or(std::vector<ProgressPtr>{});
  }

  AppEnvironment environment;
};

TEST_F(FinishedExerciseTest, RecordingAddsTheMinutesToTodaysRecordAndAwardsThePoints) {
  FinishedExercise done = finished("e10");
  EXPECT_EQ(done.title(), "Title e10");
  EXPECT_EQ(done.pointsText(), "10");
  EXPECT_TRUE(done.recordPractice());
  EXPECT_TRUE(finished("r5").recordPractice());

  auto records = week();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]->day(), 2);
  EXPECT_EQ(records[0]->minutes(), 15);
  EXPECT_EQ(environment.chillPoints().chillPoints(), 15);
  EXPECT_EQ(environment.chillPoints().numExercises(), 2);
  EXPECT_FALSE(delegate->managedObjectContext()->hasChanges());
}

TEST_F(FinishedExerciseTest, WithoutAKnownExerciseNothingIsShownMarkedOrRecorded) {
  for (const std::optional<std::string>& id : {std::optional<std::string>(), std::optional<std::string>("gone")}) {
    FinishedExercise done = finished(id);
    EXPECT_FALSE(done.isKnown());
    EXPECT_EQ(done.title(), "");
    EXPECT_EQ(done.pointsText(), "");
    EXPECT_FALSE(done.addToFavorite());
    EXPECT_FALSE(done.isFavorite());
    EXPECT_FALSE(done.recordPractice());
  }
  // Nor without a record context, whatever the id.
  environment.context = nullptr;
  EXPECT_FALSE(finished("e10").recordPractice());

  EXPECT_TRUE(environment.favorites().favorites().empty());
  EXPECT_EQ(environment.chillPoints().numExercises(), 0);
  EXPECT_TRUE(week().empty());
}

TEST_F(FinishedExerciseTest, TheFavoriteToggleGoesToTheFrontAndComesOutAgain) {
  environment.favorites().addFavorite("r5");
  FinishedExercise done = finished("e10");
  EXPECT_FALSE(done.isFavorite());
  EXPECT_TRUE(done.addToFavorite());
  EXPECT_TRUE(done.isFavorite());
  EXPECT_EQ(environment.favorites().favorites(), (std::vector<std::string>{"e10", "r5"}));
  EXPECT_TRUE(done.removeFromFavorite());
  EXPECT_FALSE(done.isFavorite());
  EXPECT_EQ(environment.favorites().favorites(), std::vector<std::string>{"r5"});
}

}  // namespace
}  // namespace stillnook
