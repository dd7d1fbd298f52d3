#include <keel/platform/Calendar.h>

#include <ctime>

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(CalendarTest, WeekdaysAndWeeksAgreeWithTheCLibraryOverFortyYears) {
  for (int year = 2000; year <= 2040; ++year) {
    std::tm jan1{};
    jan1.tm_year = year - 1900;
    jan1.tm_mday = 1;
    const std::time_t jan1Time = timegm(&jan1);
    gmtime_r(&jan1Time, &jan1);
    const int shift = jan1.tm_wday == 0 ? 0 : 1;  // %U counts the days before the first Sunday as week 0
    for (int yday = 0; yday < 366; ++yday) {
      std::time_t t = jan1Time + yday * 86400;
      std::tm tm{};
      gmtime_r(&t, &tm);
      if (tm.tm_year != year - 1900) break;
      const auto c = dateComponents(year, tm.tm_mon + 1, tm.tm_mday);
      ASSERT_EQ(c.weekday, tm.tm_wday + 1) << year << "-" << tm.tm_mon + 1 << "-" << tm.tm_mday;
      char u[4];
      std::strftime(u, sizeof u, "%U", &tm);
      const int expected = std::atoi(u) + shift;
      if (c.yearForWeekOfYear == year) {
        ASSERT_EQ(c.weekOfYear, expected) << year << "-" << tm.tm_mon + 1 << "-" << tm.tm_mday;
      } else {
        // Only the days of the last, unfinished week of December move to next year's week 1.
        ASSERT_EQ(c.yearForWeekOfYear, year + 1);
        ASSERT_EQ(c.weekOfYear, 1);
        ASSERT_EQ(tm.tm_mon, 11);
        ASSERT_GT(tm.tm_mday, 24);
      }
      const auto back = dateOfWeekday(c.yearForWeekOfYear, c.weekOfYear, c.weekday);
      ASSERT_EQ(std::make_tuple(back.year, back.month, back.day), std::make_tuple(year, tm.tm_mon + 1, tm.tm_mday));
    }
  }
}

TEST(CalendarTest, KnownDatesAndMonthLengths) {
  const auto c = dateComponents(2026, 12, 27);
  EXPECT_EQ(c.weekday, 1);
  EXPECT_EQ(c.weekOfYear, 1);
  EXPECT_EQ(c.yearForWeekOfYear, 2027);
  const auto start = dateOfWeekday(2026, 1, 1);
  EXPECT_EQ(std::make_tuple(start.year, start.month, start.day), std::make_tuple(2025, 12, 28));
  EXPECT_EQ(daysInMonth(2024, 2), 29);
  EXPECT_EQ(daysInMonth(2100, 2), 28);
  EXPECT_EQ(daysInMonth(2026, 12), 31);
}

TEST(CalendarTest, TimePointsUseTheLocalTimeZone) {
  setenv("TZ", "Pacific/Kiritimati", 1);  // UTC+14
  tzset();
  const auto tp = std::chrono::system_clock::from_time_t(1798761600);  // 2027-01-01 00:00 UTC
  EXPECT_EQ(dateComponents(tp).day, 1);
  EXPECT_EQ(dateComponents(tp).month, 1);
  setenv("TZ", "America/Los_Angeles", 1);
  tzset();
  EXPECT_EQ(dateComponents(tp).year, 2026);
  EXPECT_EQ(dateComponents(tp).day, 31);
  unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace platform
