// Calendar: the user's current calendar (Gregorian, in the machine's local time zone) reduced to
// what the practice records need: the components of a date, and the way back from a week to
// the date of one of its days.
//
// Numbering, as the records store it and the charts read it:
//  - month 1-12, day 1-31, weekday 1 (Sunday) to 7 (Saturday);
//  - weekOfYear: weeks start on Sunday, and week 1 is the week that contains 1 January. So the
//    last days of December can fall in week 1 of the next year; `yearForWeekOfYear` says which
//    year a week number belongs to.
//
// Thread-safety: every function may be called from any thread (localtime_r/mktime only).
#pragma once

#include <chrono>

namespace platform {

struct DateComponents {
  int year = 0;
  int month = 0;
  int day = 0;
  int weekday = 0;
  int weekOfYear = 0;
  int yearForWeekOfYear = 0;
};

using SystemTime = std::chrono::system_clock::time_point;

// Returns the components of `date` in the local time zone.
DateComponents dateComponents(SystemTime date);
// Returns the components of the civil date year-month-day (REQUIRES: a valid date).
DateComponents dateComponents(int year, int month, int day);
// Returns the civil date (year, month, day) of `weekday` (1 = Sunday) in week `weekOfYear` of
// `yearForWeekOfYear`. Week 1's Sunday may lie in December of the year before.
DateComponents dateOfWeekday(int yearForWeekOfYear, int weekOfYear, int weekday);
// Returns the number of days in a month of a year.
int daysInMonth(int year, int month);

}  // namespace platform
