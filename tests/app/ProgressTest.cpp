#include "app/Progress.h"

#include "AppTestSupport.h"
#include "app/ChillPoints.h"
#include "app/Exercise.h"
#include <keel/platform/Calendar.h>
#include <keel/platform/UserDefaults.h>
#include <keel/base/Sqlite.h>

namespace stillnook {
namespace {

class ProgressTest : public testing::SandboxTest {
 protected:
  static std::vector<std::pair<int, int>> rows(const std::optional<std::vector<keel::Dictionary>>& result,
                                               const char* key) {
    std::vector<std::pair<int, int>> out;
    for (const auto& row : *result) out.emplace_back(row[key].intValue(), row["minutes"].intValue());
    return out;
  }
};

TEST_F(ProgressTest, OneRecordPerDayCollectsTheMinutesSavesAndAwardsEachCallsPoints) {
  practise(2026, 12, 7, 10);
  EXPECT_EQ(ChillPoints().chillPoints(), 10);
  practise(2026, 12, 7, 5);
  EXPECT_EQ(ChillPoints().chillPoints(), 15);
  EXPECT_EQ(ChillPoints().numExercises(), 2);
  EXPECT_FALSE(context().hasChanges());  // saved by addProgress

  platform::Database db(storePath(), platform::Database::Mode::ReadOnly);
  auto s = db.prepare("SELECT COUNT(*), SUM(minutes), MIN(weekday), MIN(weekOfYear) FROM Progress");
  ASSERT_TRUE(s.step());
  EXPECT_EQ(s.getInt(0), 1);
  EXPECT_EQ(s.getInt(1), 15);
  EXPECT_EQ(s.getInt(2), 2);   // a Monday
  EXPECT_EQ(s.getInt(3), 50);  // week 1 began on Sunday 28 December 2025
}

// addProgress used to write to the context it was given and then save the application's
// shared one: practice recorded anywhere else stayed unsaved, and the shared context's
// unrelated pending changes were written instead.
TEST_F(ProgressTest, AddProgressSavesTheContextItWroteToAndNoOther) {
  Exercise::addExercise("pending", 5, "Relax", "Pending", "", "", "", context());
  ManagedObjectContext other;
  other.setPersistentStoreCoordinator(delegate->persistentStoreCoordinator());
  const auto c = platform::dateComponents(2026, 3, 2);
  auto points = std::make_shared<platform::UserDefaults>(root + "/other-settings.json");
  Progress::addProgress(c.month, c.day, c.year, c.weekday, c.weekOfYear, 20, other, ChillPoints(points));

  EXPECT_FALSE(other.hasChanges());
  EXPECT_TRUE(context().hasChanges());
  platform::Database db(storePath(), platform::Database::Mode::ReadOnly);
  auto progress = db.prepare("SELECT COUNT(*), SUM(minutes) FROM Progress");
  ASSERT_TRUE(progress.step());
  EXPECT_EQ(progress.getInt(0), 1);
  EXPECT_EQ(progress.getInt(1), 20);
  auto exercises = db.prepare("SELECT COUNT(*) FROM Exercise");
  ASSERT_TRUE(exercises.step());
  EXPECT_EQ(exercises.getInt(0), 0);
  // The points went to the store handed over, not to the sandbox's.
  EXPECT_EQ(ChillPoints(points).chillPoints(), 20);
  EXPECT_EQ(ChillPoints().chillPoints(), 0);
}

TEST_F(ProgressTest, AFailedSaveIsReportedAndThePracticeStaysPendingWithItsPoints) {
  practise(2026, 3, 1, 5);
  platform::Database other(storePath());
  other.exec("BEGIN IMMEDIATE");
  ::testing::internal::CaptureStdout();
  practise(2026, 3, 2, 20);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Could Not Save\n");
  other.exec("ROLLBACK");
  EXPECT_EQ(ChillPoints().chillPoints(), 25);
  EXPECT_TRUE(context().hasChanges());
  delegate->saveContext();
  auto week = Progress::fetchProgressForWeek(platform::dateComponents(2026, 3, 2).weekOfYear, 2026, context());
  ASSERT_EQ(week->size(), 2u);
}

TEST_F(ProgressTest, TheWeekIsTheWeekOfOneYearAcrossNewYear) {
  practise(2026, 12, 29, 10);  // Tuesday of the week of 1 January 2027: week 1 of 2027
  practise(2027, 1, 1, 20);
  practise(2026, 12, 30, 5);
  practise(2026, 1, 2, 7);     // week 1 of 2026
  practise(2025, 12, 29, 9);   // also in week 1 of 2026
  practise(2026, 12, 20, 3);   // week 52 of 2026

  std::vector<std::tuple<int, int, int>> days;
  const auto week = Progress::fetchProgressForWeek(1, 2027, context());
  for (auto& p : *week) {
    days.emplace_back(static_cast<int>(p->year()), static_cast<int>(p->month()), static_cast<int>(p->day()));
  }
  EXPECT_EQ(days, (std::vector<std::tuple<int, int, int>>{{2026, 12, 29}, {2026, 12, 30}, {2027, 1, 1}}));
  EXPECT_EQ(Progress::fetchProgressForWeek(1, 2026, context())->size(), 2u);
  EXPECT_EQ(Progress::fetchProgressForWeek(52, 2026, context())->size(), 1u);
  EXPECT_TRUE(Progress::fetchProgressForWeek(52, 2025, context())->empty());
}

TEST_F(ProgressTest, WeeklySumsCoverThisAndThePreviousMonthOfTheRightYearInCalendarOrder) {
  practise(2026, 12, 1, 10);   // week 49 of 2026
  practise(2026, 12, 3, 5);    // week 49
  practise(2026, 12, 29, 20);  // week 1 of 2027
  practise(2027, 1, 2, 30);    // week 1 of 2027
  practise(2027, 1, 5, 1);     // week 2
  practise(2025, 12, 10, 99);  // another year's December: not part of January 2027's view
  practise(2027, 12, 10, 99);  // nor a December of the wrong year

  EXPECT_EQ(rows(Progress::sumMinutesByWeek(1, 2027, context()), "weekOfYear"),
            (std::vector<std::pair<int, int>>{{49, 15}, {1, 50}, {2, 1}}));
  // In December, the last days count as next year's week 1 and come last.
  EXPECT_EQ(rows(Progress::sumMinutesByWeek(12, 2026, context()), "weekOfYear"),
            (std::vector<std::pair<int, int>>{{49, 15}, {1, 20}}));
  EXPECT_TRUE(Progress::sumMinutesByWeek(6, 2026, context())->empty());
}

TEST_F(ProgressTest, MonthlySumsAreOneYearsMonthsWithPracticeOnly) {
  practise(2026, 1, 5, 10);
  practise(2026, 1, 6, 10);
  practise(2026, 3, 5, 4);
  practise(2025, 2, 5, 50);
  EXPECT_EQ(rows(Progress::sumMinutesByMonth(2026, context()), "month"),
            (std::vector<std::pair<int, int>>{{1, 20}, {3, 4}}));
  EXPECT_TRUE(Progress::sumMinutesByMonth(2024, context())->empty());
}

}  // namespace
}  // namespace stillnook
