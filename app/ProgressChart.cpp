#include "app/ProgressChart.h"

#include "app/Progress.h"

namespace stillnook {

QString monthName(int month) {
  static const char* const names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (month < 1 || month > 12) return QString();
  return QString::fromLatin1(names[month - 1]);
}

namespace {

QString dayLabel(int month, int day) { return monthName(month) + QStringLiteral(" ") + QString::number(day); }

// The rows cover this month and the one before, so a week number far from this month's belongs
// to a neighbouring year: December's weeks seen from January, or week 1 reached in late December.
int weekYear(int week, const platform::DateComponents& today) {
  if (today.month == 1 && week > 26) return today.year - 1;
  if (today.month == 12 && week == 1) return today.year + 1;
  return today.year;
}

}  // namespace

std::optional<ProgressBars> progressBars(const QString& view, const platform::DateComponents& today,
                                         ManagedObjectContext& context) {
  ProgressBars bars;
  if (view == QStringLiteral("Daily")) {
    auto records = Progress::fetchProgressForWeek(today.weekOfYear, today.yearForWeekOfYear, context);
    if (!records) return std::nullopt;
    for (const auto& record : *records) {
      bars.labels << dayLabel(static_cast<int>(record->month()), static_cast<int>(record->day()));
      bars.values.push_back(static_cast<double>(record->minutes()));
    }
    return bars;
  }
  if (view == QStringLiteral("Weekly")) {
    auto rows = Progress::sumMinutesByWeek(today.month, today.year, context);
    if (!rows) return std::nullopt;
    for (const auto& row : *rows) {
      const int week = static_cast<int>(row["weekOfYear"].int64Value());
      const auto sunday = platform::dateOfWeekday(weekYear(week, today), week, 1);
      bars.labels << dayLabel(sunday.month, sunday.day);
      bars.values.push_back(static_cast<double>(row["minutes"].int64Value()));
    }
    return bars;
  }
  if (view == QStringLiteral("Monthly")) {
    auto rows = Progress::sumMinutesByMonth(today.year, context);
    if (!rows) return std::nullopt;
    for (const auto& row : *rows) {
      bars.labels << monthName(static_cast<int>(row["month"].int64Value()));
      bars.values.push_back(static_cast<double>(row["minutes"].int64Value()));
    }
    return bars;
  }
  return std::nullopt;
}

}  // namespace stillnook
