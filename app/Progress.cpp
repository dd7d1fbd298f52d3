#include "app/Progress.h"

#include <cstdio>
#include <map>
#include <utility>

namespace stillnook {

using keel::Dictionary;
using keel::Value;

void Progress::addProgress(int month, int day, int year, int weekday, int weekOfYear, int minutes,
                           ManagedObjectContext& context) {
  addProgress(month, day, year, weekday, weekOfYear, minutes, context, ChillPoints());
}

void Progress::addProgress(int month, int day, int year, int weekday, int weekOfYear, int minutes,
                           ManagedObjectContext& context, ChillPoints points) {
  FetchRequest request(kEntityName);
  request.predicate = Predicate::predicateWithFormat("month = %@ && day = %@ && year = %@",
                                                     {Value(month), Value(day), Value(year)});
  auto found = context.executeFetchRequest(request);
  if (found && !found->empty()) {
    auto& record = static_cast<Progress&>(*found->front());
    record.setMinutes(record.minutes() + minutes);
  } else {
    auto record = std::static_pointer_cast<Progress>(context.insertNewObjectForEntityForName(kEntityName));
    record->setMonth(month);
    record->setDay(day);
    record->setYear(year);
    record->setMinutes(minutes);
    record->setWeekday(weekday);
    record->setWeekOfYear(weekOfYear);
  }
  // The context written to is the one saved: saving some other context would leave this
  // practice unsaved (and could write someone else's half-done changes).
  if (!context.save()) std::printf("Could Not Save\n");
  points.addPoints(minutes);
}

std::optional<std::vector<ProgressPtr>> Progress::fetchProgressForWeek(int weekOfYear, int year,
                                                                       ManagedObjectContext& context) {
  FetchRequest request(kEntityName);
  if (weekOfYear == 1) {
    // Week 1 begins on the Sunday before 1 January, so its first days may be last December's.
    request.predicate = Predicate::predicateWithFormat(
        "weekOfYear = %@ && ((year = %@ && month = %@) || (year = %@ && month = %@))",
        {Value(weekOfYear), Value(year), Value(1), Value(year - 1), Value(12)});
  } else {
    request.predicate = Predicate::predicateWithFormat("weekOfYear = %@ && year = %@", {Value(weekOfYear), Value(year)});
  }
  request.sortDescriptors = {{"year"}, {"month"}, {"day"}};
  auto records = context.executeFetchRequest(request);
  if (!records) return std::nullopt;
  std::vector<ProgressPtr> result;
  result.reserve(records->size());
  for (auto& r : *records) result.push_back(std::static_pointer_cast<Progress>(r));
  return result;
}

std::optional<std::vector<Dictionary>> Progress::sumMinutesByWeek(int month, int year, ManagedObjectContext& context) {
  const int previousMonth = month == 1 ? 12 : month - 1;
  const int previousYear = month == 1 ? year - 1 : year;
  FetchRequest request(kEntityName);
  request.resultType = FetchResultType::Dictionary;
  request.predicate = Predicate::predicateWithFormat("(month = %@ && year = %@) || (month = %@ && year = %@)",
                                                     {Value(month), Value(year), Value(previousMonth), Value(previousYear)});
  request.propertiesToFetch = {"year", "month", "weekOfYear"};
  request.propertiesToGroupBy = {"year", "month", "weekOfYear"};
  request.expressions = {{"minutes", "@sum.minutes"}};
  auto rows = context.executeDictionaryFetchRequest(request);
  if (!rows) return std::nullopt;

  // A week that spans the two months (or New Year) is one row; weeks come in calendar order.
  std::map<std::pair<std::int64_t, std::int64_t>, std::int64_t> weeks;
  for (const auto& row : *rows) {
    const std::int64_t week = row["weekOfYear"].int64Value();
    std::int64_t weekYear = row["year"].int64Value();
    if (week == 1 && row["month"].int64Value() == 12) ++weekYear;
    weeks[{weekYear, week}] += row["minutes"].int64Value();
  }
  std::vector<Dictionary> result;
  for (const auto& [key, minutes] : weeks) {
    result.push_back(Dictionary{{"weekOfYear", Value(key.second)}, {"minutes", Value(static_cast<int>(minutes))}});
  }
  return result;
}

std::optional<std::vector<Dictionary>> Progress::sumMinutesByMonth(int year, ManagedObjectContext& context) {
  FetchRequest request(kEntityName);
  request.resultType = FetchResultType::Dictionary;
  request.predicate = Predicate::predicateWithFormat("year = %@", {Value(year)});
  request.propertiesToFetch = {"month"};
  request.propertiesToGroupBy = {"month"};
  request.expressions = {{"minutes", "@sum.minutes"}};
  request.sortDescriptors = {{"month"}};
  return context.executeDictionaryFetchRequest(request);
}

}  // namespace stillnook
