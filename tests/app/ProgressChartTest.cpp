#include "app/ProgressChart.h"

#include "AppTestSupport.h"
#include "app/Progress.h"
#include <keel/platform/Calendar.h>

namespace stillnook {
namespace {

class ProgressChartTest : public testing::SandboxTest {
 protected:
  ProgressBars bars(const char* view, int year, int month, int day) {
    auto result = progressBars(view, platform::dateComponents(year, month, day), context());
    EXPECT_TRUE(result.has_value()) << view;
    return result.value_or(ProgressBars{});
  }
};

TEST_F(ProgressChartTest, DailyShowsOneBarPerPracticeDayOfThisWeekOfThisYear) {
  practise(2024, 3, 7, 10);
  practise(2024, 3, 8, 5);
  practise(2024, 3, 8, 5);
  practise(2023, 3, 9, 40);   // the same week number a year earlier
  practise(2024, 3, 11, 20);  // the next week
  auto daily = bars("Daily", 2024, 3, 8);
  EXPECT_EQ(daily.labels, (QStringList{"Mar 7", "Mar 8"}));
  EXPECT_EQ(daily.values, (std::vector<double>{10, 10}));

  // 30 December 2025 lies in week 1 of 2026: that week, not week 1 of 2025.
  practise(2025, 12, 29, 15);
  practise(2025, 1, 1, 25);
  auto newYear = bars("Daily", 2025, 12, 30);
  EXPECT_EQ(newYear.labels, QStringList{"Dec 29"});
}

TEST_F(ProgressChartTest, WeeklyCoversThisMonthAndThePreviousOneAcrossNewYear) {
  practise(2024, 12, 22, 10);  // week 52 of 2024
  practise(2024, 12, 30, 5);   // week 1 of 2025
  practise(2025, 1, 2, 5);     // week 1 of 2025
  practise(2025, 1, 14, 20);   // week 3
  practise(2024, 1, 10, 99);   // last year's January
  practise(2024, 11, 30, 99);  // two months back
  auto weekly = bars("Weekly", 2025, 1, 15);
  EXPECT_EQ(weekly.labels, (QStringList{"Dec 22", "Dec 29", "Jan 12"}));
  EXPECT_EQ(weekly.values, (std::vector<double>{10, 10, 20}));

  practise(2025, 2, 3, 30);
  auto march = bars("Weekly", 2025, 3, 1);
  EXPECT_EQ(march.labels, QStringList{"Feb 2"});
  EXPECT_EQ(march.values, std::vector<double>{30});
}

TEST_F(ProgressChartTest, MonthlyShowsOnlyTheMonthsOfThisYearWithPractice) {
  practise(2024, 1, 5, 10);
  practise(2024, 1, 20, 15);
  practise(2024, 3, 8, 5);
  practise(2023, 2, 8, 50);
  auto monthly = bars("Monthly", 2024, 3, 9);
  EXPECT_EQ(monthly.labels, (QStringList{"Jan", "Mar"}));
  EXPECT_EQ(monthly.values, (std::vector<double>{25, 5}));
  EXPECT_FALSE(progressBars("Yearly", platform::dateComponents(2024, 3, 9), context()));
  EXPECT_EQ(monthName(0), "");
  EXPECT_EQ(monthName(12), "Dec");
}

}  // namespace
}  // namespace stillnook
