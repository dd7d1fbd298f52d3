// ProgressChart: the bars of the progress screen's three views, computed from the practice
// records with no widget involved (so the year rules can be checked on their own).
//
//  - "Daily": one bar per practice day of this week of this week year, labelled "Mar 7".
//  - "Weekly": one bar per week with practice in this month and the one before (December of the
//    previous year in January), labelled with the week's Sunday in the year the week belongs to.
//  - "Monthly": one bar per month of this year with practice, labelled "Jan".
//
// Thread-safety: main thread only, like the record context it reads.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

#include "app/RecordStore.h"
#include <keel/platform/Calendar.h>

namespace stillnook {

struct ProgressBars {
  QStringList labels;
  std::vector<double> values;
};

// Returns "Jan" ... "Dec" for months 1-12, or an empty text.
QString monthName(int month);

// Returns the bars of the view named `view` ("Daily", "Weekly", "Monthly") as of `today`, or
// none for another name or a failed query.
std::optional<ProgressBars> progressBars(const QString& view, const platform::DateComponents& today,
                                         ManagedObjectContext& context);

}  // namespace stillnook
