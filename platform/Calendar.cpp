#include <keel/platform/Calendar.h>

#include <ctime>

namespace platform {
namespace {

// Days from 1970-01-01 to the civil date (proleptic Gregorian), after H. Hinnant's algorithm.
long daysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const long yoe = y - era * 400;
  const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civilFromDays(long z, int& y, int& m, int& d) {
  z += 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const long doe = z - era * 146097;
  const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

// 0 = Sunday.
int weekdayFromDays(long days) { return static_cast<int>(((days % 7) + 11) % 7); }

// Returns the day number of the Sunday that starts week 1 of `year`.
long firstSundayOfWeekOne(int year) {
  const long jan1 = daysFromCivil(year, 1, 1);
  return jan1 - weekdayFromDays(jan1);
}

}  // namespace

int daysInMonth(int year, int month) {
  const int nextYear = month == 12 ? year + 1 : year;
  const int nextMonth = month == 12 ? 1 : month + 1;
  return static_cast<int>(daysFromCivil(nextYear, nextMonth, 1) - daysFromCivil(year, month, 1));
}

DateComponents dateComponents(int year, int month, int day) {
  DateComponents c;
  c.year = year;
  c.month = month;
  c.day = day;
  const long days = daysFromCivil(year, month, day);
  c.weekday = weekdayFromDays(days) + 1;
  // A day belongs to next year's week 1 when that week has already begun.
  const long nextStart = firstSundayOfWeekOne(year + 1);
  if (days >= nextStart) {
    c.yearForWeekOfYear = year + 1;
    c.weekOfYear = 1;
  } else {
    c.yearForWeekOfYear = year;
    c.weekOfYear = static_cast<int>((days - firstSundayOfWeekOne(year)) / 7) + 1;
  }
  return c;
}

DateComponents dateComponents(SystemTime date) {
  const std::time_t t = std::chrono::system_clock::to_time_t(date);
  std::tm local{};
  localtime_r(&t, &local);
  return dateComponents(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

DateComponents dateOfWeekday(int yearForWeekOfYear, int weekOfYear, int weekday) {
  const long days = firstSundayOfWeekOne(yearForWeekOfYear) + 7L * (weekOfYear - 1) + (weekday - 1);
  int y = 0, m = 0, d = 0;
  civilFromDays(days, y, m, d);
  return dateComponents(y, m, d);
}

}  // namespace platform
