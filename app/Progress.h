// Progress: the minutes practised on one calendar day, one record per (year, month, day), and
// the three aggregates behind the progress chart.
//
// The aggregates are confined to one year's calendar: "this week" is the week of a given week
// year (late-December days that the calendar counts as week 1 of the next year belong to that
// next year), and the weekly view's previous month of January is December of the year before.
//
// Thread-safety: main thread only, like the context.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "app/ChillPoints.h"
#include "app/RecordStore.h"

namespace stillnook {

class Progress;
using ProgressPtr = std::shared_ptr<Progress>;

class Progress : public ManagedObject {
 public:
  static constexpr const char* kEntityName = "Progress";

  explicit Progress(const EntityDescription* entity) : ManagedObject(entity) {}

  // Adds `minutes` of practice to the day's record in `context` (making the record when the day
  // has none), saves `context` (printing "Could Not Save" when that fails; the changes then stay
  // pending) and awards the minutes as points in `points`.
  static void addProgress(int month, int day, int year, int weekday, int weekOfYear, int minutes,
                          ManagedObjectContext& context, ChillPoints points);
  // As above, awarding the points in the settings store of the current sandbox.
  static void addProgress(int month, int day, int year, int weekday, int weekOfYear, int minutes,
                          ManagedObjectContext& context);
  // Returns the records of week `weekOfYear` of the week year `year`, by month and day.
  static std::optional<std::vector<ProgressPtr>> fetchProgressForWeek(int weekOfYear, int year,
                                                                      ManagedObjectContext& context);
  // Returns rows {"weekOfYear", "minutes"} for the weeks with practice in `month` of `year` and
  // in the month before it, oldest week first.
  static std::optional<std::vector<keel::Dictionary>> sumMinutesByWeek(int month, int year,
                                                                       ManagedObjectContext& context);
  // Returns rows {"month", "minutes"} for the months of `year` with practice, by month.
  static std::optional<std::vector<keel::Dictionary>> sumMinutesByMonth(int year, ManagedObjectContext& context);

  std::int64_t minutes() const { return integerAt(0); }
  void setMinutes(std::int64_t v) { setAt(0, keel::Value(v)); }
  std::int64_t month() const { return integerAt(1); }
  void setMonth(std::int64_t v) { setAt(1, keel::Value(v)); }
  std::int64_t day() const { return integerAt(2); }
  void setDay(std::int64_t v) { setAt(2, keel::Value(v)); }
  std::int64_t year() const { return integerAt(3); }
  void setYear(std::int64_t v) { setAt(3, keel::Value(v)); }
  std::int64_t weekOfYear() const { return integerAt(4); }
  void setWeekOfYear(std::int64_t v) { setAt(4, keel::Value(v)); }
  std::int64_t weekday() const { return integerAt(5); }
  void setWeekday(std::int64_t v) { setAt(5, keel::Value(v)); }
};

}  // namespace stillnook
